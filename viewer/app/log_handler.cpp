#include "log_handler.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>

namespace {

QString levelText(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("[Debug]:");
    case QtWarningMsg:
        return QStringLiteral("[Warning]:");
    case QtCriticalMsg:
        return QStringLiteral("[Critical]:");
    case QtFatalMsg:
        return QStringLiteral("[Fatal]:");
    default:
        return QString();
    }
}

QMutex &logMutex()
{
    // Function-local static: created once, thread-safely, by the first message that is written.
    static QMutex mutex;
    return mutex;
}

}  // namespace

QString formatLogLine(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    const QString when = QStringLiteral("[%1]").arg(
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    const QString where = QStringLiteral("[File]:[%1] [Line]:[%2]")
                              .arg(QString::fromUtf8(context.file ? context.file : ""))
                              .arg(context.line);
    // Four successive substitutions; the message goes last so that "%1" inside it stays as it is.
    return QStringLiteral("%1 %2 %3 %4").arg(when).arg(levelText(type)).arg(where).arg(msg);
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    // Qt's PNG reader repeats this warning for many pictures; it says nothing about the program.
    if (msg.contains(QLatin1String("known incorrect sRGB profile")))
        return;

    QMutexLocker lock(&logMutex());
    const QString line = formatLogLine(type, context, msg);
    QFile file(QString::fromLatin1(kLogFileName));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;  // the line is lost; logging must never stop the program
    QTextStream stream(&file);
    stream << line << "\r\n";
    stream.flush();
    file.close();
}
