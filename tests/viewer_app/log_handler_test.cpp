#include "log_handler.h"

#include <QByteArray>
#include <QDebug>
#include <QFileInfo>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// Every test runs in a fresh working directory, since the log file lives there.
class LogHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        previous_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    }
    void TearDown() override { QDir::setCurrent(previous_); }

    static QByteArray logBytes()
    {
        QFile f(QString::fromLatin1(kLogFileName));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return f.readAll();
    }

    // Lines of the log, each checked to end in CR LF, without the line end.
    static QStringList logLines()
    {
        const QByteArray bytes = logBytes();
        QStringList lines;
        int start = 0;
        while (start < bytes.size()) {
            const int end = bytes.indexOf("\r\n", start);
            EXPECT_GE(end, 0) << "line without CR LF";
            if (end < 0)
                break;
            lines << QString::fromLocal8Bit(bytes.mid(start, end - start));
            start = end + 2;
        }
        return lines;
    }

    static void log(QtMsgType type, const QString &text) { messageHandler(type, QMessageLogContext(), text); }

    QTemporaryDir dir_;
    QString previous_;
};

const QString kStamp = QStringLiteral(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\])");

TEST_F(LogHandlerTest, EachLevelHasItsTextAndTheEmptyLocation)
{
    log(QtDebugMsg, QStringLiteral("Send OK!"));
    log(QtWarningMsg, QStringLiteral("w"));
    log(QtCriticalMsg, QStringLiteral("c"));
    log(QtFatalMsg, QStringLiteral("f"));
    log(QtInfoMsg, QStringLiteral("i"));

    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 5);
    const QStringList expected = {
        QStringLiteral(" \\[Debug\\]: \\[File\\]:\\[\\] \\[Line\\]:\\[0\\] Send OK!"),
        QStringLiteral(" \\[Warning\\]: \\[File\\]:\\[\\] \\[Line\\]:\\[0\\] w"),
        QStringLiteral(" \\[Critical\\]: \\[File\\]:\\[\\] \\[Line\\]:\\[0\\] c"),
        QStringLiteral(" \\[Fatal\\]: \\[File\\]:\\[\\] \\[Line\\]:\\[0\\] f"),
        // Informational messages have no level text: two blanks before the location.
        QStringLiteral("  \\[File\\]:\\[\\] \\[Line\\]:\\[0\\] i"),
    };
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpression re(QStringLiteral("^") + kStamp + expected[i] + QStringLiteral("$"));
        EXPECT_TRUE(re.match(lines[i]).hasMatch()) << lines[i].toStdString();
    }
}

TEST_F(LogHandlerTest, QtLoggingMacrosCarryNoSourceLocation)
{
    qInstallMessageHandler(messageHandler);
    qDebug() << "from qDebug";
    qCritical("printf style %d", 42);
    qInstallMessageHandler(nullptr);

    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("[Debug]: [File]:[] [Line]:[0] from qDebug"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("[Critical]: [File]:[] [Line]:[0] printf style 42")));
}

TEST_F(LogHandlerTest, DropsOnlyTheExactSrgbWarning)
{
    log(QtWarningMsg, QStringLiteral("libpng warning: iCCP: known incorrect sRGB profile"));
    EXPECT_FALSE(QFile::exists(QString::fromLatin1(kLogFileName)));

    log(QtWarningMsg, QStringLiteral("libpng warning: iCCP: Known Incorrect SRGB Profile"));
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("Known Incorrect SRGB Profile")));
}

TEST_F(LogHandlerTest, PlaceMarkersInTheMessageStayUnchanged)
{
    log(QtDebugMsg, QStringLiteral("ratio %1 of %2 and 100%"));
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("[Line]:[0] ratio %1 of %2 and 100%"))) << lines[0].toStdString();
}

TEST_F(LogHandlerTest, ChineseTextIsWritten)
{
    log(QtDebugMsg, QStringLiteral("返回值不对"));
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("返回值不对")));
}

TEST_F(LogHandlerTest, FileIsCreatedAgainAfterItWasDeleted)
{
    log(QtDebugMsg, QStringLiteral("first"));
    ASSERT_TRUE(QFile::remove(QString::fromLatin1(kLogFileName)));
    log(QtDebugMsg, QStringLiteral("second"));
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("second")));
}

TEST_F(LogHandlerTest, UnwritableLogLosesTheLineQuietly)
{
    // A directory in the place of the log file cannot be opened for appending.
    ASSERT_TRUE(QDir().mkdir(QString::fromLatin1(kLogFileName)));
    log(QtDebugMsg, QStringLiteral("lost"));
    EXPECT_TRUE(QFileInfo(QString::fromLatin1(kLogFileName)).isDir());
}

TEST_F(LogHandlerTest, ManyThreadsWriteWholeLines)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                log(QtDebugMsg, QStringLiteral("thread %1 line %2 ").arg(t).arg(i) + QString(40, QLatin1Char('x')));
        });
    }
    for (auto &th : threads)
        th.join();

    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), kThreads * kLines);
    const QRegularExpression re(QStringLiteral("^") + kStamp
                                + QStringLiteral(" \\[Debug\\]: \\[File\\]:\\[\\] \\[Line\\]:\\[0\\] "
                                                 "thread (\\d+) line (\\d+) x{40}$"));
    std::vector<int> next(kThreads, 0);
    for (const QString &line : lines) {
        const auto m = re.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        const int t = m.captured(1).toInt();
        // Lines of one thread appear in the order that thread wrote them.
        EXPECT_EQ(m.captured(2).toInt(), next[t]++);
    }
}

}  // namespace
