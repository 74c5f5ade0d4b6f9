#include "conver_to_video_module.h"
#include "file_size_limit.h"
#include "media_test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QSemaphore>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace mediatest;

namespace {

const QString kPauseMessage = QStringLiteral(" 点击了暂停 一直来这里");
const QString kOpenFailedMessage = QStringLiteral("isOpened savePath 打开失败: ");
const QColor kRed(220, 30, 30);

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString path(const QString &name) const { return m_dir.filePath(name); }

    static void feed(ConverToVideoModule &work, const QByteArray &jpeg, int count = 1)
    {
        for (int i = 0; i < count; ++i)
            emit work.newImageData(heapFrame(jpeg), jpeg.size());
    }

    // The window's stop sequence: resume, then stop; waits for workFinish.
    static bool finish(ConverToVideoModule &work, SignalLog<uint> &finished)
    {
        const int before = finished.count();
        emit work.pauseVudeo(true);
        emit work.stopVideo();
        return finished.waitForCount(before + 1, 20000);
    }

    QTemporaryDir m_dir;
    LogCapture m_log;
};

struct SizeCase {
    const char *name;
    QSize writerSize;
    QSize frameSize;
    int frames;
};

void PrintTo(const SizeCase &c, std::ostream *os)
{
    *os << c.name;
}

class RecorderSizeTest : public RecorderTest, public ::testing::WithParamInterface<SizeCase> {};

// One video frame per frame received, at 25 fps, at the size given with the start request whatever the
// decoded size, in the right colours.
TEST_P(RecorderSizeTest, WritesOneH264FramePerFrameAtTheStartSize)
{
    const SizeCase c = GetParam();
    const QString file = path(QStringLiteral("clip.mp4"));
    ConverToVideoModule work(7, 3000);
    SignalLog<uint> started(&work, &ConverToVideoModule::workStart);
    SignalLog<uint> finished(&work, &ConverToVideoModule::workFinish);

    emit work.startVideo(file, c.writerSize);
    for (int i = 0; i < c.frames; ++i)
        feed(work, makeJpeg(c.frameSize, kRed, i));
    ASSERT_TRUE(finish(work, finished));

    ASSERT_EQ(started.count(), 1);
    EXPECT_EQ(std::get<0>(started.calls().at(0)), 7u);
    EXPECT_EQ(std::get<0>(finished.calls().at(0)), 7u);
    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.codec, QStringLiteral("h264"));
    EXPECT_EQ(facts.frameRate, QStringLiteral("25/1"));
    EXPECT_EQ(facts.frames, c.frames);
    EXPECT_EQ(facts.width, c.writerSize.width());
    EXPECT_EQ(facts.height, c.writerSize.height());
    const Bgr centre = firstFrameCentre(file);
    EXPECT_GT(centre.r, 150);
    EXPECT_LT(centre.b, 100);
    EXPECT_EQ(m_log.count(QStringLiteral("ConverToVideo thread quit! work id :  7")), 1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecorderSizeTest,
                         ::testing::Values(SizeCase{"same", QSize(64, 48), QSize(64, 48), 30},
                                           SizeCase{"scaledUp", QSize(160, 120), QSize(64, 48), 12},
                                           SizeCase{"scaledDown", QSize(64, 48), QSize(160, 120), 12}),
                         [](const ::testing::TestParamInfo<SizeCase> &info) { return std::string(info.param.name); });

// While paused frames are dropped and a stop does nothing; once resumed the same file goes on.
TEST_F(RecorderTest, StopWhilePausedDoesNothingUntilResumed)
{
    const QString file = path(QStringLiteral("paused.mp4"));
    const QByteArray jpeg = makeJpeg(QSize(64, 48), kRed);
    ConverToVideoModule work(8, 3000);
    SignalLog<uint> finished(&work, &ConverToVideoModule::workFinish);

    emit work.startVideo(file, QSize(64, 48));
    feed(work, jpeg, 5);
    emit work.pauseVudeo(false);
    feed(work, jpeg, 4);
    emit work.stopVideo();
    emit work.pauseVudeo(true);
    feed(work, jpeg, 6);
    ASSERT_TRUE(finish(work, finished));

    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(m_log.count(kPauseMessage), 4);
    EXPECT_EQ(m_log.count(QStringLiteral("on_ConverToVideoModule_pauseVudeo condition : ")), 3);
    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.frames, 11);
}

