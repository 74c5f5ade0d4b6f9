#include "camera_device_model.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace vcam {

using usbdev::Bytes;
using usbdev::Result;

namespace {

constexpr uint8_t kEpIn1 = 0x81, kEpOut1 = 0x01, kEpIn2 = 0x82, kEpOut2 = 0x02;
const uint8_t kReply[6] = {0xFF, 0x55, 0x02, 0x00, 0xEE, 0x10};

Bytes utf16Descriptor(const std::string &text)
{
    const size_t n = std::min<size_t>(text.size(), 126);
    Bytes d = {static_cast<uint8_t>(2 + 2 * n), 0x03};
    for (size_t i = 0; i < n; ++i) {
        d.push_back(static_cast<uint8_t>(text[i]));
        d.push_back(0);
    }
    return d;
}

}  // namespace

CameraDeviceModel::CameraDeviceModel(CameraModelConfig config) : config_(std::move(config))
{
    clock_ = std::thread([this] { clockLoop(); });
}

CameraDeviceModel::~CameraDeviceModel()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopClock_ = true;
    }
    clockCv_.notify_all();
    clock_.join();
}

bool CameraDeviceModel::sizeSupported(int width, int height)
{
    return width >= 640 && width <= 1920 && height >= 480 && height <= 1080;
}

Bytes CameraDeviceModel::deviceDescriptor() const
{
    const uint16_t vid = config_.vendorId, pid = config_.productId;
    return {18, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 64,
            static_cast<uint8_t>(vid & 0xFF), static_cast<uint8_t>(vid >> 8),
            static_cast<uint8_t>(pid & 0xFF), static_cast<uint8_t>(pid >> 8),
            0x00, 0x01, 1, 2, 3, 1};
}

Bytes CameraDeviceModel::configurationDescriptor() const
{
    struct Setting {
        uint8_t interface, alt;
        std::vector<uint8_t> endpoints;
    };
    const Setting settings[] = {{0, 0, {kEpIn1, kEpOut1}}, {1, 0, {}}, {1, 1, {kEpIn2, kEpOut2}}};
    Bytes d = {9, 0x02, 0, 0, 2, 1, 0, 0x80, 0xFA};
    for (const Setting &s : settings) {
        const Bytes intf = {9, 0x04, s.interface, s.alt, static_cast<uint8_t>(s.endpoints.size()), 0xFF, 0xF0, 0x00, 0};
        d.insert(d.end(), intf.begin(), intf.end());
        for (uint8_t ep : s.endpoints) {
            const Bytes e = {7, 0x05, ep, 0x02, 0x00, 0x02, 0};  // bulk, 512 bytes
            d.insert(d.end(), e.begin(), e.end());
        }
    }
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

Bytes CameraDeviceModel::stringDescriptor(uint8_t index) const
{
    switch (index) {
    case 0: return {4, 0x03, 0x09, 0x04};  // English (United States)
    case 1: return utf16Descriptor(config_.manufacturer);
    case 2: return utf16Descriptor(config_.product);
    case 3: return utf16Descriptor(config_.serial);
    default: return {};
    }
}

Result CameraDeviceModel::control(const usbdev::SetupPacket &, Bytes &)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // The camera has no class or vendor control requests.
    return present_ ? Result::Stall : Result::Gone;
}

bool CameraDeviceModel::endpointActive(uint8_t endpoint) const
{
    if (endpoint == kEpIn1 || endpoint == kEpOut1)
        return true;
    return alt_ == 1 && (endpoint == kEpIn2 || endpoint == kEpOut2);
}

Result CameraDeviceModel::setInterface(uint8_t interface, uint8_t altSetting)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_)
        return Result::Gone;
    if (interface == 0 && altSetting == 0)
        return Result::Ok;
    if (interface != 1 || altSetting > 1)
        return Result::Stall;
    alt_ = altSetting;
    stopStreamLocked();  // a (re)selected setting starts idle; a command starts the stream
    return Result::Ok;
}

Result CameraDeviceModel::clearHalt(uint8_t endpoint)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_)
        return Result::Gone;
    return endpointActive(endpoint) ? Result::Ok : Result::Stall;
}

void CameraDeviceModel::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_)
        return;
    ++stats_.resets;
    alt_ = 0;  // a bus reset returns every interface to its default setting
    stopStreamLocked();
}

void CameraDeviceModel::stopStreamLocked()
{
    streaming_ = false;
    out_.clear();
    outOffset_ = 0;
    outBytes_ = 0;
}

void CameraDeviceModel::startStreamLocked()
{
    if (streaming_)
        return;
    streaming_ = true;
    nextFrameAt_ = std::chrono::steady_clock::now();
}

Result CameraDeviceModel::bulkOut(uint8_t endpoint, const uint8_t *data, size_t length)
{
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_)
            return Result::Gone;
        if (!endpointActive(endpoint) || (endpoint & 0x80))
            return Result::Stall;
        if (endpoint == kEpOut1) {
            stats_.handshakeWrites.emplace_back(data, data + length);
            return Result::Ok;
        }
        const size_t before = outBytes_;
        handleCommandsLocked(data, length);
        queued = outBytes_ > before;
    }
    if (queued)
        wake();  // a read waiting on 0x82 has its reply now
    return Result::Ok;
}

