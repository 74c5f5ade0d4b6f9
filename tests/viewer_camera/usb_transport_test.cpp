// The USB transport over the real libusb, against the virtual camera (umockdev). The test bed is made
// once per process before any libusb_init; each test starts and ends libusb itself, and ends it before
// its cameras go away.
#include "usb_transport.h"
#include "virtual_camera.h"
#include "test_support.h"

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using camtest::countOf;
using vcam::Bytes;
using vcam::CameraConfig;
using vcam::Layout;
using vcam::VirtualCamera;

namespace {

vcam::VirtualUsbBus *g_bus = nullptr;

class BusEnvironment : public ::testing::Environment {
public:
    void SetUp() override { g_bus = new vcam::VirtualUsbBus; }
    void TearDown() override
    {
        delete g_bus;
        g_bus = nullptr;
    }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new BusEnvironment);

// Captures the Qt log lines (the transport's diagnostics).
class LogCapture {
public:
    LogCapture()
    {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
        previous_ = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(previous_); }

    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> lock(mutex());
        std::vector<std::string> out;
        out.swap(lines());
        return out;
    }
    bool contains(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(mutex());
        for (const std::string &l : lines())
            if (l == line)
                return true;
        return false;
    }
    std::string all()
    {
        std::lock_guard<std::mutex> lock(mutex());
        std::string s;
        for (const std::string &l : lines())
            s += "  [" + l + "]\n";
        return s;
    }

private:
    static std::mutex &mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string> &lines()
    {
        static std::vector<std::string> l;
        return l;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &msg)
    {
        std::lock_guard<std::mutex> lock(mutex());
        lines().push_back(msg.toStdString());
    }
    QtMessageHandler previous_ = nullptr;
};

class TransportTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (dev_.handle.load())
            USB_Close(&dev_);
        if (started_)
            USB_Lib_End(nullptr);
        // The cameras go after libusb has been ended (the fixture's members are destroyed after this).
    }

    VirtualCamera &addCamera(CameraConfig config = {}, bool plug = true)
    {
        cameras_.push_back(std::make_unique<VirtualCamera>(*g_bus, std::move(config)));
        if (plug)
            cameras_.back()->plug();
        return *cameras_.back();
    }

    void start()
    {
        ASSERT_EQ(USB_Lib_Start(), 0);
        started_ = true;
    }

    // Waits until libusb lists `count` devices with vid:pid (hotplug events are processed by libusb's own
    // thread).
    static bool waitForDevices(uint16_t vid, uint16_t pid, int count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            libusb_device **list = nullptr;
            const ssize_t n = USB_Get_Device_List(&list);
            int found = 0;
            for (ssize_t i = 0; i < n; ++i) {
                libusb_device_descriptor d;
                if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == vid && d.idProduct == pid)
                    ++found;
            }
            if (list)
                libusb_free_device_list(list, 1);
            if (found == count)
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Selects the streaming setting and sends the two commands, as the stream thread does.
    void openStream()
    {
        libusb_device_handle *h = dev_.handle.load();
        ASSERT_EQ(libusb_claim_interface(h, 1), 0);
        ASSERT_EQ(libusb_set_interface_alt_setting(h, 1, 1), 0);
        uint8_t cmd[VS_CMD_LEN];
        int n = 0;
        proto_make_command(CID_OPEN_STREAM, cmd);
        ASSERT_EQ(USB_OUT_Set_Write2(&dev_, cmd, VS_CMD_LEN, &n, 1000), 0);
        EXPECT_EQ(n, VS_CMD_LEN);
        proto_make_command(CID_GET_ALLINFO, cmd);
        ASSERT_EQ(USB_OUT_Set_Write2(&dev_, cmd, VS_CMD_LEN, &n, 1000), 0);
    }

    // Reads the stream into the parser until `frames` frames were delivered; returns the reads made.
    int readFrames(size_t frames, int maxReads = 100000)
    {
        uint8_t buf[4092];
        int reads = 0;
        while (camtest::FrameSink::frames().size() < frames && reads < maxReads) {
            std::memset(buf, 0, sizeof buf);
            int n = 0;
            if (USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 3000) != 0)
                break;
            ++reads;
            proto_input(buf, n);
        }
        return reads;
    }

    static void expectFramesInOrder(uint32_t first)
    {
        const auto &frames = camtest::FrameSink::frames();
        for (size_t i = 0; i < frames.size(); ++i) {
            const auto number =
                vcam::StreamGenerator::decodeFrameNumber(frames[i].data.data(), static_cast<int>(frames[i].data.size()));
            ASSERT_TRUE(number.has_value()) << "frame " << i;
            EXPECT_EQ(*number, first + i);
            EXPECT_EQ(frames[i].value, first + i);
        }
    }

    vs_usbdev_t dev_;
    bool started_ = false;
    std::vector<std::unique_ptr<VirtualCamera>> cameras_;
};

