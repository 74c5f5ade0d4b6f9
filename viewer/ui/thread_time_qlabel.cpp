#include "thread_time_qlabel.h"

#include <QDebug>

#include <algorithm>

Thread_TimeQlabel::Thread_TimeQlabel(QObject *parent) : QThread(parent) {}

Thread_TimeQlabel::~Thread_TimeQlabel()
{
    // A clock dropped while paused still holds its tick lock in this (the pausing) thread.
    if (m_paused) {
        m_paused = false;
        m_mutex.unlock();
    }
    m_stop = true;
    wait();
    qDebug() << " Thread_TimeQlabel 析构线程 完全退出 ";
}

void Thread_TimeQlabel::slots_USB_deviceExists_If()
{
    m_stop = true;
}

void Thread_TimeQlabel::pauseThread()
{
    qDebug() << "暂停线程 pauseThread";
    if (m_paused)
        return;  // the lock is already held; locking it again would deadlock
    // Announce the pause first, so that the loop does not take the lock again after its tick.
    m_paused = true;
    m_mutex.lock();
}

void Thread_TimeQlabel::resumeThread()
{
    qDebug() << "恢复线程 resumeThread";
    if (!m_paused)
        return;
    m_paused = false;
    m_mutex.unlock();
}

QString Thread_TimeQlabel::nextText(int &seconds, int &minutes)
{
    QString secText;
    if (seconds < 10) {
        ++seconds;
        secText = seconds == 10 ? QStringLiteral("10") : QStringLiteral("0") + QString::number(seconds);
    } else {
        ++seconds;
        secText = QString::number(seconds);
    }
    if (seconds == 60) {
        qDebug() << " strS : " << secText;
        qDebug() << " timenumberS : " << 60;
        ++minutes;
        secText = QStringLiteral("00");
        seconds = 0;
    }
    const QString minText =
        minutes < 10 ? QStringLiteral("0") + QString::number(minutes) : QString::number(minutes);
    return minText + QStringLiteral(":") + secText;
}

void Thread_TimeQlabel::run()
{
    int seconds = 0;
    int minutes = 0;
    constexpr int kSliceMs = 20;
    while (!m_stop) {
        if (m_paused) {
            // Paused: the GUI thread holds the tick lock; look again shortly.
            QThread::msleep(kSliceMs);
            continue;
        }
        // Waits in slices, so that a stop request is seen even while a pause holds the lock.
        if (!m_mutex.tryLock(kSliceMs))
            continue;
        // A pause or stop that came in while the lock was awaited skips the tick.
        if (!m_paused && !m_stop) {
            emit signals_TimerText(nextText(seconds, minutes));
            // The tick lasts m_tickMs; a stop request cuts it short so that closing never waits a second.
            for (int slept = 0; slept < m_tickMs && !m_stop; slept += kSliceMs)
                QThread::msleep(static_cast<unsigned long>(std::min(kSliceMs, m_tickMs - slept)));
        }
        m_mutex.unlock();
    }
    emit signals_TimerText(QStringLiteral("00:00"));
}