void CameraDeviceModel::handleCommandsLocked(const uint8_t *d, size_t n)
{
    // Commands may come several to a transfer; anything that does not start with the magic is skipped.
    for (size_t i = 0; i + VS_CMD_LEN <= n;) {
        const bool magic = (d[i] == VS_MAGIC_A && d[i + 1] == VS_MAGIC_B) ||
                           (d[i] == VS_MAGIC_B && d[i + 1] == VS_MAGIC_A);
        if (!magic) {
            ++i;
            continue;
        }
        const uint8_t cid = d[i + 2];
        const size_t len = static_cast<size_t>(d[i + 3] | (d[i + 4] << 8));
        stats_.commands.push_back(cid);
        Bytes reply;
        if (cid == CID_GET_ALLINFO)
            reply = StreamGenerator::devInfoReply(config_.devInfo, 98, config_.stream.magicAB);
        else if (cid == CID_OPEN_STREAM)
            reply = StreamGenerator::openStreamReply(config_.stream.magicAB);
        if (!reply.empty()) {
            // Replies go out at the next packet boundary of the stream, after those still waiting.
            outBytes_ += reply.size();
            auto at = out_.begin() + (outOffset_ > 0 ? 1 : 0);
            while (at != out_.end() && at->reply)
                ++at;
            out_.insert(at, Packet{std::move(reply), true});
            if (alt_ == 1)
                startStreamLocked();
        }
        i += VS_CMD_LEN + len;
    }
}

void CameraDeviceModel::queueFrameLocked()
{
    const uint32_t number = nextNumber_++;
    bool photo = false;
    if (photoPending_ > 0) {
        --photoPending_;
        photo = true;
    }
    const auto at = std::find(photoAt_.begin(), photoAt_.end(), number);
    if (at != photoAt_.end()) {
        photoAt_.erase(at);
        photo = true;
    }
    std::mt19937 rng(config_.stream.seed * 2654435761u + number);
    Frame f = StreamGenerator::buildFrame(config_.stream, number, photo, &rng);
    for (Bytes &p : f.packets) {
        outBytes_ += p.size();
        out_.push_back(Packet{std::move(p), false});
    }
    ++stats_.framesQueued;
}

Result CameraDeviceModel::bulkIn(uint8_t endpoint, size_t maxLength, Bytes &data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    data.clear();
    if (!present_)
        return Result::Gone;
    if (!endpointActive(endpoint) || !(endpoint & 0x80))
        return Result::Stall;
    if (endpoint == kEpIn1) {
        data.assign(kReply, kReply + std::min<size_t>(sizeof kReply, maxLength));
        ++stats_.handshakeReads;
        return Result::Ok;
    }
    if (maxLength == 0)
        return Result::Ok;
    if (outBytes_ == 0 && streaming_) {
        const auto now = std::chrono::steady_clock::now();
        if (config_.fps <= 0) {
            queueFrameLocked();
        } else if (now >= nextFrameAt_) {
            const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(1.0 / config_.fps));
            nextFrameAt_ += period;
            if (nextFrameAt_ < now - 4 * period)
                nextFrameAt_ = now + period;  // the reader fell far behind: no burst of frames
            queueFrameLocked();
        } else {
            armClockLocked(nextFrameAt_);
        }
    }
    if (outBytes_ == 0)
        return Result::Pending;
    data.resize(std::min(maxLength, outBytes_));
    size_t got = 0;
    while (got < data.size()) {
        const Bytes &front = out_.front().bytes;
        const size_t k = std::min(data.size() - got, front.size() - outOffset_);
        std::memcpy(data.data() + got, front.data() + outOffset_, k);
        got += k;
        outOffset_ += k;
        if (outOffset_ == front.size()) {
            out_.pop_front();
            outOffset_ = 0;
        }
    }
    outBytes_ -= got;
    stats_.streamBytesSent += got;
    return Result::Ok;
}

void CameraDeviceModel::armClockLocked(std::chrono::steady_clock::time_point at)
{
    clockAt_ = at;
    clockArmed_ = true;
    clockCv_.notify_all();
}

void CameraDeviceModel::clockLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopClock_) {
        if (!clockArmed_) {
            clockCv_.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < clockAt_) {
            clockCv_.wait_until(lock, clockAt_);
            continue;
        }
        clockArmed_ = false;
        lock.unlock();
        wake();
        lock.lock();
    }
}

void CameraDeviceModel::unplug()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        present_ = false;
        stopStreamLocked();
    }
    wake();  // pending transfers end now, with Gone
}

void CameraDeviceModel::plug()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (present_)
        return;
    present_ = true;
    alt_ = 0;
    photoPending_ = 0;
}

bool CameraDeviceModel::plugged() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return present_;
}

void CameraDeviceModel::pressPhotoButton(int frames)
{
    std::lock_guard<std::mutex> lock(mutex_);
    photoPending_ += std::max(0, frames);
}

void CameraDeviceModel::pressPhotoButtonAt(uint32_t frameNumber)
{
    std::lock_guard<std::mutex> lock(mutex_);
    photoAt_.push_back(frameNumber);
}

void CameraDeviceModel::setFps(double fps)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_.fps = fps;
}

CameraModelStats CameraDeviceModel::stats() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    CameraModelStats s = stats_;
    s.plugged = present_;
    s.streaming = streaming_;
    s.altSetting = alt_;
    return s;
}

}  // namespace vcam
