#include "image_conver_module.h"
#include "media_test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPixmap>
#include <QSemaphore>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <mutex>

using namespace mediatest;

namespace {

const QColor kBlue(30, 40, 210);

class ConverterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_converter = ImageConverModule::instance();
        ASSERT_NE(m_converter, nullptr);
        // A picture of an earlier test still on its way to this thread is delivered now.
        drain();
        QCoreApplication::processEvents();
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }

    // A frame as the stream thread sends it.
    void send(const QByteArray &jpeg) { emit m_converter->converBufToImage(heapFrame(jpeg), jpeg.size()); }

    // Returns once the conversion thread has taken every frame sent so far (this thread handles no
    // events meanwhile, so pictures for it wait).
    void drain() { QMetaObject::invokeMethod(m_converter, [] {}, Qt::BlockingQueuedConnection); }

    // The window's stop sequence, then the wait until the work has left the registry.
    bool stopAndWaitForRemoval(int workId)
    {
        m_converter->pauseVideoWork(workId, true);
        m_converter->stopVideoWork(workId);
        return QTest::qWaitFor([&] { return m_converter->videoWork(workId).isNull(); }, 20000);
    }

    QTemporaryDir m_dir;
    LogCapture m_log;
    ImageConverModule *m_converter = nullptr;
};

// Every frame reaches the live view, an undecodable one as a null pixmap; frames without bytes are
// ignored.
TEST_F(ConverterTest, DecodesEveryFrameForTheLiveView)
{
    SignalLog<QPixmap> images(m_converter, &ImageConverModule::newImage);

    send(makeJpeg(QSize(64, 48), kBlue));
    ASSERT_TRUE(images.waitForCount(1, 10000));
    send(QByteArray("garbage, not a JPEG"));
    ASSERT_TRUE(images.waitForCount(2, 10000));
    emit m_converter->converBufToImage(new char[0], 0);
    emit m_converter->converBufToImage(nullptr, 0);
    emit m_converter->converBufToImage(nullptr, 12);
    send(makeJpeg(QSize(160, 120), kBlue));

    ASSERT_TRUE(images.waitForCount(3, 10000));
    QTest::qWait(100);
    ASSERT_EQ(images.count(), 3);
    const QPixmap first = std::get<0>(images.calls().at(0));
    EXPECT_EQ(first.size(), QSize(64, 48));
    const QColor centre = first.toImage().pixelColor(32, 24);
    EXPECT_GT(centre.blue(), 150);
    EXPECT_LT(centre.red(), 100);
    EXPECT_TRUE(std::get<0>(images.calls().at(1)).isNull());
    EXPECT_EQ(std::get<0>(images.calls().at(2)).size(), QSize(160, 120));
    EXPECT_EQ(m_log.count(QStringLiteral("frame without data")), 1);
}

// A GUI thread that takes no pictures holds up one, the newest: each newer picture replaces the one
// waiting and is counted. The frame kept for photos is the one whose picture was delivered, at full
// size while the picture itself was decoded for a small view.
TEST_F(ConverterTest, PicturesWaitingForTheGuiThreadAreBoundedNewestWins)
{
    const int frames = 8;
    SignalLog<QPixmap> images(m_converter, &ImageConverModule::newImage);
    const quint64 skippedBefore = m_converter->skippedDisplayFrames();
    const quint64 supersededBefore = m_converter->supersededPictures();
    m_converter->setDisplaySize(QSize(32, 24));

    QByteArray newest;
    for (int i = 0; i < frames; ++i) {
        newest = makeJpeg(QSize(64, 48), kBlue, i);
        send(newest);
        drain();  // converted before the next is sent, so none is late

    }
    m_converter->setDisplaySize(QSize());
    EXPECT_EQ(m_converter->supersededPictures() - supersededBefore, quint64(frames - 1));
    EXPECT_EQ(m_converter->skippedDisplayFrames() - skippedBefore, quint64(frames - 1));
    EXPECT_EQ(images.count(), 0);

    ASSERT_TRUE(images.waitForCount(1, 10000));
    QTest::qWait(100);
    ASSERT_EQ(images.count(), 1);
    const QImage shown = std::get<0>(images.calls().at(0)).toImage();
    EXPECT_EQ(shown.size(), QSize(32, 24));
    // The newest frame has its white mark at x = 21..28 (see makeJpeg): 11..13 at half size.
    EXPECT_GT(qGray(shown.pixel(12, 1)), 180);
    EXPECT_LT(qGray(shown.pixel(1, 1)), 120);

    const ImageConverModule::Frame kept = m_converter->shownFrame();
    ASSERT_FALSE(kept.isNull());
    EXPECT_EQ(QByteArray(kept.bytes.get(), kept.len), newest);

    // The run of replaced pictures is logged once the window takes pictures again.
    send(makeJpeg(QSize(64, 48), kBlue));
    drain();
    EXPECT_EQ(m_log.count(QStringLiteral("live view behind, frames not shown:  7")), 1);
}

