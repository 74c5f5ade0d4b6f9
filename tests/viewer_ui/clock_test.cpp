#include "thread_time_qlabel.h"

#include "log_capture.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QStringList>
#include <QtTest/qtestsystem.h>

#include <gtest/gtest.h>

namespace {

TEST(RecordingClockTest, TextSequence)
{
    struct Case {
        int seconds, minutes;  // before the step
        const char *text;      // shown after it
        int secondsAfter, minutesAfter;
    };
    const Case cases[] = {
        {0, 0, "00:01", 1, 0},     {8, 0, "00:09", 9, 0},       {9, 0, "00:10", 10, 0},
        {10, 0, "00:11", 11, 0},   {58, 0, "00:59", 59, 0},     {59, 0, "01:00", 0, 1},
        {59, 9, "10:00", 0, 10},   {59, 98, "99:00", 0, 99},    {59, 99, "100:00", 0, 100},
        {5, 100, "100:06", 6, 100},
    };
    for (const Case &c : cases) {
        int s = c.seconds, m = c.minutes;
        EXPECT_EQ(Thread_TimeQlabel::nextText(s, m), QLatin1String(c.text)) << c.seconds << " " << c.minutes;
        EXPECT_EQ(s, c.secondsAfter);
        EXPECT_EQ(m, c.minutesAfter);
    }

    // A whole minute and more, in order.
    int s = 0, m = 0;
    QStringList texts;
    for (int i = 0; i < 61; ++i)
        texts << Thread_TimeQlabel::nextText(s, m);
    EXPECT_EQ(texts.first(), "00:01");
    EXPECT_EQ(texts.at(58), "00:59");
    EXPECT_EQ(texts.at(59), "01:00");
    EXPECT_EQ(texts.at(60), "01:01");
}

TEST(RecordingClockTest, TicksUntilStoppedThenShowsZero)
{
    Thread_TimeQlabel clock;
    clock.setTickMs(20);
    QSignalSpy texts(&clock, &Thread_TimeQlabel::signals_TimerText);
    QSignalSpy finished(&clock, &QThread::finished);
    clock.start(QThread::InheritPriority);
    ASSERT_TRUE(QTest::qWaitFor([&] { return texts.count() >= 3; }, 5000));
    clock.slots_USB_deviceExists_If();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 5000));
    QStringList seen;
    for (const auto &args : texts)
        seen << args.at(0).toString();
    EXPECT_EQ(seen.mid(0, 3), QStringList({"00:01", "00:02", "00:03"}));
    EXPECT_EQ(seen.last(), "00:00");
}

TEST(RecordingClockTest, PauseHoldsTheCountAndResumeContinuesIt)
{
    testsupport::LogCapture log;
    Thread_TimeQlabel clock;
    clock.setTickMs(200);
    QSignalSpy texts(&clock, &Thread_TimeQlabel::signals_TimerText);
    clock.start(QThread::InheritPriority);
    ASSERT_TRUE(QTest::qWaitFor([&] { return texts.count() >= 1; }, 5000));

    // The first tick is under way: pausing waits for it to end.
    QElapsedTimer waited;
    waited.start();
    clock.pauseThread();
    EXPECT_TRUE(clock.isPaused());
    EXPECT_EQ(log.count("暂停线程 pauseThread"), 1);
    QTest::qWait(500);  // two ticks' worth: nothing may come
    const int whilePaused = texts.count();
    QTest::qWait(300);
    EXPECT_EQ(texts.count(), whilePaused);
    EXPECT_LE(whilePaused, 2);

    clock.resumeThread();
    EXPECT_EQ(log.count("恢复线程 resumeThread"), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return texts.count() >= whilePaused + 1; }, 5000));
    EXPECT_EQ(texts.at(whilePaused).at(0).toString(), QStringLiteral("00:0%1").arg(whilePaused + 1));
    clock.requestStop();
    ASSERT_TRUE(clock.wait(5000));
}

TEST(RecordingClockTest, StopWhilePausedEndsWithoutAnotherTick)
{
    Thread_TimeQlabel clock;
    clock.setTickMs(50);
    QSignalSpy texts(&clock, &Thread_TimeQlabel::signals_TimerText);
    clock.start(QThread::InheritPriority);
    ASSERT_TRUE(QTest::qWaitFor([&] { return texts.count() >= 1; }, 5000));
    clock.pauseThread();
    const int before = texts.count();
    clock.requestStop();
    ASSERT_TRUE(clock.wait(5000));
    QTest::qWait(10);
    ASSERT_EQ(texts.count(), before + 1);
    EXPECT_EQ(texts.last().at(0).toString(), "00:00");
    // Dropping a clock that is still paused releases its lock (no warning about a locked mutex).
}

}  // namespace
