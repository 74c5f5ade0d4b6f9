#include "progress.h"

#include <cstdio>

#include "access/scsi.h"
#include "args.h"
#include "platform/backend.h"

namespace quillon::tool {

namespace platform = quillon::platform;

class ProgressLine::Counter : public platform::Backend {
 public:
  Counter(std::string label, std::uint64_t expected)
      : label_(std::move(label)), expected_(expected), inner_(platform::CurrentBackend()),
        start_(std::chrono::steady_clock::now()) {
    previous_ = platform::SetBackend(this);
  }
  ~Counter() override {
    platform::SetBackend(previous_);
    if (drawn_) std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
    std::fflush(stderr);
  }

  platform::DeviceHandle OpenDevice(const char* path, std::uint32_t* error) override {
    return inner_.OpenDevice(path, error);
  }
  platform::PassThroughResult SendPassThrough(platform::DeviceHandle handle, std::uint8_t* request,
                                              std::uint32_t inLength, std::uint32_t outLength) override {
    std::uint32_t length = 0;
    bool dataIn = false;
    if (request != nullptr && inLength >= kPassThroughHeaderSize) {
      dataIn = request[spt::kDataIn] != 0;
      for (int i = 3; i >= 0; --i) length = (length << 8) | request[spt::kDataTransferLength + i];
    }
    const platform::PassThroughResult result = inner_.SendPassThrough(handle, request, inLength, outLength);
    (dataIn ? bytesIn_ : bytesOut_) += length;
    ++requests_;
    Draw();
    return result;
  }
  void CloseDevice(platform::DeviceHandle handle) override { inner_.CloseDevice(handle); }
  std::unique_ptr<platform::InterfaceList> ListInterfaces(platform::InterfaceClass cls) override {
    return inner_.ListInterfaces(cls);
  }
  bool QueryMountManager(const std::u16string& deviceName, std::vector<std::string>* links) override {
    return inner_.QueryMountManager(deviceName, links);
  }
  std::uint32_t LogicalDrives() override { return inner_.LogicalDrives(); }
  bool MountVolumeAt(const char* driveRoot, const char* volumePath) override {
    return inner_.MountVolumeAt(driveRoot, volumePath);
  }
  platform::DeviceHandle OpenVolume(char driveLetter, std::uint32_t* error) override {
    return inner_.OpenVolume(driveLetter, error);
  }
  bool ControlVolume(platform::DeviceHandle volume, platform::VolumeControl control, std::uint32_t* error) override {
    return inner_.ControlVolume(volume, control, error);
  }
  void CloseVolume(platform::DeviceHandle volume) override { inner_.CloseVolume(volume); }
  bool QueryDiskGeometry(const char* path, platform::DiskGeometry* out) override {
    return inner_.QueryDiskGeometry(path, out);
  }
  void SleepMilliseconds(std::uint32_t milliseconds) override { inner_.SleepMilliseconds(milliseconds); }
  platform::LocalTime Now() override { return inner_.Now(); }

 private:
  void Draw() {
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char text[160];
    int n = 0;
    if (expected_ > 0) {
      const double percent = bytesOut_ >= expected_ ? 100.0 : 100.0 * static_cast<double>(bytesOut_) / static_cast<double>(expected_);
      n = std::snprintf(text, sizeof(text), "%s: %5.1f%%  %s of %s  %.1f s", label_.c_str(), percent,
                        HumanSize(bytesOut_).c_str(), HumanSize(expected_).c_str(), seconds);
    } else {
      n = std::snprintf(text, sizeof(text), "%s: %s written, %s read, %llu requests  %.1f s", label_.c_str(),
                        HumanSize(bytesOut_).c_str(), HumanSize(bytesIn_).c_str(),
                        static_cast<unsigned long long>(requests_), seconds);
    }
    if (n < 0) return;
    const std::size_t length = static_cast<std::size_t>(n) < sizeof(text) ? static_cast<std::size_t>(n) : sizeof(text) - 1;
    // Pad over the previous, possibly longer, line.
    std::fprintf(stderr, "\r%s%*s", text, width_ > length ? static_cast<int>(width_ - length) : 0, "");
    std::fflush(stderr);
    if (length > width_) width_ = length;
    drawn_ = true;
  }

  std::string label_;
  std::uint64_t expected_;
  platform::Backend& inner_;
  platform::Backend* previous_ = nullptr;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
  std::uint64_t bytesIn_ = 0;
  std::uint64_t bytesOut_ = 0;
  std::uint64_t requests_ = 0;
  std::size_t width_ = 0;
  bool drawn_ = false;
};

ProgressLine::ProgressLine(std::string label, bool enabled, std::uint64_t expectedBytesOut) {
  if (enabled) counter_ = std::make_unique<Counter>(std::move(label), expectedBytesOut);
}

ProgressLine::~ProgressLine() = default;

}  // namespace quillon::tool
