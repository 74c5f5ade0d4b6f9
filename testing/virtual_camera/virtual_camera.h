#pragma once
// An emulated camera behind the real libusb, built on umockdev.
//
//   vcam::VirtualUsbBus bus;                 // first, before any libusb_init in the process
//   vcam::VirtualCamera cam(bus, config);    // one or more cameras on that bus
//   cam.plug();                              // appears to libusb (and to hotplug listeners)
//   ... libusb_init / open / transfers / libusb_exit ...
//   cam.unplug();                            // optional; the destructor unplugs too
//   // destroy cameras, then the bus, only after every libusb context has been exited.
//
// A test binary that uses it must have the umockdev preload library loaded; linking the target
// `virtual_camera` arranges that (see CMakeLists.txt), so the binary runs without a wrapper.
//
// The camera has a device descriptor with the configured vendor and product ids and one configuration
// with two vendor interfaces (class 0xFF, subclass 0xF0): interface 0 with bulk IN 0x81 and OUT 0x01,
// interface 1 with an idle alternate setting 0 (no endpoints) and the streaming alternate setting 1
// with bulk IN 0x82 and OUT 0x02. Its behaviour:
//   - every read on 0x81 answers the handshake (FF 55 02 00 EE 10), or a wrong reply, or nothing;
//   - writes on 0x01 are recorded (the handshake command);
//   - 5-byte commands on 0x02: CID_GET_ALLINFO is answered with the configured vs_devinfo_t, and
//     CID_OPEN_STREAM with a short reply; either one, received at alternate setting 1, starts the stream;
//   - the stream on 0x82 is a series of JPEG frames cut into image chunks (see stream_generator.h),
//     generated as fast as they are read (fps 0) or at the configured rate; a read returns as many
//     bytes as asked for, or fewer when the transfer-size policy says so;
//   - selecting an alternate setting of interface 1, or a device reset, stops the stream.
// Faults on request: stalls, silence (reads time out), failing clear-halt and set-interface requests,
// garbage bytes, CID_SWITCH_CAMERA packets, the photo button, unplug and replug.
//
// The emulation runs on umockdev's worker thread; the methods of VirtualCamera may be called from any
// thread. Pending reads do not make libusb spin: the device node is a FIFO that is writable (POLLOUT,
// what libusb waits for) only while a finished transfer is waiting to be reaped.

#include "stream_generator.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace vcam {

// The test bed: one per process at a time. Create it before the first libusb_init of the process and
// destroy it only after the last libusb_exit.
class VirtualUsbBus {
public:
    VirtualUsbBus();
    ~VirtualUsbBus();
    VirtualUsbBus(const VirtualUsbBus &) = delete;
    VirtualUsbBus &operator=(const VirtualUsbBus &) = delete;

    UMockdevTestbed *testbed() const { return testbed_; }
    std::string rootDir() const;
    int busNumber() const { return 1; }

    int allocateDeviceNumber();  // 2, 3, ... (a replugged device gets a new address, as on hardware)
    int allocatePort();          // 1, 2, ...

private:
    UMockdevTestbed *testbed_ = nullptr;
    int nextDevnum_ = 2;
    int nextPort_ = 1;
};

enum class Layout {
    Standard,             // interface 0 (IN 0x81, OUT 0x01), interface 1 alt 0 (none) and alt 1 (IN 0x82, OUT 0x02)
    OutBeforeIn,          // the same, each vendor setting listing its OUT endpoint first
    SingleVendorSetting,  // interface 0 only
};

enum class Handshake {
    Reply,       // FF 55 02 00 EE 10
    WrongReply,  // FF 55 02 01 EE 10
    Silent,      // nothing: the read times out
};

