#pragma once
// The virtual camera as a transport-free USB device: what the camera answers on each endpoint, for
// transports that put it on a bus of their own (a usbredir server, the stand-in libusb of the Windows
// tests). The umockdev camera (virtual_camera.h) is the same device behind the real libusb on Linux.
//
// Descriptors: vendor and product id as configured; one configuration with two vendor interfaces
// (class 0xFF, subclass 0xF0): interface 0 with bulk IN 0x81 and OUT 0x01, interface 1 with the idle
// alternate setting 0 (no endpoints) and the streaming alternate setting 1 (bulk IN 0x82, OUT 0x02).
// Behaviour:
//   - every read on 0x81 answers the handshake FF 55 02 00 EE 10; writes on 0x01 are recorded;
//   - 5-byte commands on 0x02: CID_GET_ALLINFO is answered with the device information record,
//     CID_OPEN_STREAM with a short reply; either one, received at alternate setting 1, starts the stream;
//   - the stream on 0x82 is a series of JPEG frames cut into image chunks (stream_generator.h); a read
//     returns as many queued bytes as asked for, and is Pending while nothing is queued. At a frame rate
//     above 0 a frame is made when it is due, and wake() is called at that moment;
//   - selecting an alternate setting of interface 1, or a reset, stops the stream;
//   - after unplug() every call answers Gone until plug(), which brings the device back idle.

#include "stream_generator.h"
#include "usb_device_model.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vcam {

struct CameraModelConfig {
    uint16_t vendorId = 0x2CE3;
    uint16_t productId = 0x3301;
    StreamOptions stream;            // picture size, scene, chunking
    double fps = 25;                 // 0: frames as fast as they are read
    vs_devinfo_t devInfo = StreamGenerator::defaultDevInfo();
    std::string manufacturer = "Viscana Test";
    std::string product = "Virtual Camera";
    std::string serial = "VCAM1";
};

// What the camera has seen and done; a snapshot.
struct CameraModelStats {
    bool plugged = true;
    bool streaming = false;
    int altSetting = 0;               // of interface 1
    int resets = 0;
    int handshakeReads = 0;
    std::vector<usbdev::Bytes> handshakeWrites;  // writes on 0x01
    std::vector<uint8_t> commands;    // command codes received on 0x02, in order
    uint32_t framesQueued = 0;
    uint64_t streamBytesSent = 0;
};

class CameraDeviceModel : public usbdev::UsbDeviceModel {
public:
    explicit CameraDeviceModel(CameraModelConfig config = {});
    ~CameraDeviceModel() override;
    CameraDeviceModel(const CameraDeviceModel &) = delete;
    CameraDeviceModel &operator=(const CameraDeviceModel &) = delete;

    // Picture sizes the camera streams: 640x480 to 1920x1080.
    static bool sizeSupported(int width, int height);

    usbdev::Bytes deviceDescriptor() const override;
    usbdev::Bytes configurationDescriptor() const override;
    usbdev::Bytes stringDescriptor(uint8_t index) const override;
    usbdev::Result control(const usbdev::SetupPacket &setup, usbdev::Bytes &data) override;
    usbdev::Result setInterface(uint8_t interface, uint8_t altSetting) override;
    usbdev::Result clearHalt(uint8_t endpoint) override;
    void reset() override;
    usbdev::Result bulkOut(uint8_t endpoint, const uint8_t *data, size_t length) override;
    usbdev::Result bulkIn(uint8_t endpoint, size_t maxLength, usbdev::Bytes &data) override;

    // Controls for tests; any thread.
    void unplug();                      // every call answers Gone from now on
    void plug();                        // back, idle (alternate setting 0, no stream)
    bool plugged() const;
    void pressPhotoButton(int frames = 1);  // the next `frames` frames carry the photo request
    void pressPhotoButtonAt(uint32_t frameNumber);  // that frame of the stream carries it
    void setFps(double fps);
    CameraModelStats stats() const;

private:
    bool endpointActive(uint8_t endpoint) const;
    void stopStreamLocked();
    void startStreamLocked();
    void handleCommandsLocked(const uint8_t *data, size_t length);
    void queueFrameLocked();
    void armClockLocked(std::chrono::steady_clock::time_point at);
    void clockLoop();

    CameraModelConfig config_;
    mutable std::mutex mutex_;
    std::condition_variable clockCv_;
    CameraModelStats stats_;
    bool present_ = true;
    int alt_ = 0;
    bool streaming_ = false;
    int photoPending_ = 0;
    std::vector<uint32_t> photoAt_;
    uint32_t nextNumber_ = 0;
    std::chrono::steady_clock::time_point nextFrameAt_;
    struct Packet {
        usbdev::Bytes bytes;
        bool reply = false;  // a command's reply (they go out in the order of their commands)
    };
    std::deque<Packet> out_;            // packets to send on 0x82
    size_t outOffset_ = 0;              // bytes of out_.front() already sent
    size_t outBytes_ = 0;
    // The frame clock: wakes the transport when a frame falls due while a read is Pending.
    bool clockArmed_ = false;
    std::chrono::steady_clock::time_point clockAt_;
    bool stopClock_ = false;
    std::thread clock_;
};

}  // namespace vcam