// Two recordings each get their own copy of every frame, the smaller work id first, whatever the order
// they were started in; an undecodable frame reaches both and neither writes it.
TEST_F(ConverterTest, EveryWorkGetsEveryFrameInWorkIdOrder)
{
    const int lowId = 1000;
    const int highId = 2000;
    const QString lowFile = path(QStringLiteral("low.mp4"));
    const QString highFile = path(QStringLiteral("high.mp4"));
    ASSERT_EQ(m_converter->startVideoWork(highFile, QSize(64, 48), highId), highId);
    ASSERT_EQ(m_converter->startVideoWork(lowFile, QSize(64, 48), lowId), lowId);

    // Copies are handed out in the conversion thread; note who got each one, as it happens.
    std::mutex orderMutex;
    QList<int> order;
    QList<const char *> copies;
    for (int id : {lowId, highId}) {
        QObject::connect(m_converter->videoWork(id).data(), &ConverToVideoModule::newImageData,
                         [&, id](char *data, int) {
                             std::lock_guard<std::mutex> lock(orderMutex);
                             order << id;
                             copies << data;
                         });
    }

    const int frames = 8;
    for (int i = 0; i < frames; ++i) {
        send(makeJpeg(QSize(64, 48), kBlue, i));
        if (i == 3)
            send(QByteArray("not a picture"));
    }
    drain();

    QList<int> expected;
    for (int i = 0; i < frames + 1; ++i)
        expected << lowId << highId;
    {
        std::lock_guard<std::mutex> lock(orderMutex);
        EXPECT_EQ(order, expected);
        for (int i = 0; i + 1 < copies.size(); i += 2)
            EXPECT_NE(copies.at(i), copies.at(i + 1)) << "each work needs its own copy";
    }

    ASSERT_TRUE(stopAndWaitForRemoval(lowId));
    ASSERT_TRUE(stopAndWaitForRemoval(highId));
    for (const QString &file : {lowFile, highFile}) {
        const VideoFacts facts = probeVideo(file);
        ASSERT_TRUE(facts.ok) << file.toStdString();
        EXPECT_EQ(facts.codec, QStringLiteral("h264"));
        EXPECT_EQ(facts.frames, frames);
    }
}

// A second start with an id in use is refused and creates nothing; requests for unknown ids are
// ignored.
TEST_F(ConverterTest, DuplicateWorkIdIsRefused)
{
    const int id = 3000;
    const QString file = path(QStringLiteral("one.mp4"));
    const QString other = path(QStringLiteral("other.mp4"));
    ASSERT_EQ(m_converter->startVideoWork(file, QSize(64, 48), id), id);
    const auto work = m_converter->videoWork(id);
    ASSERT_FALSE(work.isNull());

    EXPECT_EQ(m_converter->startVideoWork(other, QSize(64, 48), id), -1);
    EXPECT_EQ(m_converter->videoWork(id), work);

    m_converter->pauseVideoWork(id + 1, false);
    m_converter->stopVideoWork(id + 1);
    EXPECT_TRUE(m_converter->videoWork(id + 1).isNull());

    for (int i = 0; i < 3; ++i)
        send(makeJpeg(QSize(64, 48), kBlue, i));
    drain();
    ASSERT_TRUE(stopAndWaitForRemoval(id));
    EXPECT_FALSE(QFile::exists(other));
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_EQ(m_log.count(QStringLiteral("  workId: ")), 2);
}

// A work that stops receiving frames times out after 3000 ms, is stopped and leaves the registry, and
// its file is complete.
TEST_F(ConverterTest, WatchdogStopsAWorkThatStopsReceivingFrames)
{
    const int id = 4000;
    const QString file = path(QStringLiteral("unplugged.mp4"));
    ASSERT_EQ(m_converter->startVideoWork(file, QSize(64, 48), id), id);
    for (int i = 0; i < 5; ++i)
        send(makeJpeg(QSize(64, 48), kBlue, i));

    ASSERT_TRUE(QTest::qWaitFor([&] { return m_converter->videoWork(id).isNull(); }, 10000));
    EXPECT_EQ(m_log.count(QStringLiteral("video id :  4000    trigger time out !")), 1);
    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.frames, 5);
}

