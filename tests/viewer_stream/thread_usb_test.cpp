// ThreadUSB end to end: the virtual camera behind the real libusb, the stream thread, the parser and the
// real ImageConverModule, down to the pictures, the photo request and recordings.
#include "stream_rig.h"

#include "camera_proto_testing.h"
#include "qt_picture.h"
#include "stream_generator.h"
#include "video_frames.h"

#include <QImage>
#include <QTemporaryDir>
#include <QtTest/qtestsystem.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace streamtest;
using vcam::VirtualCamera;

namespace {

constexpr uint16_t kVid = 0x2CE3;
constexpr uint16_t kPid = 0x3301;

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override { proto_reset_for_testing(); }

    void TearDown() override
    {
        // The stream ends before its watch stops listening to the converter.
        if (m_thread) {
            m_thread->stopStream();
            m_thread->wait();
        }
        if (m_watch)
            m_watch->drainConverter();
        m_watch.reset();
        m_thread.reset();  // ends libusb before the cameras go
    }

    VirtualCamera &addCamera(vcam::CameraConfig config = cameraConfig(), bool plug = true)
    {
        m_cameras.push_back(std::make_unique<VirtualCamera>(bus(), std::move(config)));
        if (plug)
            m_cameras.back()->plug();
        return *m_cameras.back();
    }

    ThreadUSB *startThread(uint16_t vid = kVid, uint16_t pid = kPid)
    {
        m_thread = std::make_unique<ThreadUSB>(nullptr, vid, pid);
        m_watch = std::make_unique<StreamWatch>(m_thread.get());
        m_thread->start();
        return m_thread.get();
    }

    // Pictures carry frame numbers in order, each at the camera's size. With consecutive, every frame
    // is accounted for: a gap is a frame the converter left out of the live view because a newer one
    // was waiting (a busy machine), and the gaps add up to the frames it counted as skipped.
    // Without it, the camera may have dropped frames, as it does on a pause.
    void expectPicturesInOrder(QSize size, bool consecutive = true) const
    {
        ASSERT_FALSE(m_watch->numbers.empty());
        int gaps = 0;
        for (size_t i = 0; i < m_watch->numbers.size(); ++i) {
            ASSERT_TRUE(m_watch->numbers[i].has_value()) << "picture " << i << " does not carry a frame number";
            EXPECT_EQ(m_watch->sizes[i], size) << "picture " << i;
            if (i == 0)
                continue;
            ASSERT_GT(*m_watch->numbers[i], *m_watch->numbers[i - 1]) << "picture " << i;
            gaps += static_cast<int>(*m_watch->numbers[i] - *m_watch->numbers[i - 1] - 1);
        }
        if (consecutive) {
            EXPECT_LE(gaps, m_watch->framesSkipped()) << "frames missing from the live view without being skipped";
        }
    }

    int countIn(int value) const { return static_cast<int>(std::count(m_watch->inImage.begin(), m_watch->inImage.end(), value)); }

    LogCapture m_log;
    std::vector<std::unique_ptr<VirtualCamera>> m_cameras;
    std::unique_ptr<ThreadUSB> m_thread;
    std::unique_ptr<StreamWatch> m_watch;
};