// ---- Open ---------------------------------------------------------------------------------------

TEST_F(TransportTest, OpensTheCameraFindsBothPairsAndPreparesTheInterfaces)
{
    VirtualCamera &cam = addCamera();
    start();
    LogCapture log;
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    EXPECT_NE(dev_.handle.load(), nullptr);
    EXPECT_EQ(dev_.dev, libusb_get_device(dev_.handle.load()));
    EXPECT_EQ(dev_.ep_in, 0x81);
    EXPECT_EQ(dev_.ep_out, 0x01);
    EXPECT_EQ(dev_.ep_in2, 0x82);
    EXPECT_EQ(dev_.ep_out2, 0x02);
    const std::vector<std::string> expected = {
        "usb_cfg_desc->interface[m].num_altsetting: 1",
        "bInterfaceClass: 255",
        "bInterfaceSubClass: 240",
        "usb_cfg_desc->interface[m].num_altsetting: 2",
        "bInterfaceClass: 255",
        "bInterfaceSubClass: 240",
        "bInterfaceClass: 255",
        "bInterfaceSubClass: 240",
        "[0x2ce3:0x3301]-[EP_IN:0x81, EP_OUT:0x01] Open success!",
    };
    EXPECT_EQ(log.take(), expected);

    const vcam::CameraStats s = cam.stats();
    EXPECT_EQ(s.opens, 1);
    EXPECT_TRUE(s.claimed[0]);
    EXPECT_TRUE(s.claimed[1]);
    EXPECT_EQ(s.altSetting[0], 0);
    EXPECT_EQ(s.altSetting[1], 0);
    EXPECT_EQ(s.clearedHalts, (std::vector<uint8_t>{0x01, 0x81}));
    EXPECT_EQ(s.resets, 1);
}

TEST_F(TransportTest, EachSupportedVendorIdOpens)
{
    for (uint16_t vid : {0x0329, 0x2CE3, 0x3301}) {
        CameraConfig c;
        c.vendorId = vid;
        c.productId = 0x1234;
        addCamera(c);
    }
    start();
    for (uint16_t vid : {0x0329, 0x2CE3, 0x3301}) {
        LogCapture log;
        vs_usbdev_t dev;
        ASSERT_EQ(USB_cameraWifi_Open(vid, 0x1234, &dev), 0) << std::hex << vid;
        char line[80];
        std::snprintf(line, sizeof line, "[0x%04x:0x1234]-[EP_IN:0x81, EP_OUT:0x01] Open success!", vid);
        EXPECT_TRUE(log.contains(line)) << log.all();
        USB_Close(&dev);
    }
    for (auto &cam : cameras_)
        EXPECT_EQ(cam->stats().opens, 1);
}

TEST_F(TransportTest, AnAbsentCameraFailsAtTheFirstStepAndLeavesNoHandle)
{
    start();
    LogCapture log;
    EXPECT_NE(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    EXPECT_EQ(dev_.handle.load(), nullptr);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"[VID:0x2ce3:PID:0x3301] MSD Open failed!"}));

    // The list walk fails too, on an empty list as on a list without the camera.
    libusb_device **list = nullptr;
    ASSERT_GE(USB_Get_Device_List(&list), 0);
    libusb_device_handle *h = nullptr;
    EXPECT_NE(print_devs_libusb_open(list, &h, 0x2CE3, 0x3301), 0);
    EXPECT_EQ(h, nullptr);
    libusb_free_device_list(list, 1);
    EXPECT_TRUE(log.take().empty());
}

