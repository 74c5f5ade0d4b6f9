// The transport-free camera, driven the way a transport drives it and read through the viewer's own
// stream parser.
#include "camera_device_model.h"

#include "camera_proto.h"
#include "camera_proto_testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <utility>
#include <condition_variable>
#include <mutex>
#include <vector>

using usbdev::Bytes;
using usbdev::Result;
using vcam::CameraDeviceModel;
using vcam::CameraModelConfig;

namespace {

struct Delivered {
    Bytes jpeg;
    bool photo = false;
    uint32_t number = 0;
};

std::vector<Delivered> &delivered()
{
    static std::vector<Delivered> frames;
    return frames;
}

int onFrame(vs_frameinfo_t *info, void *)
{
    delivered().push_back({Bytes(info->data, info->data + info->len), info->haspic != 0, info->value});
    return 0;
}

// A transport that sleeps on the model's wake-up call while a read is Pending.
class Host {
public:
    explicit Host(CameraDeviceModel &model) : model_(model)
    {
        model_.setWakeup([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            ++wakes_;
            cv_.notify_all();
        });
    }

    int wakes() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return wakes_;
    }

    bool waitForWake(int seen, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return wakes_ > seen; });
    }

    void command(uint8_t cid)
    {
        uint8_t cmd[VS_CMD_LEN];
        proto_make_command(cid, cmd);
        ASSERT_EQ(model_.bulkOut(0x02, cmd, sizeof cmd), Result::Ok);
    }

    // Reads 0x82 into the parser until it has delivered `count` frames (waiting out Pending answers).
    Result readFrames(size_t count, size_t readSize = 16384)
    {
        Bytes data;
        while (delivered().size() < count) {
            const int seen = wakes();
            const Result r = model_.bulkIn(0x82, readSize, data);
            if (r == Result::Pending) {
                if (!waitForWake(seen))
                    return Result::Pending;
                continue;
            }
            if (r != Result::Ok)
                return r;
            proto_input(data.data(), static_cast<int>(data.size()));
        }
        return Result::Ok;
    }

private:
    CameraDeviceModel &model_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    int wakes_ = 0;
};

class CameraModelTest : public ::testing::Test {
protected:
    void SetUp() override { freshParser(); }
    void TearDown() override { proto_reset_for_testing(); }
    static void freshParser()
    {
        proto_reset_for_testing();
        delivered().clear();
        const vs_proto_cb_t cb{&onFrame, nullptr};
        testing::internal::CaptureStdout();  // the parser's greeting
        proto_init(&cb);
        testing::internal::GetCapturedStdout();
    }
};

// Width and height from the JPEG's SOF0 segment (0 when there is none).
std::pair<int, int> jpegSize(const Bytes &jpeg)
{
    for (size_t i = 0; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0)
            return {jpeg[i + 7] << 8 | jpeg[i + 8], jpeg[i + 5] << 8 | jpeg[i + 6]};
    return {0, 0};
}

CameraModelConfig config(int width, int height, double fps)
{
    CameraModelConfig c;
    c.stream.width = width;
    c.stream.height = height;
    c.fps = fps;
    return c;
}

// Starts the stream the way the viewer does: interface 1 at alternate setting 1, then both commands.
void startStream(CameraDeviceModel &model, Host &host)
{
    ASSERT_EQ(model.setInterface(1, 1), Result::Ok);
    host.command(CID_GET_ALLINFO);
    host.command(CID_OPEN_STREAM);
}

TEST_F(CameraModelTest, DescriptorsNameTwoVendorInterfacesWithTheirEndpointPairs)
{
    CameraModelConfig c;
    c.vendorId = 0x0329;
    c.productId = 0x1234;
    CameraDeviceModel model(c);
    const Bytes dev = model.deviceDescriptor();
    ASSERT_EQ(dev.size(), 18u);
    EXPECT_EQ(dev[8] | dev[9] << 8, 0x0329);
    EXPECT_EQ(dev[10] | dev[11] << 8, 0x1234);

    // (interface, alternate setting) -> endpoints, in descriptor order.
    const Bytes cfg = model.configurationDescriptor();
    ASSERT_EQ(cfg.size(), static_cast<size_t>(cfg[2] | cfg[3] << 8));
    std::vector<std::vector<int>> settings;
    for (size_t i = 0; i + 1 < cfg.size() && cfg[i] > 0; i += cfg[i]) {
        if (cfg[i + 1] == 0x04) {
            EXPECT_EQ(cfg[i + 5], 0xFF) << "vendor class";
            settings.push_back({cfg[i + 2], cfg[i + 3]});
        } else if (cfg[i + 1] == 0x05) {
            settings.back().push_back(cfg[i + 2]);
        }
    }
    const std::vector<std::vector<int>> expected = {{0, 0, 0x81, 0x01}, {1, 0}, {1, 1, 0x82, 0x02}};
    EXPECT_EQ(settings, expected);
    EXPECT_EQ(model.stringDescriptor(0), (Bytes{4, 3, 0x09, 0x04}));
    EXPECT_EQ(model.stringDescriptor(3), (Bytes{12, 3, 'V', 0, 'C', 0, 'A', 0, 'M', 0, '1', 0}));
    EXPECT_TRUE(model.stringDescriptor(4).empty());
}

