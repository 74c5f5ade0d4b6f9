// The virtual camera's stream generator: its pictures carry a recoverable frame number and its
// packets follow the camera protocol.
#include "test_support.h"

#include "qt_picture.h"

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
                const Bytes jpeg = StreamGenerator::encodeJpeg(StreamGenerator::picture(n, w, h), quality);
                ASSERT_GT(jpeg.size(), 100u);
                const auto got = StreamGenerator::decodeFrameNumber(jpeg.data(), static_cast<int>(jpeg.size()));
                ASSERT_TRUE(got.has_value()) << w << "x" << h << " #" << n << " q" << quality;
                EXPECT_EQ(*got, n);
                // Other decoders read it too.
                QImage img;
                ASSERT_TRUE(img.loadFromData(vcam::toQByteArray(jpeg), "JPEG"));
                EXPECT_EQ(img.width(), w);
                EXPECT_EQ(img.height(), h);
            }
        }
    }
}

TEST(StreamGenerator, APictureWithoutTheGridHasNoNumber)
{
    const vcam::Picture grey(320, 240, vcam::rgb(128, 128, 128));
    EXPECT_FALSE(StreamGenerator::decodeFrameNumber(grey).has_value());
    EXPECT_FALSE(vcam::decodeFrameNumber(vcam::toQImage(grey)).has_value());
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
    EXPECT_EQ(Bytes(f1.jpeg.end() - 7, f1.jpeg.end()), (Bytes{0xFF, 0xD9, 0, 0, 0, 0, 0}));

    Bytes joined;
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
        joined.insert(joined.end(), p.begin() + 12, p.end());
    }
    EXPECT_EQ(joined, f1.jpeg);
    EXPECT_EQ(*StreamGenerator::decodeFrameNumber(f1.jpeg.data(), static_cast<int>(f1.jpeg.size())), 1u);
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