TEST_F(TransportTest, OutBeforeInLosesTheFirstPair)
{
    CameraConfig c;
    c.layout = Layout::OutBeforeIn;
    VirtualCamera &cam = addCamera(c);
    start();
    LogCapture log;
    EXPECT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 255);
    EXPECT_TRUE(log.contains("[0x2ce3:0x3301] get ep_addr failed!")) << log.all();
    EXPECT_EQ(dev_.ep_in, 0);
    EXPECT_EQ(dev_.ep_out, 0);
    EXPECT_EQ(dev_.ep_in2, 0x82);  // the IN endpoints went to the second pair
    // The handle stays open for the caller's USB_Close; nothing was claimed.
    EXPECT_NE(dev_.handle.load(), nullptr);
    EXPECT_FALSE(cam.stats().claimed[0]);
    EXPECT_EQ(cam.stats().resets, 0);
    EXPECT_EQ(USB_Close(&dev_), 0);
    EXPECT_EQ(dev_.handle.load(), nullptr);
    EXPECT_TRUE(cam.waitFor([](const vcam::CameraStats &s) { return s.openClients == 0; }));
}

TEST_F(TransportTest, ASingleVendorSettingOpensWithoutASecondPair)
{
    CameraConfig c;
    c.layout = Layout::SingleVendorSetting;
    addCamera(c);
    start();
    LogCapture log;
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    EXPECT_EQ(dev_.ep_in, 0x81);
    EXPECT_EQ(dev_.ep_out, 0x01);
    EXPECT_EQ(dev_.ep_in2, 0);
    EXPECT_EQ(dev_.ep_out2, 0);
    EXPECT_EQ(log.take().front(), "usb_cfg_desc->interface[m].num_altsetting: 1");
    uint8_t buf[64];
    int n = -1;
    EXPECT_EQ(USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 200), 255);
    EXPECT_EQ(n, 0);
    uint8_t cmd[VS_CMD_LEN];
    proto_make_command(CID_OPEN_STREAM, cmd);
    EXPECT_EQ(USB_OUT_Set_Write2(&dev_, cmd, VS_CMD_LEN, &n, 200), 255);
    // The first pair works.
    EXPECT_EQ(USB_IN_RetureData_Read(&dev_, buf, 6, &n, 1000), 0);
}

TEST_F(TransportTest, AFailingSetInterfaceReleasesBothInterfaces)
{
    VirtualCamera &cam = addCamera();
    cam.failSetInterface(0);
    start();
    LogCapture log;
    const int r = USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_);
    EXPECT_EQ(r, LIBUSB_ERROR_OTHER);
    EXPECT_TRUE(log.contains("[0x2ce3:0x3301] claim intfc failed err with 157")) << log.all();
    EXPECT_FALSE(cam.stats().claimed[0]);
    EXPECT_FALSE(cam.stats().claimed[1]);
    EXPECT_NE(dev_.handle.load(), nullptr);
}

TEST_F(TransportTest, FailingClearHaltsAreReportedPerEndpoint)
{
    VirtualCamera &cam = addCamera();
    cam.failClearHalt(0x01);
    start();
    {
        LogCapture log;
        EXPECT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), LIBUSB_ERROR_OTHER);
        EXPECT_TRUE(log.contains("[0x2ce3:0x3301] ep_out:1 clear halt failed err with -99")) << log.all();
        USB_Close(&dev_);
    }
    cam.failClearHalt(0x01, false);
    cam.failClearHalt(0x81);
    {
        vs_usbdev_t dev;
        LogCapture log;
        EXPECT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev), LIBUSB_ERROR_OTHER);
        EXPECT_TRUE(log.contains("[0x2ce3:0x3301] ep_in:81 clear halt failed err with -99")) << log.all();
        USB_Close(&dev);
    }
}