TEST_F(CameraModelTest, AnswersTheHandshakeAndTheInformationRequest)
{
    CameraModelConfig c;
    std::strncpy(c.devInfo.fw_info.product, "ModelUnderTest", sizeof c.devInfo.fw_info.product);
    CameraDeviceModel model(c);
    Host host(model);

    const uint8_t hello[6] = {0xFF, 0x55, 0xFF, 0x55, 0xEE, 0x10};
    ASSERT_EQ(model.bulkOut(0x01, hello, sizeof hello), Result::Ok);
    Bytes reply;
    ASSERT_EQ(model.bulkIn(0x81, 512, reply), Result::Ok);
    EXPECT_EQ(reply, (Bytes{0xFF, 0x55, 0x02, 0x00, 0xEE, 0x10}));
    EXPECT_EQ(model.stats().handshakeWrites, std::vector<Bytes>{Bytes(hello, hello + 6)});

    // The streaming endpoints exist only at alternate setting 1.
    EXPECT_EQ(model.bulkIn(0x82, 512, reply), Result::Stall);
    ASSERT_EQ(model.setInterface(1, 1), Result::Ok);
    EXPECT_EQ(model.bulkIn(0x82, 512, reply), Result::Pending) << "nothing asked for yet";
    const int seen = host.wakes();
    host.command(CID_GET_ALLINFO);
    EXPECT_GT(host.wakes(), seen) << "a waiting read learns of the reply";
    ASSERT_EQ(model.bulkIn(0x82, 4096, reply), Result::Ok);
    proto_input(reply.data(), static_cast<int>(reply.size()));
    const vs_proto_state_t st = proto_state();
    EXPECT_NE(st.devinfoflag, 0);
    EXPECT_STREQ(st.devinfo.fw_info.product, "ModelUnderTest");
    EXPECT_EQ(model.stats().commands, std::vector<uint8_t>{CID_GET_ALLINFO});
    EXPECT_TRUE(model.stats().streaming);

    // Replies to commands sent before a read come in the order of the commands, between two packets.
    ASSERT_EQ(model.bulkIn(0x82, 100, reply), Result::Ok);  // part of the first image chunk
    host.command(CID_OPEN_STREAM);
    host.command(CID_GET_ALLINFO);
    host.command(CID_OPEN_STREAM);
    ASSERT_EQ(model.bulkIn(0x82, 1 << 20, reply), Result::Ok);
    std::vector<int> cids;
    for (size_t at = 2012 - 100; at + 5 <= reply.size();) {  // the chunk's remaining 1912 bytes first
        cids.push_back(reply[at + 2]);
        at += static_cast<size_t>(proto_packet_size(reply.data() + at));
    }
    cids.resize(3);
    EXPECT_EQ(cids, (std::vector<int>{CID_OPEN_STREAM, CID_GET_ALLINFO, CID_OPEN_STREAM}));
}

TEST_F(CameraModelTest, StreamsCompleteJpegFramesAtTheConfiguredSize)
{
    struct Case {
        int width, height;
        size_t readSize;
    };
    for (const Case &k : {Case{640, 480, 512}, Case{1280, 720, 16384}, Case{1920, 1080, 65536}}) {
        SCOPED_TRACE(testing::Message() << k.width << "x" << k.height << " reads of " << k.readSize);
        freshParser();
        CameraDeviceModel model(config(k.width, k.height, 0));
        Host host(model);
        startStream(model, host);
        model.pressPhotoButton();
        model.pressPhotoButtonAt(1);
        ASSERT_EQ(host.readFrames(3, k.readSize), Result::Ok);
        for (uint32_t n = 0; n < 3; ++n) {
            const Delivered &f = delivered()[n];
            EXPECT_EQ(f.number, n);
            EXPECT_EQ(f.photo, n < 2) << "the photo button marks the next frame, and the frame asked for";
            EXPECT_EQ(vcam::StreamGenerator::decodeFrameNumber(f.jpeg.data(), static_cast<int>(f.jpeg.size())),
                      std::optional<uint32_t>(n));
            EXPECT_EQ(jpegSize(f.jpeg), std::make_pair(k.width, k.height));
        }
    }
    EXPECT_TRUE(CameraDeviceModel::sizeSupported(640, 480));
    EXPECT_TRUE(CameraDeviceModel::sizeSupported(1920, 1080));
    EXPECT_FALSE(CameraDeviceModel::sizeSupported(320, 240));
    EXPECT_FALSE(CameraDeviceModel::sizeSupported(3840, 2160));
}

