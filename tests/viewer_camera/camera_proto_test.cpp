// The camera protocol and stream parser, fed directly (no USB).
#include "test_support.h"

#include <cstring>
#include <random>

using camtest::concat;
using camtest::countOf;
using camtest::feed;
using camtest::feedAll;
using camtest::FrameSink;
using camtest::traceOf;
using vcam::Bytes;
using vcam::StreamGenerator;

namespace {

// A small stand-in JPEG: FF D8, n filler bytes, FF D9.
Bytes fakeJpeg(int n, uint8_t seed = 1)
{
    Bytes b = {0xFF, 0xD8};
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<uint8_t>(1 + (seed * 31 + i * 7) % 200));
    b.push_back(0xFF);
    b.push_back(0xD9);
    return b;
}

Bytes chunk(uint8_t id, const Bytes &payload, uint8_t flags = 0, uint32_t value = 0, uint8_t cid = CID_IMAGE_DATA)
{
    return StreamGenerator::imageChunk(cid, id, flags, value, payload.data(), static_cast<int>(payload.size()));
}

Bytes slice(const Bytes &b, size_t from, size_t to)
{
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(std::min(to, b.size())));
}

class ProtoTest : public ::testing::Test {
protected:
    void SetUp() override { camtest::freshParser(); }
    void TearDown() override { proto_reset_for_testing(); }
    static std::vector<camtest::Delivered> &frames() { return FrameSink::frames(); }
};

// ---- Framing ------------------------------------------------------------------------------------

TEST_F(ProtoTest, CommandIsFiveBytesBbAaCodeZeroLength)
{
    uint8_t cmd[VS_CMD_LEN];
    proto_make_command(CID_GET_ALLINFO, cmd);
    EXPECT_EQ(Bytes(cmd, cmd + 5), (Bytes{0xBB, 0xAA, 0x05, 0x00, 0x00}));
    proto_make_command(CID_OPEN_STREAM, cmd);
    EXPECT_EQ(Bytes(cmd, cmd + 5), (Bytes{0xBB, 0xAA, 0x06, 0x00, 0x00}));
}

TEST_F(ProtoTest, PacketSizeIsLengthPlusFiveForImageChunksAndPlusSixOtherwise)
{
    const uint8_t img7[5] = {0xAA, 0xBB, 0x07, 0x10, 0x00};
    const uint8_t imgA[5] = {0xBB, 0xAA, 0x0A, 0x00, 0x01};
    const uint8_t info[5] = {0xAA, 0xBB, 0x05, 0x62, 0x00};
    const uint8_t other[5] = {0xAA, 0xBB, 0x42, 0x00, 0x00};
    EXPECT_EQ(proto_packet_size(img7), 16 + 5);
    EXPECT_EQ(proto_packet_size(imgA), 256 + 5);
    EXPECT_EQ(proto_packet_size(info), 98 + 6);
    EXPECT_EQ(proto_packet_size(other), 6);
}

TEST_F(ProtoTest, CheckClassifiesEveryCase)
{
    const uint8_t aa[1] = {0xAA}, bb[1] = {0xBB}, x[1] = {0x12};
    EXPECT_EQ(proto_check(aa, 1), PROTO_NEED_MORE);
    EXPECT_EQ(proto_check(bb, 1), PROTO_NEED_MORE);
    EXPECT_EQ(proto_check(x, 1), PROTO_NOT_START);

    const uint8_t ab[4] = {0xAA, 0xBB, 0x07, 0x00}, ba[4] = {0xBB, 0xAA, 0x07, 0x00};
    const uint8_t aa2[4] = {0xAA, 0xAA, 0x07, 0x00}, bx[4] = {0xBB, 0x12, 0x07, 0x00};
    for (int n = 2; n <= 4; ++n) {
        EXPECT_EQ(proto_check(ab, n), PROTO_NEED_MORE) << n;
        EXPECT_EQ(proto_check(ba, n), PROTO_NEED_MORE) << n;
        EXPECT_EQ(proto_check(aa2, n), PROTO_NOT_START) << n;
        EXPECT_EQ(proto_check(bx, n), PROTO_NOT_START) << n;
    }

    const Bytes full = chunk(1, fakeJpeg(10));  // 10 + 4 + 12 bytes
    EXPECT_EQ(proto_check(full.data(), static_cast<int>(full.size())), PROTO_COMPLETE);
    EXPECT_EQ(proto_check(full.data(), static_cast<int>(full.size()) + 0), PROTO_COMPLETE);
    EXPECT_EQ(proto_check(full.data(), static_cast<int>(full.size()) - 1), PROTO_INCOMPLETE);
    EXPECT_EQ(proto_check(full.data(), 5), PROTO_INCOMPLETE);

    // 2043 + 5 = 2048 is a packet; 2044 + 5 is not.
    const uint8_t maxImg[5] = {0xAA, 0xBB, 0x07, 0xFB, 0x07};
    const uint8_t overImg[5] = {0xAA, 0xBB, 0x07, 0xFC, 0x07};
    const uint8_t maxOther[5] = {0xAA, 0xBB, 0x06, 0xFA, 0x07};
    const uint8_t overOther[5] = {0xAA, 0xBB, 0x06, 0xFB, 0x07};
    EXPECT_EQ(proto_check(maxImg, 5), PROTO_INCOMPLETE);
    EXPECT_EQ(proto_check(overImg, 5), PROTO_TOO_LONG);
    EXPECT_EQ(proto_check(maxOther, 5), PROTO_INCOMPLETE);
    EXPECT_EQ(proto_check(overOther, 5), PROTO_TOO_LONG);
    const uint8_t notMagic[5] = {0xAA, 0xAA, 0x07, 0x00, 0x00};
    EXPECT_EQ(proto_check(notMagic, 5), PROTO_NOT_START);
}

