#ifndef QUILLON_TESTING_VIRTUAL_BRIDGE_DEVICE_MODULES_H
#define QUILLON_TESTING_VIRTUAL_BRIDGE_DEVICE_MODULES_H

// What sits behind the controller besides flash and disks: a fingerprint module that enrols, matches
// and deletes fingers, an SD card lock that answers CMD42, the card serial number, the connection
// traces the firmware writes into SPI flash, and controller resets that make the device re-enumerate.
//
//   VirtualBridge bridge;
//   auto controller = bridge.AttachDisk(1);
//   InstallDeviceModules(bridge);   // replaces the plain answers of these commands
//
// The fingerprint module speaks a 7-byte command, 8-byte reply protocol of its own (the library passes
// both through unchanged):
//   command  F5 slot 00 code arg 00 xor(bytes 1..5)
//   reply    F5 code value slot ack 00 xor(bytes 1..5) F5
// codes: 0x01 enrol the finger on the sensor into slot, 0x04 delete slot (0xFF: all), 0x09 count the
// enrolled fingers (value), 0x0C match the finger on the sensor (value = slot), 0x7D the 32 template
// bytes of slot, 0x71/0x7F the 40-byte module description. Acks: kFingerAck*. The module keeps its
// templates in the fingerprint data block (card 0, block 512): 16 slots of 32 bytes, byte 0 0xA5 when
// used, byte 1 the finger's identity, then 30 template bytes. It needs card 0 and power (a module
// switched off rejects every command).
//
// The SD lock takes CDB byte 2 as the CMD42 flags (bit 0 set password, bit 1 clear password, bit 2
// lock, else unlock; 0x08 forced erase) and the data as the password (set password with a password
// already set: old password followed by the new one). A wrong password or a lock without password is
// rejected. The status byte: bit 0 locked, bit 1 the last lock operation failed, bit 2 a password is set.

#include <cstdint>
#include <string>
#include <vector>

#include "virtual_bridge.h"

namespace quillon::testing {

constexpr std::uint8_t kFingerAckOk = 0x00;
constexpr std::uint8_t kFingerAckFail = 0x01;
constexpr std::uint8_t kFingerAckFull = 0x04;
constexpr std::uint8_t kFingerAckNoFinger = 0x05;
constexpr std::uint8_t kFingerAckNoStorage = 0x06;
constexpr std::uint8_t kFingerAckNoMatch = 0x08;
constexpr std::uint32_t kFingerDataBlock = 512;
constexpr int kFingerSlots = 16;

constexpr std::uint8_t kSdStatusLocked = 0x01;
constexpr std::uint8_t kSdStatusLockFailed = 0x02;
constexpr std::uint8_t kSdStatusPassword = 0x04;

// State kept with the controller (VirtualController::State<DeviceModuleState>()).
struct DeviceModuleState {
  std::uint8_t placedFinger = 1;   // identity of the finger on the sensor (while one is pressed)
  std::string sdPassword;          // empty: none set
};

// Installs the handlers of the fingerprint module (0x5C/0x01), SD lock and status (0x60, 0x61), card
// serial (0x4C) and resets (0x30, 0x33) on the bridge.
void InstallDeviceModules(VirtualBridge& bridge);

// The 7-byte command of the module protocol above.
std::vector<std::uint8_t> FingerCommand(std::uint8_t code, std::uint8_t slot = 0, std::uint8_t arg = 0);
// The template the module derives from a finger's identity (30 bytes).
std::vector<std::uint8_t> FingerTemplate(std::uint8_t finger);

// Trace records as the firmware writes them: "{" text "}" one after another from address, in the flash
// cells (text may hold any bytes but braces and 0xFF).
void WriteTraceRecords(FlashState& flash, std::uint32_t address, const std::vector<std::string>& records);
// The records of a fresh virtual bridge: a few connections with dates, counters and a binary field.
std::vector<std::string> SampleTraceRecords(const std::string& host);

}  // namespace quillon::testing

#endif
