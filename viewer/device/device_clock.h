#pragma once
// The one clock behind every wait of device presence and driver set-up (the installation task's
// progress period, the pause after an installation error), so that tests can run those waits in
// virtual time.

#include <QString>

namespace viscana::device {

class Clock {
public:
    virtual ~Clock() = default;
    // Blocks the calling thread for ms milliseconds.
    virtual void sleepMs(int ms) = 0;
};

// The process-wide clock; the real one unless a test has installed another.
Clock &clock();
// Installs a clock (nullptr: the real one again). The clock must outlive every wait that uses it.
void setClock(Clock *clock);

// The operating-system version text that decides the installation task's restart hint:
// QSysInfo::productVersion(), unless a test has set another (an empty text restores it).
QString productVersion();
void setProductVersion(const QString &version);

}  // namespace viscana::device