// A recording that cannot open its file says so, leaves no file and drops every frame.
TEST_F(RecorderTest, FailedOpenIsLoggedAndLeavesNoFile)
{
    struct Case {
        const char *name;
        QString file;
        QSize size;
    };
    const Case cases[] = {
        {"missing folder", path(QStringLiteral("no/such/folder/x.mp4")), QSize(64, 48)},
        {"empty size", path(QStringLiteral("empty.mp4")), QSize(0, 0)},
        {"negative size", path(QStringLiteral("negative.mp4")), QSize(-64, 48)},
    };
    uint id = 20;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int pausedBefore = m_log.count(kPauseMessage);
        ConverToVideoModule work(id++, 3000);
        SignalLog<uint> finished(&work, &ConverToVideoModule::workFinish);

        emit work.startVideo(c.file, c.size);
        feed(work, makeJpeg(QSize(64, 48), kRed), 3);
        ASSERT_TRUE(finish(work, finished));

        EXPECT_EQ(m_log.count(kOpenFailedMessage + QLatin1Char(' ') + c.file), 1);
        EXPECT_EQ(m_log.count(kPauseMessage) - pausedBefore, 3);
        EXPECT_FALSE(QFile::exists(c.file));
    }
}

// A recording whose file cannot be created is refused at once, says why and leaves no file.
TEST_F(RecorderTest, FileThatCannotBeCreatedIsRefusedAtOnce)
{
    const struct {
        const char *name;
        QString file;
        rlim_t sizeLimit;  // 0: none
        Mp4Writer::Failure expected;
    } cases[] = {
        {"disk full", path(QStringLiteral("full.mp4")), 200, Mp4Writer::Failure::NoSpace},
        {"missing folder", path(QStringLiteral("no/such/folder/x.mp4")), 0, Mp4Writer::Failure::Other},
    };
    uint id = 40;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ConverToVideoModule work(id++, 3000);
        {
            std::unique_ptr<testsupport::FileSizeLimit> limit;
            if (c.sizeLimit)
                limit = std::make_unique<testsupport::FileSizeLimit>(c.sizeLimit);
            EXPECT_FALSE(work.openFile(c.file, QSize(320, 240)));
        }
        EXPECT_EQ(work.failure(), c.expected);
        EXPECT_FALSE(QFile::exists(c.file));
    }
}

// A disk that fills up mid-way: the recording reports it once, and its file is cut back to the whole
// fragments it holds, so it plays with every frame of them (fragments of 50 frames, a key frame each).
TEST_F(RecorderTest, FullDiskMidWayLeavesAPlayableFileAndIsReported)
{
    const QString file = path(QStringLiteral("filling.mp4"));
    constexpr rlim_t kLimit = 40000;
    {
        testsupport::FileSizeLimit limit(kLimit);
        ASSERT_TRUE(limit.ok());
        ConverToVideoModule work(50, 60000);
        SignalLog<uint, int> failed(&work, &ConverToVideoModule::workFailed);
        SignalLog<uint> finished(&work, &ConverToVideoModule::workFinish);
        ASSERT_TRUE(work.openFile(file, QSize(320, 240)));
        emit work.startVideo(file, QSize(320, 240));
        for (int i = 0; i < 1500; ++i)
            feed(work, makeJpeg(QSize(320, 240), kRed, i));
        ASSERT_TRUE(failed.waitForCount(1, 60000));
        EXPECT_EQ(std::get<1>(failed.calls().first()), static_cast<int>(Mp4Writer::Failure::NoSpace));
        EXPECT_EQ(work.failure(), Mp4Writer::Failure::NoSpace);
        ASSERT_TRUE(finish(work, finished));
        EXPECT_EQ(failed.count(), 1);
    }
    EXPECT_EQ(m_log.count(QStringLiteral("VideoWriter write error")), 1);
    EXPECT_LE(QFileInfo(file).size(), static_cast<qint64>(kLimit));
    const VideoFacts facts = probeVideo(file);
    EXPECT_EQ(facts.codec, "h264");
    EXPECT_GE(facts.frames, 50);
    EXPECT_EQ(facts.frames % 50, 0) << facts.frames;
}

