#ifndef QUILLON_ACCESS_COMMANDS_H
#define QUILLON_ACCESS_COMMANDS_H

// The controller command set. Each operation opens the device path, sends its request(s) and closes the
// handle again; the record passed in is only read (except by the identify step). Results are 1 for
// success and 0 for failure unless stated otherwise. No operation ever writes outside the buffers
// and lengths it is given.

#include <cstdint>

#include "access/bridge_device.h"

namespace quillon {

// Sub-commands (CDB byte 1 of a vendor command).
namespace sub {
constexpr std::uint8_t kFlashProgram = 0x00;
constexpr std::uint8_t kFlashRead = 0x01;
constexpr std::uint8_t kFlashChipErase = 0x02;
constexpr std::uint8_t kSetSpiOpcode = 0x05;
constexpr std::uint8_t kFlashPresent = 0x06;
constexpr std::uint8_t kFlashSectorErase = 0x07;
constexpr std::uint8_t kWriteMemory = 0x20;
constexpr std::uint8_t kReadMemory = 0x21;
constexpr std::uint8_t kResetChip = 0x30;
constexpr std::uint8_t kResetUsb = 0x33;
constexpr std::uint8_t kIdentify = 0x34;
constexpr std::uint8_t kCardPrepareA = 0x40;
constexpr std::uint8_t kCardPrepareB = 0x41;
constexpr std::uint8_t kWriteCardBlock = 0x42;
constexpr std::uint8_t kReadCardBlock = 0x43;
constexpr std::uint8_t kCardPresent = 0x44;
constexpr std::uint8_t kCardInit = 0x46;
constexpr std::uint8_t kGetRegionTable = 0x47;
constexpr std::uint8_t kWriteIsoBlocks = 0x48;
constexpr std::uint8_t kSetHiddenPartition = 0x4A;
constexpr std::uint8_t kSendPasswordOld = 0x4B;
constexpr std::uint8_t kGetCardSerial = 0x4C;
constexpr std::uint8_t kProbePasswordOld = 0x52;
constexpr std::uint8_t kFinger = 0x5C;     // byte 2 selects the operation
constexpr std::uint8_t kPassword = 0x5D;   // byte 2 selects the operation
constexpr std::uint8_t kSdCardLock = 0x60;
constexpr std::uint8_t kGetSdCardStatus = 0x61;
}  // namespace sub

// Byte 2 of the 0x5C family.
namespace finger {
constexpr std::uint8_t kPressed = 0x00;
constexpr std::uint8_t kCommand = 0x01;
constexpr std::uint8_t kSetMode = 0x02;
constexpr std::uint8_t kIsPublicRegion = 0x03;
constexpr std::uint8_t kSetPower = 0x04;
constexpr std::uint8_t kGetEncryptState = 0x05;
}  // namespace finger

// Byte 2 of the 0x5D family.
namespace password {
constexpr std::uint8_t kSet = 0x01;
constexpr std::uint8_t kHas = 0x02;
constexpr std::uint8_t kSetCipherDiskSize = 0x03;
constexpr std::uint8_t kClear = 0x04;
constexpr std::uint8_t kVerify = 0x05;
constexpr std::uint8_t kDelete = 0x06;
constexpr std::uint8_t kGetNumber = 0x07;
constexpr std::uint8_t kDeleteAt = 0x08;
constexpr std::uint8_t kGetInfo = 0x09;
}  // namespace password

// CmdFlashRead modes (CDB byte 7).
constexpr std::uint8_t kFlashReadArray = 0;
constexpr std::uint8_t kFlashReadIdentification = 1;
constexpr std::uint8_t kFlashReadManufacturer = 2;

constexpr std::uint32_t kCardBlockSize = 512;
constexpr std::uint32_t kDiskBlockSize = 512;
constexpr std::uint32_t kPasswordBlockSize = 32;
constexpr std::uint32_t kFingerCommandSize = 7;
constexpr std::uint32_t kFingerReplyMax = 40;
// A chunk that keeps failing with a general failure or a time-out is given up after this many sends.
constexpr int kMaxChunkSends = 50;

// --- SPI flash -----------------------------------------------------------------------------------
// Programs length bytes at address (modulo 2^24), page by page, the last page zero-padded. Loads the
// program opcodes first for Kind6623/KindFcc devices.
int CmdFlashProgram(const BridgeDevice& device, std::uint32_t address, const std::uint8_t* data,
                    std::uint32_t length);
// Array read of length bytes (a whole number of pages) into buffer, which is zero-filled first. Loads
// the READ opcode first for Kind6623/KindFcc devices.
int CmdFlashRead(const BridgeDevice& device, std::uint32_t address, std::uint8_t* buffer, std::uint32_t length);
// Identification read: chunks of at most the maximum transfer with the given mode byte, no opcode
// loads and no retries (the caller loads slot 1 itself).
int CmdFlashReadMode(const BridgeDevice& device, std::uint32_t address, std::uint8_t mode, std::uint8_t* buffer,
                     std::uint32_t length);
int CmdFlashChipErase(const BridgeDevice& device);
int CmdSetSpiOpcode(const BridgeDevice& device, std::uint8_t slot, std::uint8_t opcode);
int CmdFlashPresent(const BridgeDevice& device);  // 1 when the controller reports a flash
int CmdFlashSectorErase(const BridgeDevice& device, std::uint32_t address);

// --- Controller memory -------------------------------------------------------------------------------
// Chunks of at most the maximum transfer; a length of 0 or less succeeds without sending.
int CmdWriteMemory(const BridgeDevice& device, std::uint32_t address, const std::uint8_t* data, std::int32_t length);
int CmdReadMemory(const BridgeDevice& device, std::uint32_t address, std::uint8_t* buffer, std::int32_t length);

// --- Controller ------------------------------------------------------------------------------------------
int CmdResetChip(const BridgeDevice& device);
int CmdResetUsb(const BridgeDevice& device);
// Up to 10 sends 100 ms apart; a first reply byte other than "B"/"F" ends the attempts. On success
// the 13 reply bytes are copied to reply.
int CmdIdentify(const BridgeDevice& device, std::uint8_t reply[kIdentifyReplySize]);

// --- Memory cards --------------------------------------------------------------------------------------
int CmdCardPrepareA(const BridgeDevice& device);  // 1 when the reply byte is 0
int CmdCardPrepareB(const BridgeDevice& device);  // 1 when the reply byte is 0
// 512-byte blocks from firstBlock on card (0 or 1); the last block zero-padded. Block numbers are 24
// bits; a range beyond block 2^24 - 1 is refused without sending.
int CmdWriteCardBlock(const BridgeDevice& device, std::uint8_t card, std::uint32_t firstBlock,
                      const std::uint8_t* data, std::uint32_t length);
// buffer is zero-filled, then filled block after block (at most length bytes).
int CmdReadCardBlock(const BridgeDevice& device, std::uint8_t card, std::uint32_t firstBlock, std::uint8_t* buffer,
                     std::uint32_t length);
int CmdCardPresent(const BridgeDevice& device, std::uint8_t card);  // the reply byte, 0 on failure
int CmdCardInit(const BridgeDevice& device, std::uint8_t card);     // the reply byte, 0 on failure
int CmdGetCardSerial(const BridgeDevice& device, std::uint64_t* serial);  // 0x00 r0..r5 0x00

// --- Regions -------------------------------------------------------------------------------------------
struct RegionTable {
  std::uint32_t countedEntries = 0;      // entries of type 1 or 2
  std::uint64_t blockCount[4] = {};      // last block + 1, per entry (0 for entries not counted)
  std::uint32_t blockLength[4] = {};
  std::uint64_t capacity = 0;            // counted entries x smallest entry size, in bytes (saturated)
  std::uint8_t raw[40] = {};             // the reply area (20 bytes asked for, the rest zero)
};
int CmdGetRegionTable(const BridgeDevice& device, RegionTable* table);
// One WRITE(10) carried in a vendor command: blocks from blockAddress, length bytes (at most 64 KiB;
// the block count is length / 512).
int CmdWriteIsoBlocks(const BridgeDevice& device, std::uint32_t blockAddress, const std::uint8_t* data,
                      std::uint32_t length);
int CmdSetHiddenPartition(const BridgeDevice& device, std::uint8_t selector, std::uint32_t first,
                          std::uint32_t second);
// size little-endian in CDB bytes 3-6; byte 7 = 1 when full is non-zero.
int CmdSetCipherDiskSize(const BridgeDevice& device, std::uint32_t size, int full);
int CmdIsPublicRegion(const BridgeDevice& device);                    // 1 when the reply byte is 1
int CmdGetEncryptState(const BridgeDevice& device, int* encrypted);  // *encrypted = reply byte is 1

// --- Passwords ---------------------------------------------------------------------------------------
// The 32-byte blocks: a null block fails without sending.
int CmdSetPassword(const BridgeDevice& device, std::uint8_t selector, const std::uint8_t* block);
int CmdHasPassword(const BridgeDevice& device);  // 1 when the reply byte is 1
int CmdClearPassword(const BridgeDevice& device);
int CmdVerifyPassword(const BridgeDevice& device, const std::uint8_t* block);
int CmdDeletePassword(const BridgeDevice& device, const std::uint8_t* block);
int CmdGetPasswordNumber(const BridgeDevice& device);  // the reply byte; -1 on any failure
int CmdDeletePasswordAt(const BridgeDevice& device, std::uint8_t index);
// Copies the first 32 bytes of the 512-byte reply to out; a null out fails without sending.
int CmdGetPasswordInfo(const BridgeDevice& device, std::uint8_t* out);
// Old scheme: the text's bytes (at most 32, without terminator) in a 32-byte transfer.
int CmdSendPasswordOld(const BridgeDevice& device, const char* text);
int CmdProbePasswordOld(const BridgeDevice& device);  // the DeviceIoControl result alone

// --- Fingerprint module --------------------------------------------------------------------------------
int CmdFingerPressed(const BridgeDevice& device);  // 1 when the reply byte is 1
// Reply length from the command's fourth byte: 0x7F/0x71 -> 40, 0x7D -> 32, else 8.
std::uint32_t FingerReplyLength(const std::uint8_t command[kFingerCommandSize]);
// Sends the 7-byte module command; on success copies the reply (8, 32 or 40 bytes) to reply and sets
// *replyLength. Fails without sending when replyCapacity is smaller than the reply.
int CmdFingerCommand(const BridgeDevice& device, const std::uint8_t command[kFingerCommandSize],
                     std::uint8_t* reply, std::uint32_t replyCapacity, std::uint32_t* replyLength);
int CmdSetFingerMode(const BridgeDevice& device, int mode, int value);  // mode 0 or 1, else 0 unsent
int CmdSetFingerPrintPower(const BridgeDevice& device, int on);

// --- SD card -------------------------------------------------------------------------------------------
// operation in byte 2, the text length in byte 3, the text (without terminator; none for null) as data.
int CmdSdCardLock(const BridgeDevice& device, std::uint8_t operation, const char* text);
// *status receives the reply byte in any case (0 when nothing came back).
int CmdGetSdCardStatus(const BridgeDevice& device, std::uint8_t* status);

// --- Standard block commands --------------------------------------------------------------------------
// count 512-byte blocks from block (modulo 2^32), at most 128 blocks per command.
int Read10Blocks(const BridgeDevice& device, std::uint32_t block, std::uint32_t count, std::uint8_t* buffer);
int Write10Blocks(const BridgeDevice& device, std::uint32_t block, std::uint32_t count, const std::uint8_t* data);

}  // namespace quillon

#endif
