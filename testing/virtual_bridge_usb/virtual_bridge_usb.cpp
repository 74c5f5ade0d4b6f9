#include "virtual_bridge_usb.h"

#include <algorithm>

namespace quillon::testing {
namespace {

using usbdev::Bytes;
using usbdev::Result;

// Largest data-out stage collected for one command; a host asking for more is refused with a stall.
constexpr std::uint32_t kMaxDataOutStage = 32u << 20;

constexpr std::uint8_t kStringManufacturer = 1;
constexpr std::uint8_t kStringProduct = 2;
constexpr std::uint8_t kStringSerial = 3;

void PutLe16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

VirtualBridgeUsb::VirtualBridgeUsb(VirtualBridge& bridge, std::vector<std::string> lunPaths, ScsiIdentity identity)
    : target_(bridge, std::move(lunPaths), identity), identity_(std::move(identity)) {}

Bytes VirtualBridgeUsb::deviceDescriptor() const {
  Bytes d(18, 0);
  d[0] = 18;
  d[1] = 0x01;          // DEVICE
  PutLe16(d, 2, 0x0200);  // USB 2.0
  d[4] = d[5] = d[6] = 0;  // class in the interface
  d[7] = 64;            // control endpoint packet size
  PutLe16(d, 8, kVirtualBridgeVendorId);
  PutLe16(d, 10, kVirtualBridgeProductId);
  PutLe16(d, 12, 0x0100);
  d[14] = kStringManufacturer;
  d[15] = kStringProduct;
  d[16] = kStringSerial;
  d[17] = 1;            // one configuration
  return d;
}

Bytes VirtualBridgeUsb::configurationDescriptor() const {
  Bytes c = {
      9, 0x02, 32, 0, 1, 1, 0, 0x80, 50,                  // configuration: 1 interface, bus powered, 100 mA
      9, 0x04, 0, 0, 2, 0x08, 0x06, 0x50, 0,              // interface 0: mass storage, SCSI, Bulk-Only
      7, 0x05, kBulkIn, 0x02, 0, 0, 0,                    // bulk IN
      7, 0x05, kBulkOut, 0x02, 0, 0, 0,                   // bulk OUT
  };
  PutLe16(c, 22, kMaxPacket);
  PutLe16(c, 29, kMaxPacket);
  return c;
}

Bytes VirtualBridgeUsb::stringDescriptor(std::uint8_t index) const {
  std::string text;
  switch (index) {
    case 0: return {4, 0x03, 0x09, 0x04};  // English (United States)
    case kStringManufacturer: text = "Virtual"; break;
    case kStringProduct: text = "Virtual Bridge"; break;
    case kStringSerial: text = identity_.serial; break;
    default: return {};
  }
  Bytes s(2 + 2 * text.size(), 0);
  s[0] = static_cast<std::uint8_t>(s.size());
  s[1] = 0x03;
  for (std::size_t i = 0; i < text.size(); ++i) s[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
  return s;
}

Result VirtualBridgeUsb::control(const usbdev::SetupPacket& setup, Bytes& data) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (setup.bmRequestType == 0xA1 && setup.bRequest == bot::kRequestGetMaxLun) {
    if (setup.wValue != 0 || setup.wIndex != 0 || setup.wLength == 0) return Result::Stall;
    data.assign(1, target_.MaxLun());
    return Result::Ok;
  }
  if (setup.bmRequestType == 0x21 && setup.bRequest == bot::kRequestReset) {
    if (setup.wValue != 0 || setup.wIndex != 0 || setup.wLength != 0) return Result::Stall;
    ResetTransport();
    lock.unlock();
    wake();
    return Result::Ok;
  }
  if ((setup.bmRequestType & 0xFC) == 0x80 && setup.bRequest == 0x00) {  // GET_STATUS
    bool halted = false;
    if ((setup.bmRequestType & 0x03) == 0x02) {
      if (setup.wIndex == kBulkIn) halted = haltIn_;
      else if (setup.wIndex == kBulkOut) halted = haltOut_;
      else if (setup.wIndex != 0 && setup.wIndex != 0x80) return Result::Stall;
    }
    data = {static_cast<std::uint8_t>(halted ? 1 : 0), 0};
    if (data.size() > setup.wLength) data.resize(setup.wLength);
    return Result::Ok;
  }
  return Result::Stall;
}

Result VirtualBridgeUsb::setInterface(std::uint8_t interface, std::uint8_t altSetting) {
  return interface == 0 && altSetting == 0 ? Result::Ok : Result::Stall;
}

Result VirtualBridgeUsb::clearHalt(std::uint8_t endpoint) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (endpoint != kBulkIn && endpoint != kBulkOut && (endpoint & 0x7F) != 0) return Result::Stall;
    // After an invalid CBW the endpoints stay halted until the class reset.
    if (!resetRequired_) {
      if (endpoint == kBulkIn) haltIn_ = false;
      if (endpoint == kBulkOut) haltOut_ = false;
    }
  }
  wake();
  return Result::Ok;
}

