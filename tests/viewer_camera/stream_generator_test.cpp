// The virtual camera's stream generator: its pictures carry a recoverable frame number and its
// packets follow the camera protocol.
#include "test_support.h"

#include <cstring>

using vcam::Bytes;
using vcam::StreamGenerator;

namespace {

TEST(StreamGenerator, FrameNumberSurvivesJpegAtEverySize)
{
    const std::pair<int, int> sizes[] = {{80, 80}, {160, 120}, {320, 240}, {640, 480}, {1280, 720}};
    const uint32_t numbers[] = {0u, 1u, 7u, 255u, 256u, 123456789u, 0xFFFFFFFFu};
    for (auto [w, h] : sizes) {
        for (uint32_t n : numbers) {
            for (int quality : {30, 80}) {
                const QByteArray jpeg = StreamGenerator::encodeJpeg(StreamGenerator::picture(n, w, h), quality);
                ASSERT_GT(jpeg.size(), 100);
                const auto got = StreamGenerator::decodeFrameNumber(
                    reinterpret_cast<const uint8_t *>(jpeg.constData()), jpeg.size());
                ASSERT_TRUE(got.has_value()) << w << "x" << h << " #" << n << " q" << quality;
                EXPECT_EQ(*got, n);
                QImage img;
                ASSERT_TRUE(img.loadFromData(jpeg, "JPEG"));
                EXPECT_EQ(img.width(), w);
                EXPECT_EQ(img.height(), h);
            }
        }
    }
}

TEST(StreamGenerator, APictureWithoutTheGridHasNoNumber)
{
    QImage grey(320, 240, QImage::Format_RGB32);
    grey.fill(qRgb(128, 128, 128));
    EXPECT_FALSE(StreamGenerator::decodeFrameNumber(grey).has_value());
    const uint8_t junk[] = {1, 2, 3};
    EXPECT_FALSE(StreamGenerator::decodeFrameNumber(junk, 3).has_value());
}

TEST(StreamGenerator, FramesAreCutIntoWellFormedChunks)
{
    vcam::StreamOptions o;
    o.width = 320;
    o.height = 240;
    o.chunkPayload = 1000;
    o.trailingZeros = 5;
    o.chunkFlags = 0x21;
    StreamGenerator gen(o);
    const vcam::Frame f0 = gen.nextFrame();
    const vcam::Frame f1 = gen.nextFrame(/*photo=*/true);
    EXPECT_EQ(f0.number, 0u);
    EXPECT_EQ(f1.number, 1u);
    EXPECT_EQ(f0.id, 1);
    EXPECT_EQ(f1.id, 2);
    EXPECT_EQ(f1.jpeg.right(7), QByteArray("\xFF\xD9\0\0\0\0\0", 7));

    QByteArray joined;
    for (size_t i = 0; i < f1.packets.size(); ++i) {
        const Bytes &p = f1.packets[i];
        ASSERT_GE(p.size(), 12u);
        EXPECT_EQ(p[0], 0xAA);
        EXPECT_EQ(p[1], 0xBB);
        EXPECT_EQ(p[2], CID_IMAGE_DATA);
        EXPECT_EQ(proto_packet_size(p.data()), static_cast<int>(p.size()));
        EXPECT_LE(p.size(), 1012u);
        EXPECT_EQ(p[5], f1.id);
        EXPECT_EQ(p[7], i == 0 ? 0x23 : 0x21);  // photo bit on the first chunk only
        uint32_t value;
        std::memcpy(&value, p.data() + 8, 4);
        EXPECT_EQ(value, 1u);
        joined.append(reinterpret_cast<const char *>(p.data()) + 12, static_cast<int>(p.size()) - 12);
    }
    EXPECT_EQ(joined, f1.jpeg);
    EXPECT_EQ(*StreamGenerator::decodeFrameNumber(reinterpret_cast<const uint8_t *>(f1.jpeg.constData()),
                                                  f1.jpeg.size()),
              1u);
}

TEST(StreamGenerator, RepliesFollowThePacketFormat)
{
    const vs_devinfo_t info = StreamGenerator::defaultDevInfo();
    const Bytes r = StreamGenerator::devInfoReply(info, 98);
    ASSERT_EQ(r.size(), 104u);
    EXPECT_EQ((Bytes{r[0], r[1], r[2], r[3], r[4]}), (Bytes{0xAA, 0xBB, 0x05, 98, 0}));
    EXPECT_EQ(std::memcmp(r.data() + 6, &info, 98), 0);
    EXPECT_EQ(StreamGenerator::openStreamReply(false), (Bytes{0xBB, 0xAA, 0x06, 1, 0, 0, 0}));
    EXPECT_EQ(StreamGenerator::switchCamera(1, 0x0203), (Bytes{0xAA, 0xBB, 0x0B, 3, 0, 0, 1, 0x03, 0x02}));
}

TEST(StreamGenerator, ReadSplitsCoverTheStream)
{
    StreamGenerator gen;
    const Bytes stream = gen.nextFrames(3);
    std::mt19937 rng(5);
    for (const auto &reads : {StreamGenerator::randomReads(stream, rng, 4092), StreamGenerator::fixedReads(stream)}) {
        Bytes joined;
        for (const Bytes &r : reads) {
            ASSERT_FALSE(r.empty());
            ASSERT_LE(r.size(), 4092u);
            joined.insert(joined.end(), r.begin(), r.end());
        }
        EXPECT_EQ(joined, stream);
    }
}

}  // namespace
