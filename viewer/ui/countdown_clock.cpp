#include "countdown_clock.h"

#include <QEventLoop>
#include <QTimer>

void EventLoopCountdownClock::wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