// The watchdog stays quiet while frames come and fires once, when they stop.
TEST_F(RecorderTest, WatchdogFiresOnlyWhenFramesStop)
{
    const QByteArray jpeg = makeJpeg(QSize(64, 48), kRed);
    const int intervalMs = 800;
    ConverToVideoModule work(9, intervalMs);
    SignalLog<uint> timeouts(&work, &ConverToVideoModule::trigTimeOut);
    SignalLog<uint> finished(&work, &ConverToVideoModule::workFinish);

    emit work.startVideo(path(QStringLiteral("watch.mp4")), QSize(64, 48));
    // Frames every 100 ms for longer than the interval: a generous margin on a busy machine.
    for (int i = 0; i < 12; ++i) {
        feed(work, jpeg);
        QTest::qWait(100);
    }
    EXPECT_EQ(timeouts.count(), 0);

    ASSERT_TRUE(timeouts.waitForCount(1, 5000));
    EXPECT_EQ(std::get<0>(timeouts.calls().at(0)), 9u);
    // Nothing else stops it: the owner answers the time-out.
    QTest::qWait(intervalMs + 200);
    EXPECT_EQ(timeouts.count(), 1);
    EXPECT_EQ(finished.count(), 0);
    ASSERT_TRUE(finish(work, finished));
}

// Frames that do not decode are dropped; the others are written.
TEST_F(RecorderTest, UndecodableFramesAreDropped)
{
    const QString file = path(QStringLiteral("mixed.mp4"));
    ConverToVideoModule work(10, 3000);
    SignalLog<uint> finished(&work, &ConverToVideoModule::workFinish);
    const QByteArray good = makeJpeg(QSize(64, 48), kRed);
    const QByteArray noise("\x01\x02\x03 not a picture", 18);

    emit work.startVideo(file, QSize(64, 48));
    feed(work, good, 6);
    feed(work, noise);
    feed(work, QByteArray("\xFF\xD8\xFF", 3));
    feed(work, good, 6);
    ASSERT_TRUE(finish(work, finished));

    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.frames, 12);
}

// A second start keeps the open file and its size; it only restarts recording.
TEST_F(RecorderTest, SecondStartKeepsTheOpenFile)
{
    const QString first = path(QStringLiteral("first.mp4"));
    const QString second = path(QStringLiteral("second.mp4"));
    const QByteArray jpeg = makeJpeg(QSize(64, 48), kRed);
    ConverToVideoModule work(11, 3000);
    SignalLog<uint> started(&work, &ConverToVideoModule::workStart);
    SignalLog<uint> finished(&work, &ConverToVideoModule::workFinish);

    emit work.startVideo(first, QSize(64, 48));
    feed(work, jpeg, 4);
    emit work.pauseVudeo(false);
    emit work.startVideo(second, QSize(160, 120));
    feed(work, jpeg, 4);
    ASSERT_TRUE(finish(work, finished));

    EXPECT_EQ(started.count(), 2);
    EXPECT_FALSE(QFile::exists(second));
    const VideoFacts facts = probeVideo(first);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.frames, 8);
    EXPECT_EQ(facts.width, 64);
    EXPECT_EQ(facts.height, 48);
}

