#include "window_rig.h"

#include "image_conver_module.h"

#include <QtTest/QTest>

#include <atomic>
#include <csignal>

namespace windowtest {
namespace {

// Counts the frames the converter hands to the recording under way (in the conversion thread).
class FedFrames {
public:
    explicit FedFrames(uint workId)
    {
        m_work = ImageConverModule::instance()->videoWork(static_cast<int>(workId));
        if (m_work)
            QObject::connect(m_work.data(), &ConverToVideoModule::newImageData, &m_context,
                             [this](char *, int) { ++m_count; }, Qt::DirectConnection);
    }
    bool valid() const { return !m_work.isNull(); }
    int count() const { return m_count.load(); }

private:
    QObject m_context;
    QSharedPointer<ConverToVideoModule> m_work;
    std::atomic<int> m_count{0};
};

class RecordingWindowTest : public CaptureWindowTest {
protected:
    // Starts a recording and returns its file, with the fed-frame counter in m_fed. The camera is quiet
    // meanwhile, so that no frame reaches the recording before the counter watches it.
    QString startRecording()
    {
        quiet();
        QTest::mouseClick(button("pushButton_story"), Qt::LeftButton);
        const QString path = label("label_Path")->text();
        const QString base = path.section('/', -1).section('.', 0, 0);
        const uint workId = QDateTime::fromString(base.left(14), "yyyyMMddhhmmss").toTime_t();
        m_fed = std::make_unique<FedFrames>(workId);
        m_cam->setSilent(false);
        return path;
    }
    // Holds the camera's stream until every frame sent has reached the recording.
    void quiet()
    {
        m_cam->setSilent(true);
        QTest::qWait(400);
    }
    void speak(int ms)
    {
        m_cam->setSilent(false);
        QTest::qWait(ms);
    }
    bool waitUntilFinished(const QString &path)
    {
        // The converter drops a recording once its file is finished.
        return QTest::qWaitFor([&] { return m_log.count("ConverToVideo thread quit!") > 0; }, 10000) &&
               QFile::exists(path);
    }

    std::unique_ptr<FedFrames> m_fed;
};

TEST_F(RecordingWindowTest, RecordPauseResumeStopGivesAPlayableFileOfTheFramesFed)
{
    ASSERT_TRUE(openWindow());
    const QString path = startRecording();
    ASSERT_TRUE(m_fed->valid());
    EXPECT_TRUE(path.startsWith(cameraDir() + "/") && path.endsWith(".mp4"));
    EXPECT_FALSE(button("pushButton_story")->isVisible());
    EXPECT_TRUE(button("pushButton_7")->isVisible());
    EXPECT_TRUE(button("pushButton_9")->isVisible());
    EXPECT_FALSE(button("pushButton_3")->isEnabled());
    EXPECT_TRUE(label("label_5")->styleSheet().contains("rgb(0, 170, 0)"));

    // The clock advances once a second.
    QLabel *clock = label("label_TimeNumber");
    ASSERT_TRUE(QTest::qWaitFor([&] { return clock->text() == "00:02"; }, 5000)) << clock->text().toStdString();
    quiet();
    const int beforePause = m_fed->count();
    EXPECT_GT(beforePause, 10);

    // Paused: frames are held back and the clock stands still.
    QTest::mouseClick(button("pushButton_9"), Qt::LeftButton);
    EXPECT_TRUE(label("label_5")->styleSheet().contains("background:red"));
    EXPECT_TRUE(button("pushButton_9")->styleSheet().contains("recover.png"));
    const QString heldText = clock->text();
    speak(1500);
    EXPECT_EQ(clock->text(), heldText);
    quiet();
    const int whilePaused = m_fed->count() - beforePause;
    EXPECT_GT(whilePaused, 5);

    // Resumed: frames are written again and the clock goes on.
    QTest::mouseClick(button("pushButton_9"), Qt::LeftButton);
    EXPECT_TRUE(button("pushButton_9")->styleSheet().contains("suspend.png"));
    speak(1200);
    EXPECT_NE(clock->text(), heldText);
    quiet();
    const int fed = m_fed->count() - whilePaused;

    QTest::mouseClick(button("pushButton_7"), Qt::LeftButton);
    EXPECT_EQ(clock->text(), "00:00");
    EXPECT_FALSE(clock->isVisible());
    EXPECT_TRUE(button("pushButton_story")->isVisible());
    EXPECT_TRUE(button("pushButton_3")->isEnabled());
    EXPECT_TRUE(button("pushButton_3")->styleSheet().contains("camera1.png"));
    ASSERT_TRUE(waitUntilFinished(path));

    const VideoFacts facts = probeVideo(path);
    EXPECT_EQ(facts.codec, "h264");
    EXPECT_EQ(facts.frameRate, "25/1");
    EXPECT_EQ(facts.width, 320);
    EXPECT_EQ(facts.height, 240);
    EXPECT_EQ(facts.frames, fed);
    // The video's first frame becomes the thumbnail once the file is finished.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return picture("label_3").size() == QSize(100, 100); }, 5000));
    EXPECT_EQ(label("label_Path")->text(), path);
}

TEST_F(RecordingWindowTest, StreamEndingStopsTheRecordingThroughTheClock)
{
    ASSERT_TRUE(openWindow());
    const QString path = startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return label("label_TimeNumber")->text() == "00:01"; }, 5000));
    QTest::qWait(500);
    m_cam->unplug();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_log.count("  没有开录像不会来这里") == 1; }, 15000));
    EXPECT_TRUE(button("pushButton_story")->isVisible());
    EXPECT_EQ(label("label_TimeNumber")->text(), "00:00");
    ASSERT_TRUE(waitUntilFinished(path));
    const VideoFacts facts = probeVideo(path);
    EXPECT_EQ(facts.codec, "h264");
    EXPECT_GT(facts.frames, 0);
}