// Frames keep coming while a work finishes and after its thread has ended; every copy is freed
// (checked by LeakSanitizer), and the frames written before the stop are all in the file.
TEST_F(ConverterTest, FramesInFlightWhenAWorkIsRemovedAreFreed)
{
    const int id = 5000;
    const QString file = path(QStringLiteral("busy.mp4"));
    ASSERT_EQ(m_converter->startVideoWork(file, QSize(64, 48), id), id);
    const QByteArray jpeg = makeJpeg(QSize(64, 48), kBlue);
    for (int i = 0; i < 10; ++i)
        send(jpeg);
    drain();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_converter->videoWork(id)->pendingFrames() == 0; }, 10000));
    m_converter->pauseVideoWork(id, true);
    m_converter->stopVideoWork(id);
    for (int i = 0; i < 200 && !m_converter->videoWork(id).isNull(); ++i) {
        send(jpeg);
        QTest::qWait(10);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_converter->videoWork(id).isNull(); }, 20000));
    EXPECT_GT(m_log.count(QStringLiteral(" 点击了暂停 一直来这里")), 0);
    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_GE(facts.frames, 10);
}

// With the conversion thread held up, the live view gets only the newest of the waiting frames; the
// older ones are counted as skipped and logged once, and the recording still gets every frame.
TEST_F(ConverterTest, LiveViewShowsTheNewestFrameWhenBehindWhileRecordingsGetEveryFrame)
{
    const int id = 7000;
    const int frames = 10;
    const QString file = path(QStringLiteral("behind.mp4"));
    ASSERT_EQ(m_converter->startVideoWork(file, QSize(64, 48), id), id);
    SignalLog<QPixmap> images(m_converter, &ImageConverModule::newImage);
    const quint64 skippedBefore = m_converter->skippedDisplayFrames();

    QSemaphore gate;
    QMetaObject::invokeMethod(m_converter, [&gate] { gate.tryAcquire(1, 20000); }, Qt::QueuedConnection);
    for (int i = 0; i < frames; ++i)
        send(makeJpeg(QSize(64, 48), kBlue, i));
    QTest::qWait(3 * ImageConverModule::kStaleFrameMs);
    gate.release();

    ASSERT_TRUE(images.waitForCount(1, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_converter->skippedDisplayFrames() - skippedBefore == frames - 1; }, 10000));
    QTest::qWait(100);
    EXPECT_EQ(images.count(), 1);
    EXPECT_EQ(m_log.count(QStringLiteral("live view behind, frames not shown:  9")), 1);
    // The newest frame has its white mark at x = 27 (see makeJpeg); the oldest had it at x = 0.
    const QImage shown = std::get<0>(images.calls().at(0)).toImage();
    EXPECT_GT(qGray(shown.pixel(30, 3)), 200);
    EXPECT_LT(qGray(shown.pixel(3, 3)), 120);

    ASSERT_TRUE(stopAndWaitForRemoval(id));
    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.frames, frames);
}

// A recording fed at twice the camera's rate keeps every frame: none is refused for a full backlog.
TEST_F(ConverterTest, RecordingFedFasterThanRealTimeHoldsEveryFrame)
{
    const int id = 8000;
    const int frames = 100;
    const QString file = path(QStringLiteral("fast.mp4"));
    QVector<QByteArray> jpegs;
    for (int i = 0; i < 25; ++i)
        jpegs << makeJpeg(QSize(320, 240), kBlue, i);
    ASSERT_EQ(m_converter->startVideoWork(file, QSize(320, 240), id), id);
    const QSharedPointer<ConverToVideoModule> work = m_converter->videoWork(id);

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < frames; ++i) {
        send(jpegs.at(i % jpegs.size()));
        while (clock.elapsed() < (i + 1) * 20)
            QTest::qWait(2);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return work->pendingFrames() == 0; }, 20000));
    EXPECT_EQ(work->droppedFrames(), 0u);
    ASSERT_TRUE(stopAndWaitForRemoval(id));
    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.frames, frames);
}

// Works still under way when the converter goes at exit are ended there; this one is left running on
// purpose so that the teardown path runs under the sanitizers.
TEST_F(ConverterTest, WorkLeftRunningAtExitIsEndedWithTheConverter)
{
    const int id = 6000;
    ASSERT_EQ(m_converter->startVideoWork(path(QStringLiteral("left.mp4")), QSize(64, 48), id), id);
    for (int i = 0; i < 5; ++i)
        send(makeJpeg(QSize(64, 48), kBlue, i));
    EXPECT_FALSE(m_converter->videoWork(id).isNull());
}

}  // namespace
