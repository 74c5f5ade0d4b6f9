#include "media_test_support.h"
#include "mp4_writer.h"

#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <vector>

using namespace mediatest;

namespace {

// A JPEG of one colour with the given chroma subsampling (TJSAMP_*), made with libjpeg-turbo.
QByteArray solidJpeg(QSize size, QColor colour, int subsamp)
{
    std::vector<unsigned char> rgb(static_cast<size_t>(size.width()) * size.height() * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = static_cast<unsigned char>(colour.red());
        rgb[i + 1] = static_cast<unsigned char>(colour.green());
        rgb[i + 2] = static_cast<unsigned char>(colour.blue());
    }
    tjhandle handle = tjInitCompress();
    unsigned char *jpeg = nullptr;
    unsigned long jpegSize = 0;
    QByteArray bytes;
    if (tjCompress2(handle, rgb.data(), size.width(), size.width() * 3, size.height(), TJPF_RGB, &jpeg, &jpegSize,
                    subsamp, 95, 0) == 0)
        bytes = QByteArray(reinterpret_cast<const char *>(jpeg), static_cast<int>(jpegSize));
    tjFree(jpeg);
    tjDestroy(handle);
    return bytes;
}

QByteArray solidPng(QSize size, QColor colour)
{
    QImage image(size, QImage::Format_RGB888);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

struct LayoutCase {
    const char *name;
    int subsamp;  // -1: a PNG frame
    QSize frameSize;
    QSize fileSize;
    QColor colour;
};

void PrintTo(const LayoutCase &c, std::ostream *os)
{
    *os << c.name;
}

class WriterLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

// Every kind of frame the camera might send ends up in the file at the file's size and in its colours
// (within what two lossy coders change): the colour levels of the JPEG are mapped to the video range.
TEST_P(WriterLayoutTest, KeepsSizeAndColours)
{
    const LayoutCase c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("layout.mp4"));
    const QByteArray frame = c.subsamp < 0 ? solidPng(c.frameSize, c.colour) : solidJpeg(c.frameSize, c.colour, c.subsamp);
    ASSERT_FALSE(frame.isEmpty());

    Mp4Writer writer;
    ASSERT_TRUE(writer.open(file, c.fileSize, 25)) << writer.errorText().toStdString();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(writer.write(frame.constData(), frame.size()), Mp4Writer::Result::Written);
    EXPECT_EQ(writer.write("not a picture", 13), Mp4Writer::Result::NotDecoded);
    writer.release();
    EXPECT_FALSE(writer.isOpened());

    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.codec, QStringLiteral("h264"));
    EXPECT_EQ(facts.frameRate, QStringLiteral("25/1"));
    EXPECT_EQ(facts.frames, 5);
    EXPECT_EQ(QSize(facts.width, facts.height), c.fileSize);
    const Bgr centre = firstFrameCentre(file);
    EXPECT_NEAR(centre.r, c.colour.red(), 10);
    EXPECT_NEAR(centre.g, c.colour.green(), 10);
    EXPECT_NEAR(centre.b, c.colour.blue(), 10);
}

const QColor kOrange(230, 120, 40);
const QColor kGrey(180, 180, 180);
const QColor kDark(20, 40, 70);

INSTANTIATE_TEST_SUITE_P(
    Frames, WriterLayoutTest,
    ::testing::Values(LayoutCase{"yuv420", TJSAMP_420, QSize(64, 48), QSize(64, 48), kOrange},
                      LayoutCase{"yuv420dark", TJSAMP_420, QSize(64, 48), QSize(64, 48), kDark},
                      LayoutCase{"yuv420scaled", TJSAMP_420, QSize(96, 72), QSize(64, 48), kOrange},
                      LayoutCase{"yuv422", TJSAMP_422, QSize(64, 48), QSize(64, 48), kOrange},
                      LayoutCase{"yuv444", TJSAMP_444, QSize(64, 48), QSize(64, 48), kDark},
                      LayoutCase{"grey", TJSAMP_GRAY, QSize(64, 48), QSize(64, 48), kGrey},
                      LayoutCase{"png", -1, QSize(64, 48), QSize(96, 72), kOrange}),
    [](const ::testing::TestParamInfo<LayoutCase> &info) { return std::string(info.param.name); });

// A file or a frame header claiming a picture far too large is refused without allocating it; the
// file stays usable.
TEST(WriterInputTest, RefusesOversizedAndTruncatedFrames)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("input.mp4"));
    QByteArray huge = solidJpeg(QSize(16, 16), kOrange, TJSAMP_420);
    ASSERT_TRUE(claimPictureSize(huge, 40000));
    const QByteArray good = solidJpeg(QSize(64, 48), kOrange, TJSAMP_420);
    LogCapture log;

    Mp4Writer writer;
    EXPECT_FALSE(writer.open(file, QSize(20000, 20000), 25));
    EXPECT_FALSE(writer.isOpened());
    ASSERT_TRUE(writer.open(file, QSize(64, 48), 25));
    EXPECT_EQ(writer.write(huge.constData(), huge.size()), Mp4Writer::Result::NotDecoded);
    EXPECT_EQ(writer.write(good.constData(), 20), Mp4Writer::Result::NotDecoded);
    EXPECT_EQ(writer.write(good.constData(), good.size()), Mp4Writer::Result::Written);
    writer.release();
    EXPECT_EQ(log.count(QStringLiteral("picture too large:  40000 x 40000")), 1);
    const VideoFacts facts = probeVideo(file);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.frames, 1);
}

}  // namespace