TEST_F(ProtoTest, JpegEndTest)
{
    const Bytes plain = {0xFF, 0xD8, 0x01, 0xFF, 0xD9};
    const Bytes zeros = {0xFF, 0xD8, 0x01, 0xFF, 0xD9, 0, 0, 0, 0};
    const Bytes wrong = {0xFF, 0xD8, 0x01, 0xFE, 0xD9, 0};
    const Bytes noEnd = {0xFF, 0xD8, 0x01, 0x02, 0x03};
    const Bytes allZero = {0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(jpeg_end_ok(plain.data(), 5));
    EXPECT_TRUE(jpeg_end_ok(zeros.data(), static_cast<int>(zeros.size())));
    EXPECT_FALSE(jpeg_end_ok(wrong.data(), static_cast<int>(wrong.size())));
    EXPECT_FALSE(jpeg_end_ok(noEnd.data(), static_cast<int>(noEnd.size())));
    EXPECT_FALSE(jpeg_end_ok(allZero.data(), static_cast<int>(allZero.size())));
    // The scan stops at a length of 3: FF D9 in the first two bytes is not found behind the zeros.
    const Bytes early = {0xFF, 0xD9, 0, 0, 0};
    EXPECT_FALSE(jpeg_end_ok(early.data(), 5));
    EXPECT_FALSE(jpeg_end_ok(nullptr, 0));
}

TEST_F(ProtoTest, InitPrintsEveryTimeButOnlyTheFirstCallCounts)
{
    proto_reset_for_testing();
    testing::internal::CaptureStdout();
    proto_init(nullptr);  // no callback
    const vs_proto_cb_t cb = FrameSink::record();
    proto_init(&cb);      // too late: ignored
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to init-1\nto init-1\n");
    EXPECT_TRUE(proto_state().initialised);
    EXPECT_NE(proto_state().carry, nullptr);

    // Without a callback frames are assembled and dropped silently.
    feedAll({chunk(1, fakeJpeg(20)), chunk(2, fakeJpeg(20))});
    EXPECT_TRUE(frames().empty());
    EXPECT_EQ(proto_state().frame_pos, 24);
}

// ---- Reassembly ---------------------------------------------------------------------------------

TEST_F(ProtoTest, SameIdChunksAppendAndAFrameIsDeliveredWhenTheNextIdArrives)
{
    const Bytes j1 = fakeJpeg(100, 1), j2 = fakeJpeg(7, 2);
    feed(chunk(1, slice(j1, 0, 40)));
    feed(chunk(1, slice(j1, 40, 104)));
    EXPECT_TRUE(frames().empty());
    feed(chunk(2, j2));  // single-chunk frame
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].data, j1);
    feed(chunk(3, fakeJpeg(5, 3)));
    ASSERT_EQ(frames().size(), 2u);
    EXPECT_EQ(frames()[1].data, j2);
    EXPECT_EQ(proto_state().last_frame_id, 3);
}