void VirtualBridgeUsb::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ResetTransport();
  haltIn_ = haltOut_ = false;
}

std::uint64_t VirtualBridgeUsb::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

void VirtualBridgeUsb::ResetTransport() {
  phase_ = Phase::Command;
  dataOut_.clear();
  dataIn_.clear();
  dataInSent_ = 0;
  dataInEnded_ = false;
  stallAfterData_ = false;
  csw_.clear();
  resetRequired_ = false;
}

void VirtualBridgeUsb::StallBoth() {
  haltIn_ = haltOut_ = true;
}

void VirtualBridgeUsb::Complete(const TargetReply& reply) {
  csw_ = bot::MakeCsw(cbw_.tag, reply.residue, reply.status);
  dataOut_.clear();
  if (cbw_.dataIn && cbw_.dataLength > 0) {
    phase_ = Phase::DataIn;
    dataIn_ = reply.data;
    dataInSent_ = 0;
    dataInEnded_ = false;
    stallAfterData_ = reply.status == bot::CswStatus::PhaseError;
  } else {
    phase_ = Phase::Status;
  }
}

Result VirtualBridgeUsb::bulkOut(std::uint8_t endpoint, const std::uint8_t* data, std::size_t length) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (endpoint != kBulkOut || haltOut_) return Result::Stall;
  if (data == nullptr && length > 0) return Result::Stall;
  if (phase_ == Phase::Command) {
    bot::Cbw cbw;
    if (!bot::ParseCbw(data, length, target_.MaxLun(), &cbw)) {
      StallBoth();
      resetRequired_ = true;
      return Result::Ok;
    }
    cbw_ = cbw;
    if (!cbw.dataIn && cbw.dataLength > 0) {
      if (cbw.dataLength > kMaxDataOutStage) {
        haltOut_ = true;
        csw_ = bot::MakeCsw(cbw.tag, cbw.dataLength, bot::CswStatus::PhaseError);
        phase_ = Phase::Status;
      } else {
        dataOut_.clear();
        dataOut_.reserve(cbw.dataLength);
        phase_ = Phase::DataOut;
        return Result::Ok;
      }
    } else {
      HostTransfer host;
      host.direction = cbw.dataLength == 0 ? DataDirection::None : DataDirection::In;
      host.length = cbw.dataLength;
      Complete(target_.Execute(cbw.lun, cbw.cdb, cbw.cdbLength, host));
    }
  } else if (phase_ == Phase::DataOut) {
    const std::size_t take = std::min<std::size_t>(length, cbw_.dataLength - dataOut_.size());
    dataOut_.insert(dataOut_.end(), data, data + take);
    if (dataOut_.size() < cbw_.dataLength) return Result::Ok;
    HostTransfer host;
    host.direction = DataDirection::Out;
    host.length = cbw_.dataLength;
    host.outData = dataOut_.data();
    Complete(target_.Execute(cbw_.lun, cbw_.cdb, cbw_.cdbLength, host));
  } else {
    // The host sends while the device expects to send: out of step, stall.
    haltOut_ = true;
    return Result::Stall;
  }
  lock.unlock();
  wake();
  return Result::Ok;
}

Result VirtualBridgeUsb::bulkIn(std::uint8_t endpoint, std::size_t maxLength, Bytes& data) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (endpoint != kBulkIn || haltIn_) return Result::Stall;
  data.clear();
  if (phase_ == Phase::DataIn) {
    const std::size_t remaining = dataIn_.size() - dataInSent_;
    if (remaining > 0 && maxLength > 0) {
      const std::size_t n = std::min(remaining, maxLength);
      data.assign(dataIn_.begin() + dataInSent_, dataIn_.begin() + dataInSent_ + n);
      dataInSent_ += n;
      if (n < maxLength) dataInEnded_ = true;  // a short packet ends the stage for the host
      const bool all = dataInSent_ == dataIn_.size();
      if (all && !stallAfterData_ && (dataInEnded_ || dataInSent_ >= cbw_.dataLength)) phase_ = Phase::Status;
      return Result::Ok;
    }
    if (stallAfterData_) {
      // Where a phase error left the data stage: stall; the CSW follows once the host clears the halt.
      stallAfterData_ = false;
      haltIn_ = true;
      phase_ = Phase::Status;
      return Result::Stall;
    }
    // Less than the host asked for, ending on a full packet: a zero-length packet ends the stage.
    phase_ = Phase::Status;
    return Result::Ok;
  }
  if (phase_ == Phase::Status) {
    data = csw_;
    phase_ = Phase::Command;
    ++commands_;
    return Result::Ok;
  }
  return Result::Pending;  // no command yet, or its data-out stage is still coming
}

}  // namespace quillon::testing