// The healthy road: handshake and commands as the camera expects them, every frame as a picture in
// order from the first frame on, the camera's photo button as one ButtonPhoto, and the owner's stop
// ending the thread with signals_In_Image(1) after the zeros of the reads.
TEST_F(StreamTest, StreamsPicturesInOrderWithThePhotoButtonUntilTheOwnerStops)
{
    VirtualCamera &cam = addCamera(cameraConfig(320, 240, 50));
    ThreadUSB *thread = startThread();

    ASSERT_TRUE(m_watch->waitForPictures(6, 20000));
    EXPECT_EQ(m_watch->inImage.front(), 0);
    cam.pressPhotoButton(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_watch->photos >= 1; }, 10000));
    ASSERT_TRUE(m_watch->waitForPictures(m_watch->numbers.size() + 3, 10000));

    thread->stopStream();
    ASSERT_TRUE(m_watch->waitForFinished(10000));
    m_watch->drainConverter();

    expectPicturesInOrder(QSize(320, 240));
    // From the first frame on: frames before the first picture (a busy test thread takes only the newest
    // one waiting) are counted as not shown.
    EXPECT_LE(*m_watch->numbers.front(), static_cast<uint32_t>(m_watch->framesSkipped()));
    EXPECT_EQ(static_cast<int>(m_watch->numbers.size()) + m_watch->framesSkipped(), m_watch->framesSent());
    EXPECT_EQ(m_watch->photos, 1);
    EXPECT_EQ(m_watch->otherPhotoMarks, 0);
    EXPECT_EQ(m_log.count("info->haspic = "), 1);
    EXPECT_EQ(m_watch->inImage.back(), 1);
    EXPECT_EQ(countIn(1), 1);
    EXPECT_EQ(m_log.count("返回值不对"), 0);
    EXPECT_EQ(m_log.count("线程结束"), 1);

    const vcam::CameraStats st = cam.stats();
    ASSERT_EQ(st.handshakeWrites.size(), 1u);
    EXPECT_EQ(st.handshakeWrites[0], vcam::Bytes(vcam::kHandshakeCommand, vcam::kHandshakeCommand + 6));
    EXPECT_EQ(st.commands, (std::vector<uint8_t>{CID_OPEN_STREAM, CID_GET_ALLINFO}));
    EXPECT_EQ(st.altSetting[1], 1);

    m_thread.reset();
    EXPECT_TRUE(cam.waitFor([](const vcam::CameraStats &s) { return s.openClients == 0; }));
}

// pause waits for the read in progress, holds every transfer and frame until resume, and does not keep
// a core busy meanwhile; a second pause and a resume without pause only log.
TEST_F(StreamTest, PauseWaitsForTheReadInProgressAndHoldsTheStreamUntilResume)
{
    VirtualCamera &cam = addCamera(cameraConfig(320, 240, 50));
    ThreadUSB *thread = startThread();
    ASSERT_TRUE(m_watch->waitForPictures(3, 20000));

    // A read that cannot end until the camera speaks again.
    cam.setSilent(true);
    ASSERT_TRUE(cam.waitFor([](const vcam::CameraStats &s) { return s.pendingReads == 1; }));
    std::atomic<bool> released{false};
    std::thread speaker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        released = true;
        cam.setSilent(false);
    });
    thread->pause();
    const bool readEndedFirst = released.load();
    speaker.join();
    EXPECT_TRUE(readEndedFirst) << "pause returned while a read was in progress";
    EXPECT_EQ(m_log.exact("pause :1"), 1);
    EXPECT_EQ(m_log.exact("pause"), 1);

    // A second pause does not wait on the lock it already holds.
    thread->pause();
    EXPECT_EQ(m_log.exact("pause"), 1);
    EXPECT_EQ(m_log.count("已经暂停"), 1);

    QCoreApplication::processEvents();  // what the stream thread sent before the pause
    const vcam::CameraStats paused = cam.stats();
    EXPECT_EQ(paused.altSetting[1], 0);
    const int sentAtPause = m_watch->framesSent();
    const size_t signalsAtPause = m_watch->inImage.size();
    const double cpu0 = m_watch->streamThreadCpu();
    QTest::qWait(400);
    const double pausedCpu = m_watch->streamThreadCpu() - cpu0;
    EXPECT_EQ(m_watch->framesSent(), sentAtPause);
    EXPECT_EQ(cam.stats().streamReads, paused.streamReads);
    EXPECT_EQ(cam.stats().pendingReads, 0);
    EXPECT_EQ(m_watch->inImage.size(), signalsAtPause);
    // A loop that spins would use most of the 400 ms.
    EXPECT_LT(pausedCpu, 0.2) << "the paused stream thread keeps a core busy";

    thread->resume();
    EXPECT_EQ(m_log.exact("resume :0"), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_watch->framesSent() > sentAtPause + 3; }, 10000));
    EXPECT_EQ(m_watch->finished, 0);
    const vcam::CameraStats resumed = cam.stats();
    EXPECT_EQ(resumed.altSetting[1], 1);
    EXPECT_EQ(std::count(resumed.commands.begin(), resumed.commands.end(), CID_GET_ALLINFO), 3);

    thread->resume();
    EXPECT_EQ(m_log.count("没有暂停"), 1);
    EXPECT_EQ(m_log.exact("resume :0"), 1);

    thread->stopStream();
    ASSERT_TRUE(m_watch->waitForFinished(10000));
    m_watch->drainConverter();
    expectPicturesInOrder(QSize(320, 240), /*consecutive=*/false);
}