TEST_F(ProtoTest, ChunkFieldsOfTheFirstChunkGoIntoTheFrameRecord)
{
    const Bytes j = fakeJpeg(30);
    // flags: bit 0 and bits 5..7 = 0b101; the second chunk's fields are not taken.
    feed(chunk(9, slice(j, 0, 10), 0xA1, 0x12345678));
    feed(chunk(9, slice(j, 10, 34), 0x40, 0x99));
    feed(chunk(10, fakeJpeg(3), 0, 7, CID_IMAGE_DATA_B));
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].data, j);
    EXPECT_EQ(frames()[0].value, 0x12345678u);
    EXPECT_EQ(frames()[0].flag0, 1u);
    EXPECT_EQ(frames()[0].flagsHigh, 5u);
    EXPECT_FALSE(frames()[0].haspic);
}

TEST_F(ProtoTest, FirstChunkWithTheInitialIdTakesItsFields)
{
    // The last frame id starts at 0: a first chunk with id 0 starts a frame at position 0.
    feed(chunk(0, fakeJpeg(10), 0x01, 42));
    feed(chunk(1, fakeJpeg(3)));
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].value, 42u);
    EXPECT_EQ(frames()[0].flag0, 1u);
}

TEST_F(ProtoTest, TrailingZerosAfterTheEndMarkerAreDelivered)
{
    Bytes j = fakeJpeg(50);
    j.insert(j.end(), 37, 0);
    feedAll({chunk(1, j), chunk(2, fakeJpeg(3))});
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].data.size(), j.size());
    EXPECT_EQ(frames()[0].data, j);
}

TEST_F(ProtoTest, FramesFailingTheJpegTestsAreDroppedSilently)
{
    Bytes noStart = fakeJpeg(20);
    noStart[1] = 0xD7;
    Bytes noEnd = fakeJpeg(20);
    noEnd.back() = 0xD8;
    const Bytes tiny = {0xFF, 0xD8, 0xFF, 0xD9};  // 4 bytes: not above 4
    const std::string trace =
        traceOf({chunk(1, noStart), chunk(2, noEnd), chunk(3, tiny), chunk(4, fakeJpeg(8)), chunk(5, fakeJpeg(1))});
    EXPECT_EQ(trace, "");
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].data, fakeJpeg(8));
}

TEST_F(ProtoTest, PhotoRequestOnAFramesFirstChunkIsGrantedToTheFrameDeliveredThen)
{
    feed(chunk(1, fakeJpeg(10, 1)));
    feed(chunk(2, fakeJpeg(10, 2), VS_CHUNK_PHOTO_BIT));  // raises the count, then delivers frame 1
    feed(chunk(3, fakeJpeg(10, 3)));
    ASSERT_EQ(frames().size(), 2u);
    EXPECT_TRUE(frames()[0].haspic);
    EXPECT_EQ(frames()[0].data, fakeJpeg(10, 1));
    EXPECT_FALSE(frames()[1].haspic);
    EXPECT_EQ(proto_state().photo_requests, 0);
}

TEST_F(ProtoTest, TwoRequestsGiveTwoDeliveredFramesInARow)
{
    const Bytes j = fakeJpeg(40);
    feed(chunk(1, slice(j, 0, 20), VS_CHUNK_PHOTO_BIT));
    feed(chunk(1, slice(j, 20, 44), VS_CHUNK_PHOTO_BIT));
    EXPECT_EQ(proto_state().photo_requests, 2);
    feedAll({chunk(2, fakeJpeg(5)), chunk(3, fakeJpeg(6)), chunk(4, fakeJpeg(7))});
    ASSERT_EQ(frames().size(), 3u);
    EXPECT_TRUE(frames()[0].haspic);
    EXPECT_TRUE(frames()[1].haspic);
    EXPECT_FALSE(frames()[2].haspic);
}

TEST_F(ProtoTest, AFrameAbove512000BytesPrintsErrorLenAndIsDropped)
{
    Bytes payload(2000, 0x11);
    std::string trace;
    testing::internal::CaptureStdout();
    feed(chunk(1, fakeJpeg(1996)));           // 2000 bytes, a valid start
    for (int i = 0; i < 256; ++i)             // 2000 + 256 * 2000 > 512000
        feed(chunk(1, payload));
    trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(trace, "error len\n");
    // 2000 + 255 * 2000 = 512000 fit; the 256th chunk did not and was not appended.
    EXPECT_EQ(proto_state().frame_pos, 0);
    feed(chunk(1, payload));
    EXPECT_EQ(proto_state().frame_pos, 2000);
    feed(chunk(2, fakeJpeg(10)));
    EXPECT_TRUE(frames().empty());            // the rest of the cut frame fails the start test
    feed(chunk(3, fakeJpeg(10)));
    EXPECT_EQ(frames().size(), 1u);
}

