#ifndef QUILLON_TESTS_BRIDGE_FIXTURE_H
#define QUILLON_TESTS_BRIDGE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "virtual_bridge.h"

namespace quillon::testing {

// A virtual bridge on "\\.\PhysicalDrive1" and a device record for it.
class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller = bridge.AttachDisk(1);
    ASSERT_TRUE(OpenBridgeDevice(&device, "\\\\.\\PhysicalDrive1"));
  }

  // The vendor CDB "17 <bytes...>" padded with zeros to byte 11, then "ncmd".
  static std::vector<std::uint8_t> Vendor(const std::string& hex) {
    std::vector<std::uint8_t> cdb = Hex(hex);
    cdb.resize(12, 0);
    cdb.insert(cdb.end(), {'n', 'c', 'm', 'd'});
    return cdb;
  }
  static std::vector<std::uint8_t> Hex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size() + 1; i += 3)
      bytes.push_back(static_cast<std::uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return bytes;
  }
  static std::vector<std::uint8_t> Cdb(const CdbRecord& r) { return {r.cdb.begin(), r.cdb.begin() + r.cdbLength}; }

  std::vector<CdbRecord> Requests(std::uint8_t sub) const { return bridge.LogMatching(MatchVendor(sub)); }

  VirtualBridge bridge;
  std::shared_ptr<VirtualController> controller;
  BridgeDevice device{};
};

}  // namespace quillon::testing

#endif