struct CameraConfig {
    uint16_t vendorId = 0x2CE3;
    uint16_t productId = 0x3301;
    Layout layout = Layout::Standard;
    Handshake handshake = Handshake::Reply;
    StreamOptions stream;              // picture size, chunking, ...
    double fps = 0;                    // 0: frames as fast as they are read
    vs_devinfo_t devInfo = StreamGenerator::defaultDevInfo();
    int devInfoLength = 98;            // `length` of the CID_GET_ALLINFO reply (the body is zero-padded)
    int maxTransfer = 0;               // most bytes one stream read returns (0: as many as asked for)
    bool randomTransfers = false;      // stream reads return 1 to that many bytes at random
    uint32_t seed = 1;                 // for random transfer sizes
    std::string manufacturer = "Viscana Test";
    std::string product = "Virtual Camera";
    std::string serial;                // empty: "VCAM" and the port number
};

// What the camera has seen and done; a snapshot.
struct CameraStats {
    bool plugged = false;
    int devnum = 0;
    int opens = 0;                     // clients that connected (libusb_open calls)
    int openClients = 0;               // of those, still connected
    int resets = 0;
    int altSetting[2] = {0, 0};        // per interface
    bool claimed[2] = {false, false};
    int claims = 0;
    int releases = 0;
    std::vector<uint8_t> clearedHalts; // endpoints, in order
    std::vector<Bytes> handshakeWrites;  // writes on 0x01
    std::vector<uint8_t> commands;     // command codes received on 0x02, in order
    int handshakeReads = 0;            // reads on 0x81 answered
    bool streaming = false;
    uint32_t framesQueued = 0;         // frames put into the stream
    uint32_t framesDropped = 0;        // frames not queued because the reader fell behind
    uint64_t streamBytesSent = 0;
    int streamReads = 0;               // completed reads on 0x82 that carried data
    int pendingReads = 0;              // reads waiting for data
    int stalledTransfers = 0;
};

class VirtualCamera {
public:
    explicit VirtualCamera(VirtualUsbBus &bus, CameraConfig config = {});
    ~VirtualCamera();
    VirtualCamera(const VirtualCamera &) = delete;
    VirtualCamera &operator=(const VirtualCamera &) = delete;

    // Presence. plug() adds the device (a new device address each time); unplug() makes every pending
    // and later transfer fail as with a pulled cable, then removes the device.
    void plug();
    void unplug();
    bool plugged() const;
    int port() const { return port_; }
    int deviceAddress() const;  // 0 while unplugged
    const CameraConfig &config() const;

    // Behaviour; may change at any time.
    void setHandshake(Handshake mode);
    void setFps(double fps);
    void setStreamOptions(const StreamOptions &options);  // applies from the next frame
    void setDevInfo(const vs_devinfo_t &info, int length = 98);
    void setTransferPolicy(int maxTransfer, bool random);
    void setSilent(bool silent);                 // the stream endpoint sends nothing while set
    void stallEndpoint(uint8_t endpoint);        // transfers on it fail with a stall until CLEAR_HALT
    void failClearHalt(uint8_t endpoint, bool fail = true);
    void failSetInterface(int interfaceNumber, bool fail = true);
    void pressPhotoButton(int frames = 1);       // the next `frames` frames carry the photo request
    void injectBytes(const Bytes &bytes);        // into the stream at the next packet boundary
    void sendSwitchCamera(uint8_t cam, uint16_t res);
    void startStream();                          // as if a command had started it (interface 1 at alt 1)

    CameraStats stats() const;
    // Waits until `pred` holds for a snapshot, or the time-out passes; returns whether it held.
    bool waitFor(const std::function<bool(const CameraStats &)> &pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    struct Model;  // the device model, shared with umockdev's worker thread

private:
    VirtualUsbBus &bus_;
    int port_;
    std::shared_ptr<Model> model_;
};

// The handshake the camera expects and answers.
extern const uint8_t kHandshakeCommand[6];  // FF 55 FF 55 EE 10
extern const uint8_t kHandshakeReply[6];    // FF 55 02 00 EE 10

}  // namespace vcam