TEST_F(ProtoTest, ImageChunksShorterThanTheirFixedFieldsCopyNothing)
{
    feed(chunk(1, fakeJpeg(10)));
    const int before = proto_state().frame_pos;
    for (int len = 0; len < 7; ++len) {
        Bytes p = {0xAA, 0xBB, CID_IMAGE_DATA, static_cast<uint8_t>(len), 0x00};
        for (int i = 0; i < len; ++i)
            p.push_back(0x02);  // would be a new frame id if it were read
        EXPECT_EQ(traceOf({p}), "image chunk length=" + std::to_string(len) + " too short, dropped\n");
        EXPECT_EQ(proto_state().frame_pos, before) << len;
        EXPECT_EQ(proto_state().last_frame_id, 1) << len;
    }
    // A chunk of exactly 7 (no JPEG bytes) is well-formed: it starts frame 2 and delivers frame 1.
    feed(chunk(2, {}));
    EXPECT_EQ(frames().size(), 1u);
    EXPECT_EQ(proto_state().frame_pos, 0);
}

// ---- Replies and their trace --------------------------------------------------------------------

vs_devinfo_t sampleInfo()
{
    vs_devinfo_t d{};
    d.version = 3;
    std::memcpy(d.fw_info.vendor, "ACME", 4);
    std::memcpy(d.fw_info.product, "0123456789abcdefXYZ", 16);  // 16 bytes, no zero
    std::memcpy(d.fw_info.version, "v2.1", 4);
    d.cam_info.cam_num = 3;
    d.cam_info.cam_cur = 1;
    d.cam_info.res_cur = 720;
    d.cam_info.res_list[0] = 480;
    d.cam_info.res_list[1] = 720;
    d.cam_info.res_list[2] = 1080;
    d.cam_info.res_list[3] = 9999;  // beyond cam_num: not printed
    d.capacity = 123456;
    return d;
}

TEST_F(ProtoTest, InfoReplyTakesTheRecordAndPrintsTheTrace)
{
    const Bytes reply = StreamGenerator::devInfoReply(sampleInfo(), 98);
    const std::string trace = traceOf({reply});
    EXPECT_EQ(trace,
              "CID_GET_ALLINFO\n"
              "pro->length=98\n"
              "vs_devinfo_t=98\n"
              "devinfoflag=2\n"
              "devinfo.fw_info.vendor=ACME\n"
              "devinfo.fw_info.product=0123456789abcdef\n"
              "devinfo.fw_info.version=v2.1\n"
              "devinfo.cam_info.cam_num=3\n"
              "devinfo.cam_info.cam_cur=1\n"
              "devinfo.cam_info.res_cur=720\n"
              "devinfo.cam_info.res_list[0]=480\n"
              "devinfo.cam_info.res_list[1]=720\n"
              "devinfo.cam_info.res_list[2]=1080\n"
              "devinfo.capacity=123456\n"
              "devinfo.version=3\n"
              "backbuflen=104\n");
    const vs_proto_state_t s = proto_state();
    EXPECT_EQ(s.devinfoflag, 2);
    EXPECT_EQ(std::memcmp(&s.devinfo, reply.data() + 6, 98), 0);
    EXPECT_EQ(s.backbuflen, 104);
    EXPECT_EQ(Bytes(s.backbuf, s.backbuf + 104), reply);
}

TEST_F(ProtoTest, InfoReplyOfLength97PrintsButDoesNotTakeTheRecord)
{
    const Bytes reply = StreamGenerator::devInfoReply(sampleInfo(), 97);
    const std::string trace = traceOf({reply});
    EXPECT_EQ(trace,
              "CID_GET_ALLINFO\n"
              "pro->length=97\n"
              "vs_devinfo_t=98\n"
              "devinfo.fw_info.vendor=\n"
              "devinfo.fw_info.product=\n"
              "devinfo.fw_info.version=\n"
              "devinfo.cam_info.cam_num=0\n"
              "devinfo.cam_info.cam_cur=0\n"
              "devinfo.cam_info.res_cur=0\n"
              "devinfo.capacity=0\n"
              "devinfo.version=0\n"
              "backbuflen=103\n");
    EXPECT_EQ(proto_state().devinfoflag, 0);

    // An earlier record stays and is printed again.
    traceOf({StreamGenerator::devInfoReply(sampleInfo(), 98)});
    const std::string again = traceOf({reply});
    EXPECT_NE(again.find("devinfo.fw_info.vendor=ACME\n"), std::string::npos);
    EXPECT_EQ(again.find("devinfoflag="), std::string::npos);
}

