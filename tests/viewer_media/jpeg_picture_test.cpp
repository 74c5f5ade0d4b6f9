#include "jpeg_picture.h"
#include "media_test_support.h"

#include <QBuffer>
#include <QPixmap>

#include <gtest/gtest.h>

using namespace mediatest;

namespace {

const QColor kGreen(40, 200, 60);

// Pictures come out as 32-bit RGB in the frame's colours; a buffer comes back for the next picture once
// the last pixmap holding it is gone, and is never handed out while a picture still holds it.
TEST(JpegPictureTest, DecodesIntoRecycledBuffers)
{
    const QByteArray first = makeJpeg(QSize(64, 48), kGreen, 0);
    const QByteArray second = makeJpeg(QSize(64, 48), kGreen, 5);
    JpegPictureDecoder decoder;

    const uchar *recycled = nullptr;
    const uchar *other = nullptr;
    {
        const QPixmap shown = QPixmap::fromImage(decoder.decode(first.constData(), first.size()));
        ASSERT_FALSE(shown.isNull());
        const QImage image = shown.toImage();
        EXPECT_EQ(image.format(), QImage::Format_RGB32);
        EXPECT_EQ(image.size(), QSize(64, 48));
        const QColor centre = image.pixelColor(32, 30);
        EXPECT_NEAR(centre.green(), 200, 8);
        EXPECT_NEAR(centre.red(), 40, 8);
        recycled = image.constBits();

        // Still shown: the next picture gets another buffer.
        const QImage next = decoder.decode(second.constData(), second.size());
        other = next.constBits();
        EXPECT_NE(other, recycled);
    }
    // Both buffers are free again: the next picture reuses one of them.
    const QImage again = decoder.decode(second.constData(), second.size());
    EXPECT_TRUE(again.constBits() == recycled || again.constBits() == other);

    // A picture may outlive its decoder.
    QImage kept;
    {
        JpegPictureDecoder shortLived;
        kept = shortLived.decode(first.constData(), first.size());
    }
    EXPECT_EQ(kept.size(), QSize(64, 48));
}

// Frames that are not pictures give null images; other formats are read by Qt; a header claiming a
// picture too large is refused with a log line.
TEST(JpegPictureTest, RefusesWhatIsNotAPicture)
{
    JpegPictureDecoder decoder;
    LogCapture log;
    EXPECT_TRUE(decoder.decode("garbage", 7).isNull());
    EXPECT_TRUE(decoder.decode("\xFF\xD8\xFF", 3).isNull());
    EXPECT_TRUE(decoder.decode(nullptr, 10).isNull());

    QImage png(QSize(20, 10), QImage::Format_RGB888);
    png.fill(kGreen);
    QByteArray pngBytes;
    QBuffer buffer(&pngBytes);
    buffer.open(QIODevice::WriteOnly);
    png.save(&buffer, "PNG");
    EXPECT_EQ(decoder.decode(pngBytes.constData(), pngBytes.size()).size(), QSize(20, 10));

    QByteArray huge = makeJpeg(QSize(16, 16), kGreen);
    ASSERT_TRUE(claimPictureSize(huge, 40000));
    EXPECT_TRUE(decoder.decode(huge.constData(), huge.size()).isNull());
    EXPECT_EQ(log.count(QStringLiteral("picture too large:  40000 x 40000")), 1);
}

// The live view's decode size: the smallest fast reduction (1/2, 1/4, 1/8) that still covers the view in
// both directions; never larger than the frame, never smaller than the view.
TEST(JpegPictureTest, DisplaySizeIsTheSmallestFastReductionCoveringTheView)
{
    struct Case {
        QSize frame, view, expected;
    };
    const Case cases[] = {
        {{1920, 1080}, {832, 520}, {960, 540}},     // the window's usual view
        {{1920, 1080}, {960, 540}, {960, 540}},     // exactly half
        {{1920, 1080}, {961, 540}, {1920, 1080}},   // a pixel wider than half: the 3/4 scale is slower
        {{1920, 1080}, {1000, 200}, {1920, 1080}},  // wide and short: the width decides
        {{1920, 1080}, {480, 270}, {480, 270}},     // a quarter
        {{1920, 1080}, {100, 100}, {240, 135}},     // an eighth is the smallest there is
        {{1280, 720}, {832, 520}, {1280, 720}},     // half would be smaller than the view
        {{1280, 720}, {640, 360}, {640, 360}},
        {{1921, 1081}, {481, 271}, {481, 271}},     // reduced sizes round up
        {{640, 480}, {832, 520}, {640, 480}},       // a view larger than the frame
        {{1920, 1080}, {}, {1920, 1080}},           // no view: full size
        {{1920, 1080}, {0, 500}, {1920, 1080}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(JpegPictureDecoder::displaySize(c.frame, c.view), c.expected)
            << c.frame.width() << "x" << c.frame.height() << " for " << c.view.width() << "x" << c.view.height();
    }
}

// A frame decoded for a small view comes out at the reduced size with its colours; the header gives the
// full size; a later full decode into the same recycled pool is full size again.
TEST(JpegPictureTest, DecodesAtTheSizeOfTheView)
{
    const QByteArray jpeg = makeJpeg(QSize(640, 480), kGreen);
    JpegPictureDecoder decoder;
    EXPECT_EQ(JpegPictureDecoder::frameSize(jpeg.constData(), jpeg.size()), QSize(640, 480));
    EXPECT_FALSE(JpegPictureDecoder::frameSize("garbage", 7).isValid());

    const QImage small = decoder.decode(jpeg.constData(), jpeg.size(), QSize(200, 100));
    ASSERT_EQ(small.size(), QSize(320, 240));
    EXPECT_NEAR(small.pixelColor(160, 150).green(), 200, 8);
    EXPECT_NEAR(small.pixelColor(160, 150).red(), 40, 8);
    EXPECT_EQ(decoder.decode(jpeg.constData(), jpeg.size(), QSize(80, 60)).size(), QSize(80, 60));
    EXPECT_EQ(decoder.decode(jpeg.constData(), jpeg.size()).size(), QSize(640, 480));
}

}  // namespace
