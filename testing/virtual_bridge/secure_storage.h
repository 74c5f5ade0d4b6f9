#ifndef QUILLON_TESTING_SECURE_STORAGE_H
#define QUILLON_TESTING_SECURE_STORAGE_H

// What an emulated controller does for the hidden partition and the old password scheme:
//
// - Hidden sectors. The firmware reads the hidden sector count N from its PC image in the SPI flash
//   (the fourth record after key 0x30207, value bytes most significant first) and answers READ(10)
//   and WRITE(10) at blocks 2^32 - N to 2^32 - 1, beyond the visible disk. They are kept on the same
//   sparse disk past its end (a stored bridge keeps them in its .beyond file).
// - Old scheme unlock. The old-scheme unlock command is checked against the password record at
//   0x30830 when the flag word at 0x307E8 says a password is set.
//
//   VirtualBridge bridge;
//   auto ctl = bridge.AttachDisk(1);
//   InstallSecureStorageHandlers(bridge);

#include <cstdint>
#include <vector>

#include "virtual_bridge.h"

namespace quillon::testing {

constexpr std::uint32_t kHiddenCountKey = 0x30207;

// N as the controller's firmware finds it in flash copy 0; 0 when the flash or the record is missing.
std::uint32_t HiddenSectorCount(const VirtualController& controller);

struct OldSchemeState {
  bool unlocked = false;   // the last unlock matched the stored record
  int unlockAttempts = 0;
};

// Replaces the READ(10)/WRITE(10) handlers (blocks inside the visible disk behave as before) and the
// old-scheme unlock handler.
void InstallSecureStorageHandlers(VirtualBridge& bridge);

}  // namespace quillon::testing

#endif