TEST_F(TransportTest, TheListWalkLogsEachDeviceAndOpensTheMatch)
{
    CameraConfig other;
    other.vendorId = 0x1d6b;
    other.productId = 0x0104;
    VirtualCamera &x = addCamera(other);
    VirtualCamera &cam = addCamera();
    start();
    ASSERT_TRUE(waitForDevices(0x2CE3, 0x3301, 1));
    libusb_device **list = nullptr;
    const ssize_t count = USB_Get_Device_List(&list);
    ASSERT_EQ(count, 2);

    // The log lines expected from the walk, in list order.
    std::vector<std::string> expected;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor d;
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
        char line[96];
        std::snprintf(line, sizeof line, "print_devs_libusb_open %04x:%04x (bus %d, device %d)", d.idVendor, d.idProduct,
                      libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
        expected.push_back(line);
        if (d.idVendor == 0x2CE3)
            break;
        expected.push_back(" path: " + std::to_string(x.port()));
        expected.push_back("\n");
    }

    LogCapture log;
    libusb_device_handle *h = nullptr;
    ASSERT_EQ(print_devs_libusb_open(list, &h, 0x2CE3, 0x3301), 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(log.take(), expected);
    EXPECT_EQ(libusb_get_device_address(libusb_get_device(h)), cam.deviceAddress());
    libusb_free_device_list(list, 1);

    // The open then continues on that handle.
    dev_.handle.store(h);
    EXPECT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    EXPECT_EQ(cam.stats().opens, 1);
    EXPECT_EQ(x.stats().opens, 0);
}

TEST_F(TransportTest, TwoCamerasWithTheSameIdsBothWaysTakeTheFirstInListOrder)
{
    CameraConfig a, b;
    a.serial = "CAM-A";
    b.serial = "CAM-B";
    VirtualCamera &camA = addCamera(a);
    VirtualCamera &camB = addCamera(b);
    start();
    ASSERT_TRUE(waitForDevices(0x2CE3, 0x3301, 2));
    libusb_device **list = nullptr;
    ASSERT_EQ(USB_Get_Device_List(&list), 2);
    const int firstAddress = libusb_get_device_address(list[0]);
    VirtualCamera &first = firstAddress == camA.deviceAddress() ? camA : camB;
    VirtualCamera &second = &first == &camA ? camB : camA;

    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    EXPECT_EQ(libusb_get_device_address(dev_.dev), firstAddress);
    unsigned char serial[32] = {0};
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(dev_.dev, &d), 0);
    ASSERT_GT(libusb_get_string_descriptor_ascii(dev_.handle.load(), d.iSerialNumber, serial, sizeof serial), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(serial)), first.config().serial);
    USB_Close(&dev_);

    libusb_device_handle *h = nullptr;
    ASSERT_EQ(print_devs_libusb_open(list, &h, 0x2CE3, 0x3301), 0);
    EXPECT_EQ(libusb_get_device_address(libusb_get_device(h)), firstAddress);
    libusb_close(h);
    libusb_free_device_list(list, 1);

    EXPECT_EQ(first.stats().opens, 2);
    EXPECT_EQ(second.stats().opens, 0);
}

// ---- Transfers ----------------------------------------------------------------------------------

TEST_F(TransportTest, HandshakeReplyAndCommand)
{
    VirtualCamera &cam = addCamera();
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    uint8_t buf[6] = {0};
    int n = -1;
    ASSERT_EQ(USB_IN_RetureData_Read(&dev_, buf, 6, &n, 1000), 0);
    EXPECT_EQ(n, 6);
    EXPECT_EQ(Bytes(buf, buf + 6), Bytes(vcam::kHandshakeReply, vcam::kHandshakeReply + 6));

    uint8_t cmd[6];
    std::memcpy(cmd, vcam::kHandshakeCommand, 6);
    ASSERT_EQ(USB_OUT_Set_Write(&dev_, cmd, 6, &n, 1000), 0);
    EXPECT_EQ(n, 6);
    ASSERT_EQ(cam.stats().handshakeWrites.size(), 1u);
    EXPECT_EQ(cam.stats().handshakeWrites[0], Bytes(cmd, cmd + 6));

    cam.setHandshake(vcam::Handshake::WrongReply);
    ASSERT_EQ(USB_IN_RetureData_Read(&dev_, buf, 6, &n, 1000), 0);
    EXPECT_EQ(buf[3], 0x01);
}

TEST_F(TransportTest, ASilentCameraTimesOutWith255AndTheHandleKeepsWorking)
{
    CameraConfig c;
    c.handshake = vcam::Handshake::Silent;
    VirtualCamera &cam = addCamera(c);
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    LogCapture log;
    uint8_t buf[6] = {0};
    int n = -1;
    EXPECT_EQ(USB_IN_RetureData_Read(&dev_, buf, 6, &n, 200), 255);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"USB_IN_RetureData_Read Read:-7"}));

    cam.setHandshake(vcam::Handshake::Reply);
    EXPECT_EQ(USB_IN_RetureData_Read(&dev_, buf, 6, &n, 1000), 0);
    EXPECT_EQ(n, 6);
}

