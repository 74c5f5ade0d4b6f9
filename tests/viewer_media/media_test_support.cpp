#include "media_test_support.h"

#include "video_frames.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace mediatest {

namespace {

// QPixmap and the image plugins need a GUI application; it lives for the whole test program and its
// destruction also tears down the process-wide frame converter.
class GuiAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        m_app = std::make_unique<QGuiApplication>(m_argc, m_argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "viewer_media";
    char *m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QGuiApplication> m_app;
};

[[maybe_unused]] ::testing::Environment *const g_guiEnvironment =
    ::testing::AddGlobalTestEnvironment(new GuiAppEnvironment);


}  // namespace

QByteArray makeJpeg(QSize size, QColor colour, int index)
{
    QImage image(size, QImage::Format_RGB888);
    image.fill(colour);
    QPainter painter(&image);
    const int mark = qMax(2, size.width() / 8);
    painter.fillRect((index * 3) % qMax(1, size.width() - mark), 0, mark, mark, Qt::white);
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 90);
    return bytes;
}

bool claimPictureSize(QByteArray &jpeg, int side)
{
    // The start-of-frame segment: marker, length, precision, then big-endian height and width.
    const int sof = jpeg.indexOf(QByteArray("\xFF\xC0", 2));
    if (sof < 0 || sof + 9 > jpeg.size())
        return false;
    for (int at : {sof + 5, sof + 7}) {
        jpeg[at] = static_cast<char>(side >> 8);
        jpeg[at + 1] = static_cast<char>(side & 0xFF);
    }
    return true;
}

char *heapFrame(const QByteArray &bytes)
{
    char *copy = new char[static_cast<size_t>(bytes.size())];
    std::memcpy(copy, bytes.constData(), static_cast<size_t>(bytes.size()));
    return copy;
}

VideoFacts probeVideo(const QString &path)
{
    VideoFacts facts;
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"), QStringLiteral("v:0"),
                 QStringLiteral("-count_frames"), QStringLiteral("-show_entries"),
                 QStringLiteral("stream=codec_name,width,height,r_frame_rate,nb_read_frames"), QStringLiteral("-of"),
                 QStringLiteral("default=noprint_wrappers=1"), path});
    if (!probe.waitForFinished(30000) || probe.exitCode() != 0) {
        ADD_FAILURE() << "ffprobe failed on " << path.toStdString() << ": "
                      << probe.readAllStandardError().toStdString();
        return facts;
    }
    const QStringList lines = QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QString key = line.section('=', 0, 0).trimmed();
        const QString value = line.section('=', 1).trimmed();
        if (key == QLatin1String("codec_name"))
            facts.codec = value;
        else if (key == QLatin1String("width"))
            facts.width = value.toInt();
        else if (key == QLatin1String("height"))
            facts.height = value.toInt();
        else if (key == QLatin1String("r_frame_rate"))
            facts.frameRate = value;
        else if (key == QLatin1String("nb_read_frames"))
            facts.frames = value.toInt();
    }
    facts.ok = !facts.codec.isEmpty();
    return facts;
}

Bgr firstFrameCentre(const QString &path)
{
    VideoFrameReader reader;
    if (!reader.open(path))
        return {};
    const QImage frame = reader.next();
    if (frame.isNull())
        return {};
    const QRgb px = frame.pixel(frame.width() / 2, frame.height() / 2);
    return {qBlue(px), qGreen(px), qRed(px)};
}

}  // namespace mediatest

// LeakSanitizer settings for this program (used only in sanitizer builds). Qt 5.15's offscreen platform
// plugin never frees the screen and cursor it makes with the GUI application; full stacks let the
// suppression match those allocations and nothing else.
extern "C" const char *__lsan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char *__lsan_default_suppressions()
{
    return "leak:QGuiApplicationPrivate::createPlatformIntegration\n";
}