TEST_F(ProtoTest, CamNumAboveEightPrintsEightResolutions)
{
    vs_devinfo_t d = sampleInfo();
    d.cam_info.cam_num = 200;
    const std::string trace = traceOf({StreamGenerator::devInfoReply(d, 98)});
    EXPECT_EQ(countOf(trace, "devinfo.cam_info.res_list["), 8);
    EXPECT_NE(trace.find("devinfo.cam_info.res_list[7]=0\n"), std::string::npos);
    EXPECT_NE(trace.find("devinfo.cam_info.cam_num=200\n"), std::string::npos);
}

TEST_F(ProtoTest, OpenStreamReplyIsStoredAsTheLastReply)
{
    const Bytes reply = StreamGenerator::openStreamReply();
    EXPECT_EQ(traceOf({reply}), "CID_OPEN_STREAM\nbackbuflen=7\n");
    EXPECT_EQ(proto_state().backbuflen, 7);
    EXPECT_EQ(Bytes(proto_state().backbuf, proto_state().backbuf + 7), reply);
}

TEST_F(ProtoTest, SwitchCameraTakesCameraAndResolution)
{
    const Bytes p = StreamGenerator::switchCamera(2, 0x0301, /*magicAB=*/false);
    EXPECT_EQ(traceOf({p}),
              "CID_SWITCH_CAMERA\n"
              "pro_rt->length=3\n"
              "cam_num=2,cam_res=1\n"
              "cam_num=2,cam_res=769\n"
              "backbuflen=9\n");
    EXPECT_EQ(proto_state().devinfo.cam_info.cam_cur, 2);
    EXPECT_EQ(proto_state().devinfo.cam_info.res_cur, 0x0301);
    EXPECT_EQ(proto_state().devinfoflag, 0);
}

TEST_F(ProtoTest, SwitchCameraWithoutBodyReadsNothingBeyondThePacket)
{
    // length 0: the packet is 6 bytes and ends the read; the missing body reads as zeros.
    const Bytes p = {0xAA, 0xBB, CID_SWITCH_CAMERA, 0x00, 0x00, 0x00};
    EXPECT_EQ(traceOf({p}),
              "CID_SWITCH_CAMERA\npro_rt->length=0\ncam_num=0,cam_res=0\ncam_num=0,cam_res=0\nbackbuflen=6\n");
}

TEST_F(ProtoTest, OtherCodesAreIgnoredAfterFraming)
{
    const Bytes p = StreamGenerator::packet(0x33, Bytes(20, 0x44));
    EXPECT_EQ(traceOf({p, chunk(1, fakeJpeg(4))}), "");
    EXPECT_EQ(proto_state().backbuflen, 0);
    EXPECT_EQ(proto_state().frame_pos, 8);
}

TEST_F(ProtoTest, ANonImagePacketLongerThanTheReplyBufferIsStoredCut)
{
    Bytes body(1500);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(i * 13);
    const Bytes p = StreamGenerator::packet(CID_OPEN_STREAM, body);  // 1506 bytes
    EXPECT_EQ(traceOf({p}), "CID_OPEN_STREAM\nreply of 1506 bytes kept as 1024\nbackbuflen=1024\n");
    EXPECT_EQ(proto_state().backbuflen, VS_REPLY_BUF_LEN);
    EXPECT_EQ(Bytes(proto_state().backbuf, proto_state().backbuf + 1024), slice(p, 0, 1024));

    // An info reply of 2042 bytes likewise.
    vs_devinfo_t d = sampleInfo();
    const Bytes big = StreamGenerator::devInfoReply(d, 2042);
    const std::string trace = traceOf({big});
    EXPECT_NE(trace.find("pro->length=2042\n"), std::string::npos);
    EXPECT_NE(trace.find("backbuflen=1024\n"), std::string::npos);
    EXPECT_EQ(proto_state().devinfoflag, 2);
}

