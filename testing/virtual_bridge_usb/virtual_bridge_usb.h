#ifndef QUILLON_TESTING_VIRTUAL_BRIDGE_USB_H
#define QUILLON_TESTING_VIRTUAL_BRIDGE_USB_H

// The virtual bridge as a USB mass-storage device (class 08h, SCSI transparent command set, Bulk-Only
// Transport) for any transport that drives a usbdev::UsbDeviceModel, such as the usbredir server that
// puts it into a QEMU guest: the guest's kernel then makes a SCSI disk and a SCSI generic node of each
// logical unit, and the library reaches the bridge through them as it reaches a real one.
//
//   VirtualBridge bridge(false);
//   BridgeStore store;  store.Load(dir, bridge, &error);
//   VirtualBridgeUsb device(bridge, {"\\\\.\\PhysicalDrive1", "\\\\.\\PhysicalDrive2"});
//
// Bulk-Only Transport as the USB Mass Storage Class specification gives it: a 31-byte CBW on the OUT
// endpoint, the data stage, a 13-byte CSW on the IN endpoint. An invalid CBW stalls both endpoints until
// the host's reset recovery (the class reset request, then clearing both halts); a phase error is
// reported in the CSW after the IN endpoint has stalled where the data stage went wrong. A data-in stage
// shorter than the host asked for ends with a short or zero-length packet.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scsi_target.h"
#include "usb_device_model.h"

namespace quillon::testing {

// The USB ids the virtual bridge presents (a test product id under the shared pid.codes vendor id); the
// bridge access rule the library ships lists them.
constexpr std::uint16_t kVirtualBridgeVendorId = 0x1209;
constexpr std::uint16_t kVirtualBridgeProductId = 0x0002;

class VirtualBridgeUsb : public usbdev::UsbDeviceModel {
 public:
  static constexpr std::uint8_t kBulkIn = 0x81;
  static constexpr std::uint8_t kBulkOut = 0x02;
  static constexpr std::uint16_t kMaxPacket = 512;

  VirtualBridgeUsb(VirtualBridge& bridge, std::vector<std::string> lunPaths, ScsiIdentity identity = {});

  usbdev::Bytes deviceDescriptor() const override;
  usbdev::Bytes configurationDescriptor() const override;
  usbdev::Bytes stringDescriptor(std::uint8_t index) const override;
  usbdev::Result control(const usbdev::SetupPacket& setup, usbdev::Bytes& data) override;
  usbdev::Result setInterface(std::uint8_t interface, std::uint8_t altSetting) override;
  usbdev::Result clearHalt(std::uint8_t endpoint) override;
  void reset() override;
  usbdev::Result bulkOut(std::uint8_t endpoint, const std::uint8_t* data, std::size_t length) override;
  usbdev::Result bulkIn(std::uint8_t endpoint, std::size_t maxLength, usbdev::Bytes& data) override;

  ScsiTarget& Target() { return target_; }
  // Commands completed since the device was made (for tests and the server's log).
  std::uint64_t Commands() const;

 private:
  enum class Phase { Command, DataOut, DataIn, Status };
  void Complete(const TargetReply& reply);   // after the command ran: data stage or status
  void StallBoth();
  void ResetTransport();

  ScsiTarget target_;
  ScsiIdentity identity_;
  mutable std::mutex mutex_;
  Phase phase_ = Phase::Command;
  bot::Cbw cbw_;
  std::vector<std::uint8_t> dataOut_;        // collected data-out stage
  std::vector<std::uint8_t> dataIn_;         // data-in stage to send
  std::size_t dataInSent_ = 0;
  bool dataInEnded_ = false;                 // a short packet ended the data-in stage
  bool stallAfterData_ = false;              // phase error: stall IN once the data is out
  std::vector<std::uint8_t> csw_;
  bool haltIn_ = false;
  bool haltOut_ = false;
  bool resetRequired_ = false;               // an invalid CBW: halts stay until reset recovery
  std::uint64_t commands_ = 0;
};

}  // namespace quillon::testing

#endif
