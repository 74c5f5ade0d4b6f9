#include "log_capture.h"

#include <QtTest/qtestsystem.h>

#include <mutex>

namespace testsupport {

namespace {

std::mutex g_logMutex;
QStringList g_logLines;
QtMessageHandler g_previousHandler = nullptr;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logLines << msg;
}

}  // namespace

LogCapture::LogCapture()
{
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_logLines.clear();
    }
    g_previousHandler = qInstallMessageHandler(captureMessage);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(g_previousHandler);
}

QStringList LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_logLines;
}

int LogCapture::count(const QString &text) const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    int n = 0;
    for (const QString &line : g_logLines)
        n += line.contains(text) ? 1 : 0;
    return n;
}

int LogCapture::exact(const QString &line) const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_logLines.count(line);
}

bool LogCapture::waitFor(const QString &text, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return count(text) > 0; }, timeoutMs);
}

}  // namespace testsupport