TEST_F(CameraModelTest, AtAFrameRateReadsArePendingUntilTheFrameIsDueAndTheHostIsWoken)
{
    constexpr double kFps = 20;
    CameraDeviceModel model(config(640, 480, kFps));
    Host host(model);
    startStream(model, host);
    // The parser hands a frame over when the next one starts: frame 1 has begun.
    ASSERT_EQ(host.readFrames(1), Result::Ok);

    // Once what is queued has been read, reads find nothing until the next frame is due. (A reader
    // that fell behind may first get the frames that are overdue.)
    Bytes data;
    Result r;
    int seen;
    std::chrono::steady_clock::time_point pendingAt;
    do {
        seen = host.wakes();
        pendingAt = std::chrono::steady_clock::now();
        r = model.bulkIn(0x82, 1 << 20, data);
        if (r == Result::Ok)
            proto_input(data.data(), static_cast<int>(data.size()));
    } while (r == Result::Ok);
    ASSERT_EQ(r, Result::Pending);
    ASSERT_TRUE(host.waitForWake(seen)) << "the model wakes the host when the frame is due";

    // Frames made so far: M; the next one was due after pendingAt, and each further one a period later.
    const uint32_t made = model.stats().framesQueued;
    ASSERT_EQ(delivered().size(), made - 1);
    ASSERT_EQ(host.readFrames(made + 2), Result::Ok);  // frames M to M + 2 begun
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - pendingAt).count();
    EXPECT_GE(elapsed, 2 / kFps) << "two frame periods at least";
    EXPECT_EQ(model.stats().framesQueued, made + 3) << "frames are made only when due";
}

TEST_F(CameraModelTest, SelectingASettingOrResettingStopsTheStream)
{
    struct Case {
        const char *name;
        void (*act)(CameraDeviceModel &);
        int altAfter;
    };
    const Case cases[] = {
        {"idle setting", [](CameraDeviceModel &m) { EXPECT_EQ(m.setInterface(1, 0), Result::Ok); }, 0},
        {"streaming setting again", [](CameraDeviceModel &m) { EXPECT_EQ(m.setInterface(1, 1), Result::Ok); }, 1},
        {"reset", [](CameraDeviceModel &m) { m.reset(); }, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CameraDeviceModel model(config(640, 480, 0));
        Host host(model);
        startStream(model, host);
        Bytes data;
        ASSERT_EQ(model.bulkIn(0x82, 100, data), Result::Ok);
        c.act(model);
        EXPECT_FALSE(model.stats().streaming);
        EXPECT_EQ(model.stats().altSetting, c.altAfter);
        EXPECT_EQ(model.bulkIn(0x82, 100, data), c.altAfter == 1 ? Result::Pending : Result::Stall)
            << "nothing left of the old stream";
    }
    CameraDeviceModel model;
    EXPECT_EQ(model.setInterface(1, 2), Result::Stall);
    EXPECT_EQ(model.setInterface(2, 0), Result::Stall);
}

TEST_F(CameraModelTest, UnplugEndsEveryTransferUntilPluggedBackIdle)
{
    CameraDeviceModel model(config(640, 480, 25));
    Host host(model);
    startStream(model, host);
    ASSERT_EQ(host.readFrames(1), Result::Ok);

    const int seen = host.wakes();
    model.unplug();
    EXPECT_GT(host.wakes(), seen) << "pending reads hear of it";
    Bytes data;
    const uint8_t cmd[5] = {0xBB, 0xAA, CID_OPEN_STREAM, 0, 0};
    EXPECT_EQ(model.bulkIn(0x82, 512, data), Result::Gone);
    EXPECT_EQ(model.bulkIn(0x81, 512, data), Result::Gone);
    EXPECT_EQ(model.bulkOut(0x02, cmd, sizeof cmd), Result::Gone);
    EXPECT_EQ(model.setInterface(1, 1), Result::Gone);
    EXPECT_EQ(model.clearHalt(0x82), Result::Gone);
    usbdev::SetupPacket setup;
    EXPECT_EQ(model.control(setup, data), Result::Gone);

    model.plug();
    EXPECT_EQ(model.stats().altSetting, 0);
    EXPECT_EQ(model.bulkIn(0x82, 512, data), Result::Stall) << "back at the idle setting";
    startStream(model, host);
    EXPECT_EQ(host.readFrames(2), Result::Ok);
}

}  // namespace