// ---- Cut reads and resynchronisation -------------------------------------------------------------

TEST_F(ProtoTest, AReadEndingAfterOneHeaderByteKeepsItForTheNextRead)
{
    const Bytes f1 = chunk(1, fakeJpeg(30)), f2 = chunk(2, fakeJpeg(10)), f3 = chunk(3, {});
    const Bytes all = concat({f1, f2, f3});
    // The first read ends right after the first byte (AA) of f2's header.
    feed(slice(all, 0, f1.size() + 1));
    EXPECT_EQ(proto_state().carry_len, 1);
    EXPECT_EQ(proto_state().carry[0], 0xAA);
    EXPECT_TRUE(frames().empty());
    feed(slice(all, f1.size() + 1, all.size()));
    ASSERT_EQ(frames().size(), 2u);
    EXPECT_EQ(frames()[0].data, fakeJpeg(30));
    EXPECT_EQ(frames()[1].data, fakeJpeg(10));
    EXPECT_EQ(proto_state().carry_len, 0);
    EXPECT_EQ(proto_state().skipped, 0);
}

TEST_F(ProtoTest, APacketOverThreeReadsIsDispatchedOnceWhenItsLastByteArrives)
{
    const Bytes p = StreamGenerator::devInfoReply(sampleInfo(), 98);  // 104 bytes
    const Bytes tail = chunk(1, fakeJpeg(3));
    EXPECT_EQ(traceOf({slice(p, 0, 3)}), "");
    EXPECT_EQ(traceOf({slice(p, 3, 60)}), "");
    EXPECT_EQ(proto_state().carry_len, 60);
    // The last read holds the end of the packet and more: dispatched now, exactly once.
    const std::string trace = traceOf({concat({slice(p, 60, 104), tail})});
    EXPECT_EQ(countOf(trace, "CID_GET_ALLINFO\n"), 1);
    EXPECT_EQ(proto_state().devinfoflag, 2);
    EXPECT_EQ(proto_state().carry_len, 0);
    EXPECT_EQ(proto_state().frame_pos, 7);
}

TEST_F(ProtoTest, APacketCompletedExactlyByTheEndOfAReadIsDispatchedAtTheNextRead)
{
    const Bytes p = StreamGenerator::openStreamReply();  // 7 bytes
    EXPECT_EQ(traceOf({slice(p, 0, 3)}), "");
    EXPECT_EQ(traceOf({slice(p, 3, 7)}), "");  // completed, but held
    EXPECT_EQ(proto_state().carry_len, 7);
    EXPECT_EQ(traceOf({chunk(1, fakeJpeg(2))}), "CID_OPEN_STREAM\nbackbuflen=7\n");
    EXPECT_EQ(proto_state().frame_pos, 6);
}

TEST_F(ProtoTest, GarbageBetweenPacketsIsDroppedByteByByte)
{
    const Bytes garbage = {0x00, 0x11, 0x22, 0xAA, 0x10, 0xBB, 0x33, 0xFF, 0xD8};
    const Bytes j1 = fakeJpeg(50, 1), j2 = fakeJpeg(60, 2), j3 = fakeJpeg(70, 3);
    feedAll({concat({garbage, chunk(1, j1), garbage, chunk(2, j2), garbage, chunk(3, j3), garbage, chunk(4, {})})});
    ASSERT_EQ(frames().size(), 3u);
    EXPECT_EQ(frames()[0].data, j1);
    EXPECT_EQ(frames()[1].data, j2);
    EXPECT_EQ(frames()[2].data, j3);
    EXPECT_EQ(proto_state().skipped, 4 * static_cast<long long>(garbage.size()));
}

TEST_F(ProtoTest, GarbageEndingInHalfAMagicMakesAFalseHeaderAndLosesThePacket)
{
    // ... BB then AA BB 0B 03 00 ...: the pair BB AA is taken for a header with code BB and a length of
    // 0x030B, which swallows the real packet.
    const Bytes lost = StreamGenerator::switchCamera(5, 5);
    const Bytes later = StreamGenerator::switchCamera(6, 6);
    const Bytes padding(800, 0x00);
    const std::string trace = traceOf({concat({{0x11, 0xBB}, lost, padding, later})});
    EXPECT_EQ(trace.find("cam_num=5"), std::string::npos);
    EXPECT_NE(trace.find("cam_num=6,cam_res=6\n"), std::string::npos);
    EXPECT_EQ(proto_state().devinfo.cam_info.cam_cur, 6);

    // Without the half magic the same packet is found.
    camtest::freshParser();
    EXPECT_NE(traceOf({concat({{0x11, 0x12}, lost})}).find("cam_num=5,cam_res=5\n"), std::string::npos);
}