// A recording that falls behind takes at most kBacklogLimit frames, refuses the rest until it has
// caught up, and logs one line per burst of refusals.
TEST_F(RecorderTest, BacklogIsBoundedUntilTheRecordingCatchesUp)
{
    const QString file = path(QStringLiteral("backlog.mp4"));
    const QByteArray jpeg = makeJpeg(QSize(64, 48), kRed);
    ConverToVideoModule work(12, 10000);
    SignalLog<uint> finished(&work, &ConverToVideoModule::workFinish);
    emit work.startVideo(file, QSize(64, 48));

    // Hold the recording thread as a slow encoder would.
    QSemaphore gate;
    QMetaObject::invokeMethod(&work, [&gate] { gate.tryAcquire(1, 20000); }, Qt::QueuedConnection);

    int accepted = 0;
    for (int i = 0; i < ConverToVideoModule::kBacklogLimit + 10; ++i)
        accepted += work.queueFrameCopy(jpeg.constData(), jpeg.size()) ? 1 : 0;
    EXPECT_EQ(accepted, ConverToVideoModule::kBacklogLimit);
    EXPECT_EQ(work.pendingFrames(), ConverToVideoModule::kBacklogLimit);
    EXPECT_EQ(work.droppedFrames(), 10u);
    EXPECT_EQ(m_log.count(QStringLiteral("dropped frames")), 0);

    gate.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return work.pendingFrames() <= ConverToVideoModule::kBacklogResume; }, 20000));
    EXPECT_TRUE(work.queueFrameCopy(jpeg.constData(), jpeg.size()));
    EXPECT_EQ(m_log.count(QStringLiteral("dropped frames:  10")), 1);
    EXPECT_FALSE(work.queueFrameCopy(nullptr, 10));
    EXPECT_FALSE(work.queueFrameCopy(jpeg.constData(), 0));

    ASSERT_TRUE(finish(work, finished));
    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.frames, ConverToVideoModule::kBacklogLimit + 1);
}

// Large frames are bounded by their size as well: the backlog never holds more than kBacklogByteLimit.
TEST_F(RecorderTest, BacklogOfLargeFramesIsBoundedBySize)
{
    ConverToVideoModule work(15, 10000);
    SignalLog<uint> finished(&work, &ConverToVideoModule::workFinish);
    emit work.startVideo(path(QStringLiteral("large.mp4")), QSize(64, 48));
    QSemaphore gate;
    QMetaObject::invokeMethod(&work, [&gate] { gate.tryAcquire(1, 20000); }, Qt::QueuedConnection);

    const QByteArray large(5 << 20, 'x');  // not a picture: taken up and dropped once the gate opens
    const int fitting = static_cast<int>(ConverToVideoModule::kBacklogByteLimit / large.size());
    int accepted = 0;
    for (int i = 0; i < fitting + 4; ++i)
        accepted += work.queueFrameCopy(large.constData(), large.size()) ? 1 : 0;
    EXPECT_EQ(accepted, fitting);
    EXPECT_EQ(work.droppedFrames(), 4u);

    gate.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return work.pendingFrames() == 0; }, 20000));
    EXPECT_TRUE(work.queueFrameCopy(large.constData(), large.size()));
    ASSERT_TRUE(finish(work, finished));
}

// Frames still queued when a recording goes are freed (checked by LeakSanitizer), and a recording
// destroyed while it runs still finishes a playable file.
TEST_F(RecorderTest, FramesInFlightAreFreedWhenTheRecordingGoes)
{
    const QByteArray jpeg = makeJpeg(QSize(64, 48), kRed);
    {
        // Frames handed over after the thread has ended are never taken up.
        ConverToVideoModule work(13, 3000);
        SignalLog<uint> finished(&work, &ConverToVideoModule::workFinish);
        emit work.startVideo(path(QStringLiteral("ended.mp4")), QSize(64, 48));
        ASSERT_TRUE(finish(work, finished));
        for (int i = 0; i < 5; ++i)
            EXPECT_TRUE(work.queueFrameCopy(jpeg.constData(), jpeg.size()));
        EXPECT_EQ(work.pendingFrames(), 5);
    }
    const QString file = path(QStringLiteral("cut.mp4"));
    {
        auto work = std::make_unique<ConverToVideoModule>(14, 3000);
        emit work->startVideo(file, QSize(64, 48));
        for (int i = 0; i < 40; ++i)
            work->queueFrameCopy(jpeg.constData(), jpeg.size());
        ASSERT_TRUE(QTest::qWaitFor([&] { return work->pendingFrames() < 40; }, 10000));
        work.reset();
    }
    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.codec, QStringLiteral("h264"));
    EXPECT_LE(facts.frames, 40);
    EXPECT_EQ(m_log.count(QStringLiteral(" ~ConverToVideoModule  work Id :  13")), 1);
    EXPECT_EQ(m_log.count(QStringLiteral(" ~ConverToVideoModule  work Id :  14")), 1);
}

}  // namespace
