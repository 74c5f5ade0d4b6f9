#include "device_clock.h"

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

}  // namespace viscana::device
