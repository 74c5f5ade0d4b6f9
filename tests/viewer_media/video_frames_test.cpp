// Reading recordings back (the capture thumbnail): every picture in order, at the video's size or
// scaled, and a clear refusal for files that are no video.
#include "media_test_support.h"
#include "mp4_writer.h"
#include "video_frames.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mediatest;

namespace {

QByteArray solidFrame(QColor colour)
{
    QImage image(QSize(64, 48), QImage::Format_RGB888);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    return bytes;
}

// A 64x48 video of frames alternating between red and blue, the first red.
QString writeVideo(const QTemporaryDir &dir, int frames)
{
    const QString file = dir.filePath(QStringLiteral("clip.mp4"));
    const QByteArray red = solidFrame(QColor(220, 30, 30));
    const QByteArray blue = solidFrame(QColor(30, 30, 220));
    Mp4Writer writer;
    if (!writer.open(file, QSize(64, 48), 25))
        return {};
    for (int i = 0; i < frames; ++i) {
        const QByteArray &frame = i % 2 ? blue : red;
        writer.write(frame.constData(), frame.size());
    }
    writer.release();
    return file;
}

bool reddish(const QImage &image)
{
    const QRgb px = image.pixel(image.width() / 2, image.height() / 2);
    return qRed(px) > 180 && qBlue(px) < 80;
}

bool bluish(const QImage &image)
{
    const QRgb px = image.pixel(image.width() / 2, image.height() / 2);
    return qBlue(px) > 180 && qRed(px) < 80;
}

}  // namespace

TEST(VideoFrameReaderTest, ReadsEveryPictureInOrderThenEnds)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = writeVideo(dir, 7);
    ASSERT_FALSE(file.isEmpty());

    VideoFrameReader reader;
    ASSERT_TRUE(reader.open(file)) << reader.errorText().toStdString();
    for (int i = 0; i < 7; ++i) {
        const QImage image = reader.next();
        ASSERT_FALSE(image.isNull()) << "picture " << i << ": " << reader.errorText().toStdString();
        EXPECT_EQ(image.size(), QSize(64, 48));
        EXPECT_EQ(image.format(), QImage::Format_RGB888);
        EXPECT_TRUE(i % 2 ? bluish(image) : reddish(image)) << "picture " << i;
    }
    EXPECT_TRUE(reader.next().isNull());
    EXPECT_TRUE(reader.next().isNull());  // stays at the end
}

// The thumbnail is the first picture squeezed to the size asked for, whatever the video's aspect.
TEST(VideoFrameReaderTest, ThumbnailIsTheFirstPictureScaled)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = writeVideo(dir, 3);
    ASSERT_FALSE(file.isEmpty());
    const QImage thumb = videoThumbnail(file, QSize(100, 100));
    ASSERT_FALSE(thumb.isNull());
    EXPECT_EQ(thumb.size(), QSize(100, 100));
    EXPECT_TRUE(reddish(thumb));
}

// Files that are no (complete) video give no picture and a reason, never a crash.
TEST(VideoFrameReaderTest, RefusesWhatIsNoVideo)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString good = writeVideo(dir, 5);
    ASSERT_FALSE(good.isEmpty());
    QFile goodFile(good);
    ASSERT_TRUE(goodFile.open(QIODevice::ReadOnly));
    const QByteArray bytes = goodFile.readAll();

    const struct {
        const char *name;
        QByteArray content;
        bool exists;
        bool opens;  // a recording is fragmented: cut inside its fragment, its header still opens
    } cases[] = {
        {"missing", {}, false, false},
        {"empty", {}, true, false},
        {"text", QByteArray("this is no video\n").repeated(50), true, false},
        {"header only", bytes.left(64), true, false},
        {"truncated", bytes.left(bytes.size() / 2), true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QStringLiteral("case.mp4"));
        QFile::remove(path);
        if (c.exists) {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.content);
        }
        VideoFrameReader reader;
        if (!c.opens) {
            EXPECT_FALSE(reader.open(path));
            EXPECT_FALSE(reader.errorText().isEmpty());
        } else {
            reader.open(path);
        }
        EXPECT_TRUE(reader.next().isNull());
        EXPECT_TRUE(videoThumbnail(path, QSize(100, 100)).isNull());
    }
}
