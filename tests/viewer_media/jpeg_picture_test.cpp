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

}  // namespace