// The owner may end a paused stream too, and deleting a running one stops it first.
TEST_F(StreamTest, StopOrDeleteEndsPausedAndRunningStreams)
{
    addCamera(cameraConfig(320, 240, 50));
    ThreadUSB *thread = startThread();
    ASSERT_TRUE(m_watch->waitForPictures(2, 20000));
    thread->pause();
    thread->stopStream();
    ASSERT_TRUE(m_watch->waitForFinished(10000));
    EXPECT_EQ(m_watch->inImage.back(), 1);

    m_watch->drainConverter();
    m_watch.reset();
    m_thread.reset();
    proto_reset_for_testing();
    thread = startThread();
    ASSERT_TRUE(m_watch->waitForPictures(2, 20000));
    m_thread.reset();  // no stop first
    EXPECT_EQ(m_log.exact("ThreadUSB end"), 2);
}

// Pulling the cable: the pending read fails, the window sees 0 then 1 and the thread finishes.
TEST_F(StreamTest, UnplugEndsTheStream)
{
    VirtualCamera &cam = addCamera(cameraConfig(320, 240, 50));
    startThread();
    ASSERT_TRUE(m_watch->waitForPictures(3, 20000));
    cam.unplug();
    ASSERT_TRUE(m_watch->waitForFinished(10000));
    QCoreApplication::processEvents();

    ASSERT_GE(m_watch->inImage.size(), 2u);
    EXPECT_EQ(m_watch->inImage[m_watch->inImage.size() - 2], 0);
    EXPECT_EQ(m_watch->inImage.back(), 1);
    EXPECT_EQ(countIn(1), 1);
    EXPECT_EQ(m_log.count("USB_IN_RetureData_Read2 Read:"), 1);
    EXPECT_EQ(m_log.count("terminate"), 1);
}

// resume after the camera went away while paused: the writes fail, the camera is closed and the
// thread ends.
TEST_F(StreamTest, ResumeAfterUnplugEndsTheThread)
{
    VirtualCamera &cam = addCamera(cameraConfig(320, 240, 50));
    ThreadUSB *thread = startThread();
    ASSERT_TRUE(m_watch->waitForPictures(2, 20000));
    thread->pause();
    cam.unplug();
    thread->resume();
    ASSERT_TRUE(m_watch->waitForFinished(10000));
    QCoreApplication::processEvents();
    EXPECT_EQ(m_watch->inImage.back(), 1);
    EXPECT_GE(m_log.count("USB_OUT_Set_Write2 Write:"), 1);
    EXPECT_EQ(m_log.exact("USB_Close end"), 1);
    EXPECT_EQ(m_log.count("resume :"), 0);
}

// No camera: the open fails with the transport's message, run reports 1 at once without reading. A
// failed open beside a running stream must leave that stream's libusb alone.
TEST_F(StreamTest, AbsentCameraEndsAtOnceAndLeavesOtherStreamsAlone)
{
    {
        ThreadUSB absent(nullptr, kVid, kPid);
        StreamWatch watch(&absent);
        absent.start();
        ASSERT_TRUE(watch.waitForFinished(10000));
        QCoreApplication::processEvents();
        EXPECT_EQ(watch.inImage, std::vector<int>{1});
        EXPECT_EQ(m_log.exact("[VID:0x2ce3:PID:0x3301] MSD Open failed!"), 1);
        EXPECT_EQ(m_log.count("没有拿到句柄直接出去"), 1);
    }

    addCamera(cameraConfig(320, 240, 50));
    startThread();
    ASSERT_TRUE(m_watch->waitForPictures(2, 20000));
    {
        ThreadUSB other(nullptr, kVid, 0x3302);
        StreamWatch watchOther(&other, /*watchConverter=*/false);
        other.start();
        other.wait();
    }
    const int sent = m_watch->framesSent();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_watch->framesSent() > sent + 5; }, 10000))
        << "the running stream stopped after another stream's failed open";
    EXPECT_EQ(m_watch->finished, 0);
}