TEST_F(ProtoTest, ALoneAaAtAReadEndFollowedByAaBbLosesThatPacket)
{
    const Bytes j1 = fakeJpeg(10, 1), j2 = fakeJpeg(10, 2), j3 = fakeJpeg(10, 3);
    const Bytes p2 = chunk(2, j2), p3 = chunk(3, j3), p4 = chunk(4, {});
    feed(concat({chunk(1, j1), {0xAA}}));
    EXPECT_EQ(proto_state().carry_len, 1);
    feed(concat({p2, p3, p4}));
    // The held AA and the new read's AA are dropped together; p2 is lost, p3 is found.
    ASSERT_EQ(frames().size(), 2u);
    EXPECT_EQ(frames()[0].data, j1);
    EXPECT_EQ(frames()[1].data, j3);
}

TEST_F(ProtoTest, AHeaderAnnouncingMoreThan2048BytesIsNotAPacket)
{
    const Bytes bogus = {0xAA, 0xBB, CID_IMAGE_DATA, 0xFF, 0xFF, 0x01, 0x02};
    const Bytes j = fakeJpeg(10);
    feed(concat({chunk(1, j), bogus, chunk(2, {})}));
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].data, j);
    EXPECT_EQ(proto_state().skipped, static_cast<long long>(bogus.size()));

    // Also when the bogus header is held across reads.
    camtest::freshParser();
    feed(concat({chunk(1, j), slice(bogus, 0, 3)}));
    feed(concat({slice(bogus, 3, bogus.size()), chunk(2, {})}));
    ASSERT_EQ(frames().size(), 1u);
}

TEST_F(ProtoTest, BothMagicOrdersAndBothImageCodesWork)
{
    const Bytes j1 = fakeJpeg(40, 1), j2 = fakeJpeg(40, 2);
    const Bytes a = StreamGenerator::imageChunk(CID_IMAGE_DATA, 1, 0, 0, j1.data(), 40, true);
    const Bytes b = StreamGenerator::imageChunk(CID_IMAGE_DATA_B, 1, 0, 0, j1.data() + 40, 4, false);
    const Bytes c = StreamGenerator::imageChunk(CID_IMAGE_DATA_B, 2, 0, 0, j2.data(), 44, false);
    const Bytes d = StreamGenerator::imageChunk(CID_IMAGE_DATA, 3, 0, 0, nullptr, 0, true);
    feed(concat({a, b, c, d}));
    ASSERT_EQ(frames().size(), 2u);
    EXPECT_EQ(frames()[0].data, j1);
    EXPECT_EQ(frames()[1].data, j2);
}

TEST_F(ProtoTest, RepliesBetweenChunksOfAFrameDoNotDisturbIt)
{
    const Bytes j = fakeJpeg(300);
    const std::string trace = traceOf({concat({chunk(1, slice(j, 0, 100)), StreamGenerator::openStreamReply(),
                                                chunk(1, slice(j, 100, 200)), StreamGenerator::switchCamera(1, 2),
                                                chunk(1, slice(j, 200, 304)), chunk(2, {})})});
    EXPECT_EQ(countOf(trace, "CID_OPEN_STREAM\n"), 1);
    EXPECT_EQ(countOf(trace, "CID_SWITCH_CAMERA\n"), 1);
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].data, j);
}

// ---- Properties over generated streams ----------------------------------------------------------

struct StreamCase {
    const char *name;
    vcam::StreamOptions options;
};

std::vector<StreamCase> streamCases()
{
    std::vector<StreamCase> cases;
    vcam::StreamOptions o;
    o.width = 160;
    o.height = 120;
    cases.push_back({"plain", o});
    vcam::StreamOptions r = o;
    r.randomChunkSizes = true;
    r.chunkPayload = 2036;
    r.chunkCid = vcam::StreamOptions::ChunkCid::Alternate;
    r.seed = 7;
    cases.push_back({"random chunks", r});
    vcam::StreamOptions z = o;
    z.trailingZeros = 300;
    z.magicAB = false;
    z.chunkPayload = 500;
    z.firstFrameId = 250;  // ids wrap through 255 -> 0
    cases.push_back({"zeros, BB AA, id wrap", z});
    vcam::StreamOptions t = o;
    t.chunkPayload = 1;
    cases.push_back({"one byte per chunk", t});
    return cases;
}