// The camera's removal may be noticed first by the presence pass (the device event) rather than by the
// stream thread's failed read; the recording stops either way.
TEST_F(RecordingWindowTest, RemovalSeenFirstByThePresencePassStopsTheRecording)
{
    ASSERT_TRUE(openWindow());
    const QString path = startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return label("label_TimeNumber")->text() == "00:01"; }, 5000));
    // Unplugged and the pass run at once, before the stream thread's end can be delivered.
    m_cam->unplug();
    ASSERT_TRUE(QMetaObject::invokeMethod(m_window.get(), "slots_USBInsertionMessage", Qt::DirectConnection));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_log.count("  没有开录像不会来这里") == 1; }, 15000));
    EXPECT_EQ(m_log.count("onM_thread_ThreadFinished M_thread  完全退出"), 1);
    EXPECT_TRUE(button("pushButton_story")->isVisible());
    EXPECT_EQ(label("label_TimeNumber")->text(), "00:00");
    ASSERT_TRUE(waitUntilFinished(path));
    EXPECT_EQ(probeVideo(path).codec, "h264");
}

TEST_F(RecordingWindowTest, ClosingWhileRecordingFinishesTheFile)
{
    ASSERT_TRUE(openWindow());
    const QString path = startRecording();
    speak(1000);
    quiet();
    const int fed = m_fed->count();
    m_window->close();  // as the window manager does
    EXPECT_FALSE(m_window->isVisible());
    // close returns once the file is finished
    EXPECT_EQ(m_log.count("recordings finished before closing"), 1);
    const VideoFacts facts = probeVideo(path);
    EXPECT_EQ(facts.codec, "h264");
    EXPECT_EQ(facts.frames, fed);
}

TEST_F(RecordingWindowTest, CloseButtonFinishesTheRecordingBeforeTheProcessEnds)
{
    ASSERT_TRUE(openWindow());
    const QString path = startRecording();
    speak(800);
    quiet();
    const int fed = m_fed->count();
    QTest::mouseClick(button("pushButton_6"), Qt::LeftButton);
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_EQ(m_log.count("recordings finished before closing"), 1);
    const VideoFacts facts = probeVideo(path);
    EXPECT_EQ(facts.codec, "h264");
    EXPECT_EQ(facts.frames, fed);
    // Closing again (the window manager after the button) does not run the sequence twice.
    m_window->close();
    EXPECT_EQ(m_log.count("recordings finished before closing"), 1);
}

TEST_F(RecordingWindowTest, TerminationSignalFinishesTheRecording)
{
    ASSERT_TRUE(openWindow());
    const QString path = startRecording();
    speak(800);
    quiet();
    const int fed = m_fed->count();
    std::raise(SIGTERM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_window->isVisible(); }, 10000));
    EXPECT_EQ(m_log.count("recordings finished before closing"), 1);
    const VideoFacts facts = probeVideo(path);
    EXPECT_EQ(facts.codec, "h264");
    EXPECT_EQ(facts.frames, fed);
}

}  // namespace
}  // namespace windowtest