// A camera that does not answer the handshake read still streams after the fallback.
TEST_F(StreamTest, SilentHandshakeFallsBackAndStreams)
{
    vcam::CameraConfig config = cameraConfig(320, 240, 50);
    config.handshake = vcam::Handshake::Silent;
    VirtualCamera &cam = addCamera(config);
    startThread();
    ASSERT_TRUE(m_watch->waitForPictures(3, 20000));
    EXPECT_EQ(m_log.count("读数据失败"), 1);
    EXPECT_EQ(m_log.count("返回值不对"), 1);
    EXPECT_EQ(cam.stats().commands,
              (std::vector<uint8_t>{CID_GET_ALLINFO, CID_GET_ALLINFO, CID_OPEN_STREAM, CID_GET_ALLINFO}));
    m_thread->stopStream();
    ASSERT_TRUE(m_watch->waitForFinished(10000));
    m_watch->drainConverter();
    expectPicturesInOrder(QSize(320, 240));
}

// A wrong handshake reply is logged and the open goes on.
TEST_F(StreamTest, WrongHandshakeReplyIsLoggedAndStreams)
{
    vcam::CameraConfig config = cameraConfig(320, 240, 50);
    config.handshake = vcam::Handshake::WrongReply;
    addCamera(config);
    startThread();
    ASSERT_TRUE(m_watch->waitForPictures(2, 20000));
    EXPECT_EQ(m_log.count("返回值不对"), 1);
    EXPECT_EQ(m_log.count("读数据失败"), 0);
}

// Frame numbers read back from every frame of a video.
std::vector<uint32_t> videoFrameNumbers(const QString &path, int *frames, QSize *size)
{
    std::vector<uint32_t> numbers;
    VideoFrameReader reader;
    *frames = 0;
    if (!reader.open(path))
        return numbers;
    for (QImage image = reader.next(); !image.isNull(); image = reader.next()) {
        ++*frames;
        *size = image.size();
        if (const auto n = vcam::decodeFrameNumber(image))
            numbers.push_back(*n);
    }
    return numbers;
}

// A recording started through the converter while the camera streams holds the frames shown meanwhile,
// in order.
TEST_F(StreamTest, RecordingDuringStreamingGivesAnMp4OfThoseFrames)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    addCamera(cameraConfig(320, 240, 25));
    ThreadUSB *thread = startThread();
    ASSERT_TRUE(m_watch->waitForPictures(2, 20000));

    ImageConverModule *conv = ImageConverModule::instance();
    const QString path = dir.filePath(QStringLiteral("recording.mp4"));
    const int workId = 1000;
    const uint32_t lastShownBefore = *m_watch->numbers.back();
    ASSERT_EQ(conv->startVideoWork(path, QSize(320, 240), workId), workId);
    ASSERT_TRUE(m_watch->waitForPictures(m_watch->numbers.size() + 15, 20000));

    // Hold the camera, let every frame reach the recording, then stop it as the window does.
    thread->pause();
    m_watch->drainConverter();
    conv->pauseVideoWork(workId, true);
    conv->stopVideoWork(workId);
    ASSERT_TRUE(QTest::qWaitFor([&] { return conv->videoWork(workId).isNull(); }, 20000));

    int frames = 0;
    QSize size;
    const std::vector<uint32_t> recorded = videoFrameNumbers(path, &frames, &size);
    EXPECT_EQ(size, QSize(320, 240));
    ASSERT_GE(frames, 10);  // 15 shown after the start, less those that were on their way when it came
    EXPECT_EQ(static_cast<int>(recorded.size()), frames) << "video frames without a readable frame number";
    ASSERT_FALSE(recorded.empty());
    for (size_t i = 1; i < recorded.size(); ++i)
        ASSERT_EQ(recorded[i], recorded[i - 1] + 1) << "video frame " << i;
    // The last picture shown was recorded, and the recording began with the frames in flight when it
    // was started.
    EXPECT_EQ(recorded.back(), *m_watch->numbers.back());
    EXPECT_GE(recorded.front(), lastShownBefore);
    EXPECT_LE(recorded.front(), lastShownBefore + 5);

    thread->stopStream();
    ASSERT_TRUE(m_watch->waitForFinished(10000));
}

}  // namespace