TEST(ProtoProperty, FramesArriveIntactWhateverTheReadSplits)
{
    for (const StreamCase &c : streamCases()) {
        StreamGenerator gen(c.options);
        std::vector<vcam::Frame> generated;
        const int frameCount = 8;
        const Bytes stream = gen.nextFrames(frameCount, &generated);
        std::mt19937 rng(12345);
        const int splits = 60;
        for (int round = 0; round < splits; ++round) {
            camtest::freshParser();
            // Every size from tiny reads to the stream thread's 4092.
            const int maxRead = round % 3 == 0 ? 16 : (round % 3 == 1 ? 700 : 4092);
            feedAll(StreamGenerator::randomReads(stream, rng, maxRead));
            const auto &got = FrameSink::frames();
            // The last frame is held until a chunk of another frame arrives.
            ASSERT_EQ(got.size(), static_cast<size_t>(frameCount - 1)) << c.name << " round " << round;
            for (int i = 0; i < frameCount - 1; ++i) {
                ASSERT_EQ(got[i].data, generated[i].jpeg) << c.name << " frame " << i;
                EXPECT_EQ(got[i].value, generated[i].number);
            }
            EXPECT_EQ(proto_state().skipped, 0) << c.name;
        }
    }
    proto_reset_for_testing();
}

TEST(ProtoProperty, GarbageWithoutMagicBytesBetweenPacketsNeverLosesAFrame)
{
    vcam::StreamOptions o;
    o.width = 160;
    o.height = 120;
    o.chunkPayload = 900;
    StreamGenerator gen(o);
    std::vector<vcam::Frame> generated;
    const int frameCount = 6;
    gen.nextFrames(frameCount, &generated);
    std::mt19937 rng(99);
    for (int round = 0; round < 40; ++round) {
        Bytes stream;
        for (const vcam::Frame &f : generated)
            for (const Bytes &p : f.packets) {
                const int n = std::uniform_int_distribution<int>(0, 5)(rng);
                for (int i = 0; i < n; ++i) {
                    uint8_t g;
                    do
                        g = static_cast<uint8_t>(rng());
                    while (g == 0xAA || g == 0xBB);
                    stream.push_back(g);
                }
                stream.insert(stream.end(), p.begin(), p.end());
            }
        camtest::freshParser();
        feedAll(StreamGenerator::randomReads(stream, rng, 4092));
        const auto &got = FrameSink::frames();
        ASSERT_EQ(got.size(), static_cast<size_t>(frameCount - 1)) << round;
        for (int i = 0; i < frameCount - 1; ++i)
            ASSERT_EQ(got[i].data, generated[i].jpeg) << round << " frame " << i;
    }
    proto_reset_for_testing();
}

TEST(ProtoProperty, ArbitraryBytesStayInsideTheBuffers)
{
    // A quick stand-in for the fuzz target, under the sanitizers of the test build: bytes biased
    // towards magics and valid codes, in random reads.
    std::mt19937 rng(2024);
    const uint8_t interesting[] = {0xAA, 0xBB, 0x05, 0x06, 0x07, 0x0A, 0x0B, 0xFF, 0xD8, 0xD9, 0x00, 0x62, 0x07};
    for (int round = 0; round < 30; ++round) {
        camtest::freshParser();
        Bytes stream(20000);
        for (uint8_t &b : stream)
            b = (rng() % 3) ? interesting[rng() % sizeof interesting] : static_cast<uint8_t>(rng());
        testing::internal::CaptureStdout();
        feedAll(StreamGenerator::randomReads(stream, rng, 4092));
        testing::internal::GetCapturedStdout();
        const vs_proto_state_t s = proto_state();
        EXPECT_GE(s.carry_len, 0);
        EXPECT_LT(s.carry_len, VS_PACKET_MAX);
        EXPECT_LE(s.frame_pos, VS_FRAME_BUF_LEN);
        EXPECT_LE(s.backbuflen, VS_REPLY_BUF_LEN);
    }
    proto_reset_for_testing();
}

}  // namespace
