#pragma once

#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>

// The recording clock: a thread that emits the minutes:seconds text of a running recording, one tick a
// second. The GUI thread pauses it (holding the tick lock until it resumes) and asks it to stop; its end
// reaches the window through QThread::finished.
class Thread_TimeQlabel : public QThread {
    Q_OBJECT

public:
    explicit Thread_TimeQlabel(QObject *parent = nullptr);
    ~Thread_TimeQlabel() override;

    // Blocks until the tick in progress has ended, then keeps the clock from ticking until resumeThread.
    void pauseThread();
    void resumeThread();
    // Asks the loop to end; it emits "00:00" and the thread finishes within one tick.
    void requestStop() { m_stop = true; }
    bool stopRequested() const { return m_stop; }
    bool isPaused() const { return m_paused; }

    // Length of one tick; one second except in tests. Set before start.
    void setTickMs(int ms) { m_tickMs = ms; }

    // One step of the count: advances seconds and minutes and returns the "mm:ss" text to show.
    static QString nextText(int &seconds, int &minutes);

signals:
    void signals_TimerText(QString Text);

public slots:
    void slots_USB_deviceExists_If();

protected:
    void run() override;

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_paused{false};
    QMutex m_mutex;
    int m_tickMs = 1000;
};