TEST_F(TransportTest, AStreamReadTimesOutWhileTheCameraDoesNotStream)
{
    addCamera();
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    libusb_device_handle *h = dev_.handle.load();
    ASSERT_EQ(libusb_claim_interface(h, 1), 0);
    ASSERT_EQ(libusb_set_interface_alt_setting(h, 1, 1), 0);
    LogCapture log;
    uint8_t buf[4092];
    int n = -1;
    EXPECT_EQ(USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 150), 255);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"USB_IN_RetureData_Read2 Read:-7"}));
    // A command starts the stream; the next read gets data.
    uint8_t cmd[VS_CMD_LEN];
    proto_make_command(CID_OPEN_STREAM, cmd);
    ASSERT_EQ(USB_OUT_Set_Write2(&dev_, cmd, VS_CMD_LEN, &n, 1000), 0);
    EXPECT_EQ(USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 1000), 0);
    EXPECT_EQ(n, 4092);
}

TEST_F(TransportTest, AShortTransferIsASuccessWithItsCount)
{
    CameraConfig c;
    c.maxTransfer = 100;
    addCamera(c);
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    openStream();
    uint8_t buf[4092];
    int n = -1;
    EXPECT_EQ(USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 1000), 0);
    EXPECT_EQ(n, 100);
    // A 4-byte read of the 6-byte handshake overflows: a failure.
    EXPECT_EQ(USB_IN_RetureData_Read(&dev_, buf, 4, &n, 1000), 255);
}

TEST_F(TransportTest, StreamsFramesIntactThroughTheRealLibusb)
{
    VirtualCamera &cam = addCamera();
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    camtest::freshParser();
    openStream();
    testing::internal::CaptureStdout();
    readFrames(12);
    const std::string trace = testing::internal::GetCapturedStdout();
    ASSERT_EQ(camtest::FrameSink::frames().size(), 12u);
    expectFramesInOrder(0);
    EXPECT_EQ(countOf(trace, "CID_OPEN_STREAM\n"), 1);
    EXPECT_EQ(countOf(trace, "CID_GET_ALLINFO\n"), 1);
    EXPECT_NE(trace.find("devinfo.fw_info.product=VirtualCamera\n"), std::string::npos);
    EXPECT_EQ(proto_state().devinfoflag, 2);
    EXPECT_EQ(cam.stats().commands, (std::vector<uint8_t>{CID_OPEN_STREAM, CID_GET_ALLINFO}));
    EXPECT_EQ(proto_state().skipped, 0);
    proto_reset_for_testing();
}

TEST_F(TransportTest, FramesSurviveRandomTransferSizesChunkSizesGarbageAndSwitchPackets)
{
    CameraConfig c;
    c.randomTransfers = true;
    c.seed = 77;
    c.stream.width = 240;
    c.stream.height = 160;
    c.stream.randomChunkSizes = true;
    c.stream.chunkCid = vcam::StreamOptions::ChunkCid::Alternate;
    c.stream.magicAB = false;
    VirtualCamera &cam = addCamera(c);
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    camtest::freshParser();
    openStream();
    testing::internal::CaptureStdout();
    readFrames(5);
    cam.injectBytes({0x00, 0x13, 0x37, 0xD8, 0xFF});  // garbage, no magic
    cam.sendSwitchCamera(1, 0x0102);
    readFrames(15);
    const std::string trace = testing::internal::GetCapturedStdout();
    ASSERT_EQ(camtest::FrameSink::frames().size(), 15u);
    expectFramesInOrder(0);
    EXPECT_NE(trace.find("cam_num=1,cam_res=258\n"), std::string::npos);
    EXPECT_EQ(proto_state().skipped, 5);
    proto_reset_for_testing();
}

TEST_F(TransportTest, ThePhotoButtonFlagReachesTheFrame)
{
    VirtualCamera &cam = addCamera();
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    camtest::freshParser();
    openStream();
    testing::internal::CaptureStdout();
    readFrames(3);
    cam.pressPhotoButton();
    readFrames(10);
    testing::internal::GetCapturedStdout();
    int withPhoto = 0;
    for (const auto &f : camtest::FrameSink::frames())
        withPhoto += f.haspic ? 1 : 0;
    EXPECT_EQ(withPhoto, 1);
    proto_reset_for_testing();
}

TEST_F(TransportTest, AStalledEndpointFailsUntilItsHaltIsCleared)
{
    VirtualCamera &cam = addCamera();
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    openStream();
    uint8_t buf[4092];
    int n = -1;
    ASSERT_EQ(USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 1000), 0);
    cam.stallEndpoint(0x82);
    LogCapture log;
    EXPECT_EQ(USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 1000), 255);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"USB_IN_RetureData_Read2 Read:-9"}));
    EXPECT_EQ(libusb_clear_halt(dev_.handle.load(), 0x82), 0);
    EXPECT_EQ(USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 1000), 0);
    EXPECT_EQ(n, 4092);
}

