#ifndef QUILLON_TESTS_DEVICE_FIXTURE_H
#define QUILLON_TESTS_DEVICE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "device_modules.h"
#include "quillon_device.h"
#include "virtual_bridge.h"

namespace quillon::testing {

inline constexpr const char* kDrive1 = "\\\\.\\PhysicalDrive1";

// A virtual bridge on "\\.\PhysicalDrive1" with its device modules and a card in slot 0.
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller = bridge.AttachDisk(1);
    InstallDeviceModules(bridge);
    controller->cards[0].present = true;
  }

  // The vendor CDB "17 <bytes...>" padded with zeros to byte 11, then "ncmd".
  static std::vector<std::uint8_t> Vendor(const std::string& hex) {
    std::vector<std::uint8_t> cdb;
    for (std::size_t i = 0; i < hex.size(); i += 3)
      cdb.push_back(static_cast<std::uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    cdb.resize(12, 0);
    cdb.insert(cdb.end(), {'n', 'c', 'm', 'd'});
    return cdb;
  }
  static std::vector<std::uint8_t> Cdb(const CdbRecord& r) { return {r.cdb.begin(), r.cdb.begin() + r.cdbLength}; }

  VirtualBridge bridge;
  std::shared_ptr<VirtualController> controller;
};

}  // namespace quillon::testing

#endif
