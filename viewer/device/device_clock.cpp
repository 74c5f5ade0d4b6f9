#include "device_clock.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSysInfo>
#include <QThread>

#include <atomic>

namespace viscana::device {

namespace {

class RealClock final : public Clock {
public:
    void sleepMs(int ms) override { QThread::msleep(static_cast<unsigned long>(ms)); }
};

RealClock g_realClock;
std::atomic<Clock *> g_clock{nullptr};
QMutex g_versionLock;
QString g_version;

}  // namespace

Clock &clock()
{
    Clock *c = g_clock.load();
    return c ? *c : g_realClock;
}

void setClock(Clock *clock)
{
    g_clock.store(clock);
}

QString productVersion()
{
    QMutexLocker lock(&g_versionLock);
    return g_version.isEmpty() ? QSysInfo::productVersion() : g_version;
}

void setProductVersion(const QString &version)
{
    QMutexLocker lock(&g_versionLock);
    g_version = version;
}

}  // namespace viscana::device