TEST_F(TransportTest, UnplugFailsAWaitingReadAndReplugOpensAgain)
{
    CameraConfig c;
    c.stream.width = 160;
    c.stream.height = 120;
    VirtualCamera &cam = addCamera(c);
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    openStream();
    uint8_t buf[4092];
    int n = -1;
    ASSERT_EQ(USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 1000), 0);

    // A read waiting on a silent camera ends when the cable is pulled.
    cam.setSilent(true);
    LogCapture log;
    int result = 0;
    std::thread reader([&] { result = USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 3000); });
    ASSERT_TRUE(cam.waitFor([](const vcam::CameraStats &s) { return s.pendingReads == 1; }));
    const int oldAddress = cam.deviceAddress();
    cam.unplug();
    reader.join();
    EXPECT_EQ(result, 255);
    // "no device", not the time-out (-7): the read ended with the unplug.
    EXPECT_EQ(log.take(), (std::vector<std::string>{"USB_IN_RetureData_Read2 Read:-4"}));
    // Every later transfer fails the same way.
    EXPECT_EQ(USB_IN_RetureData_Read2(&dev_, buf, sizeof buf, &n, 1000), 255);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"USB_IN_RetureData_Read2 Read:-4"}));
    EXPECT_EQ(USB_Close(&dev_), 0);
    ASSERT_TRUE(waitForDevices(0x2CE3, 0x3301, 0));

    // Plugged in again, under a new address.
    cam.setSilent(false);
    cam.plug();
    EXPECT_NE(cam.deviceAddress(), oldAddress);
    ASSERT_TRUE(waitForDevices(0x2CE3, 0x3301, 1));
    vs_usbdev_t again;
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &again), 0);
    EXPECT_EQ(libusb_get_device_address(again.dev), cam.deviceAddress());
    EXPECT_EQ(USB_IN_RetureData_Read(&again, buf, 6, &n, 1000), 0);
    USB_Close(&again);
}

TEST_F(TransportTest, CloseTwiceClosesOnceAndOnlyLogsTheSecondTime)
{
    VirtualCamera &cam = addCamera();
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    const int releasesBefore = cam.stats().releases;
    LogCapture log;
    EXPECT_EQ(USB_Close(&dev_), 0);
    EXPECT_EQ(dev_.handle.load(), nullptr);
    EXPECT_EQ(cam.stats().releases, releasesBefore + 1);
    EXPECT_TRUE(cam.waitFor([](const vcam::CameraStats &s) { return s.openClients == 0; }));
    EXPECT_EQ(USB_Close(&dev_), 0);
    EXPECT_EQ(cam.stats().releases, releasesBefore + 1);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"USB_Close start", "USB_Close end", "USB_Close start",
                                                    "USB_Close end"}));
}

TEST_F(TransportTest, TransfersOnARecordWithoutAHandleFail)
{
    LogCapture log;
    vs_usbdev_t none;
    uint8_t buf[8];
    int n = -1;
    EXPECT_EQ(USB_OUT_Set_Write(&none, buf, 8, &n, 10), 255);
    EXPECT_EQ(USB_IN_RetureData_Read(&none, buf, 8, &n, 10), 255);
    EXPECT_EQ(USB_OUT_Set_Write2(&none, buf, 8, &n, 10), 255);
    EXPECT_EQ(USB_IN_RetureData_Read2(&none, buf, 8, &n, 10), 255);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"USB_OUT_Set_Write Write:-4", "USB_IN_RetureData_Read Read:-4",
                                                    "USB_OUT_Set_Write2 Write:-4",
                                                    "USB_IN_RetureData_Read2 Read:-4"}));
}

// ---- Paced stream -------------------------------------------------------------------------------

TEST_F(TransportTest, APacedStreamDeliversEveryFrameInOrder)
{
    CameraConfig c;
    c.fps = 100;
    c.stream.width = 160;
    c.stream.height = 120;
    VirtualCamera &cam = addCamera(c);
    start();
    ASSERT_EQ(USB_cameraWifi_Open(0x2CE3, 0x3301, &dev_), 0);
    camtest::freshParser();
    openStream();
    testing::internal::CaptureStdout();
    readFrames(8);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(camtest::FrameSink::frames().size(), 8u);
    expectFramesInOrder(0);
    EXPECT_EQ(cam.stats().framesDropped, 0u);
    proto_reset_for_testing();
}

}  // namespace
