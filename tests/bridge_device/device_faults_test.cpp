// Every export of the family under every fault at every request it sends: the device failing the
// request, answering short, rejecting it, or vanishing before it. An export then either reports its
// failure value or, when a retry or an unchecked step made up for the fault, the same result, output and
// device state as without the fault; it never writes past the caller's buffer and leaves no handle open.

#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>

#include "device_fixture.h"

namespace quillon::testing {
namespace {

constexpr std::size_t kGuard = 64;
constexpr char kFill = '#';

struct Rig {
  Rig() {
    controller = bridge.AttachDisk(1);
    InstallDeviceModules(bridge);
    controller->cards[0].present = true;
    controller->finger.pressedByte = 1;
    controller->finger.power = 1;
    const std::uint8_t serial[16] = {1, 2, 3, 4, 5, 6};
    std::copy(std::begin(serial), std::end(serial), controller->cards[0].serial.begin());
    const std::uint8_t sn[] = {10, 3, 'S', 0, 'N', 0, '4', 0, '2', 0};
    controller->memory.Write(0x30664, sn, sizeof sn);
    controller->memory.Write(0x30164, sn, sizeof sn);
    WriteTraceRecords(controller->flash, 0x1E000, SampleTraceRecords("PC"));
    WriteTraceRecords(controller->flash, 0x3E000, SampleTraceRecords("MAC"));
    for (std::uint32_t b = 0; b < 4; ++b) {
      std::vector<std::uint8_t> block(512, static_cast<std::uint8_t>(0x40 + b));
      controller->cards[0].blocks.Write(8 + b, block.data());
    }
    State<DeviceModuleState>().sdPassword = "pw";
    controller->sdStatus = kSdStatusPassword | kSdStatusLocked;
  }
  template <class T>
  T& State() {
    return controller->State<T>();
  }
  // What the exports can change on the device.
  std::string Snapshot() {
    std::ostringstream s;
    std::uint8_t block[512];
    for (std::uint64_t b : {8, 9, 10, 11, 512}) {
      controller->cards[0].blocks.Read(b, block);
      s.write(reinterpret_cast<const char*>(block), sizeof block);
    }
    const auto& cells = controller->flash.cells;
    s.write(reinterpret_cast<const char*>(cells.data() + 0x1D000), 0x3000);
    s.write(reinterpret_cast<const char*>(cells.data() + 0x3D000), 0x3000);
    s << controller->finger.power << ' ' << controller->finger.mode << ' ' << int{controller->sdStatus} << ' '
      << State<DeviceModuleState>().sdPassword;
    return s.str();
  }
  VirtualBridge bridge;
  std::shared_ptr<VirtualController> controller;
};

struct Case {
  const char* name;
  std::size_t outputSize;                        // bytes the export may write
  std::function<int(unsigned char* out)> call;   // out: outputSize bytes, guarded
  int failure;                                   // the failure value
  bool reports = true;                           // false: the export has no result to judge
  std::function<void(Rig&)> prepare = nullptr;
};

struct Outcome {
  int result;
  std::string output;
  std::string state;
  std::size_t requests;
};

Outcome RunCase(const Case& c, const Fault* fault) {
  Rig rig;
  if (c.prepare) c.prepare(rig);
  if (fault) rig.bridge.AddFault(*fault);
  std::vector<unsigned char> out(c.outputSize + kGuard, kFill);
  Outcome run;
  run.result = c.call(out.data());
  run.output.assign(out.begin(), out.begin() + c.outputSize);
  run.state = rig.Snapshot();
  run.requests = rig.bridge.Log().size();
  EXPECT_TRUE(std::all_of(out.begin() + c.outputSize, out.end(), [](unsigned char ch) { return ch == kFill; }))
      << "written past the caller's buffer";
  EXPECT_EQ(rig.bridge.OpenHandles(), 0);
  return run;
}

TEST(DeviceFaultSweepTest, EveryExportUnderEveryFaultAtEveryRequest) {
  static const char* const kPath = kDrive1;
  static const std::uint8_t data[1000] = {1, 2, 3};
  const std::vector<std::uint8_t> count = FingerCommand(0x09);
  const std::vector<std::uint8_t> enrol = FingerCommand(0x01, 2);
  const std::vector<std::uint8_t> info = FingerCommand(0x7F);
  const Case cases[] = {
      {"IsPressFinger", 0, [](unsigned char*) { return IsPressFinger(kPath); }, 0},
      {"SetFingerMode", 0, [](unsigned char*) { return SetFingerMode(kPath, 0, 1); }, 0},
      {"FingerPrintCommand count", 40, [&](unsigned char* o) { return FingerPrintCommand(kPath, count.data(), o); }, 0},
      {"FingerPrintCommand enrol", 40, [&](unsigned char* o) { return FingerPrintCommand(kPath, enrol.data(), o); }, 0},
      {"FingerPrintCommand info", 40, [&](unsigned char* o) { return FingerPrintCommand(kPath, info.data(), o); }, 0},
      {"DeleteFingerInfo", 0, [](unsigned char*) { return DeleteFingerInfo(kPath); }, 0},
      {"SetFingerPrintPower", 0, [](unsigned char*) { return SetFingerPrintPower(kPath, 0); }, 0},
      {"ReadCard", 1500, [](unsigned char* o) { return ReadCard(kPath, o, 1500, 8); }, 0},
      {"WriteCard", 0, [](unsigned char*) { return WriteCard(kPath, data, 1000, 9); }, 0},
      {"GetCard", 512, [](unsigned char* o) { return GetCard(kPath, o, 10); }, 0},
      {"SetSDCardLockCmd42", 0, [](unsigned char*) { return SetSDCardLockCmd42(kPath, 0, "pw"); }, 0},
      {"GetSDCardStatus", 1, [](unsigned char* o) { return GetSDCardStatus(kPath, o); }, 0},
      {"GetTFCardSN", 8, [](unsigned char* o) { return GetTFCardSN(kPath, reinterpret_cast<int*>(o)); }, 0},
      {"GetFwSN", QUILLON_SERIAL_TEXT_SIZE, [](unsigned char* o) { return GetFwSN(kPath, reinterpret_cast<char*>(o)); },
       0},
      {"Get6623FwSN", QUILLON_SERIAL_TEXT_SIZE,
       [](unsigned char* o) { return Get6623FwSN(kPath, reinterpret_cast<char*>(o)); }, 0},
      {"GetPCTraces", QUILLON_TRACE_TEXT_SIZE,
       [](unsigned char* o) { return GetPCTraces(kPath, reinterpret_cast<char*>(o)); }, 0},
      {"GetAppleTraces", QUILLON_TRACE_TEXT_SIZE,
       [](unsigned char* o) { return GetAppleTraces(kPath, reinterpret_cast<char*>(o)); }, 0},
      {"ClearPCTraces", 0, [](unsigned char*) { return ClearPCTraces(kPath); }, 0},
      {"ClearAppleTraces", 0, [](unsigned char*) { return ClearAppleTraces(kPath); }, 0},
      {"ResetChip", 0, [](unsigned char*) { ResetChip(kPath); return 1; }, 0, false},
      {"ResetUSB", 0, [](unsigned char*) { return ResetUSB(kPath); }, 0},
      {"GetDeviceFwVersion", 0, [](unsigned char*) { return GetDeviceFwVersion(kPath); }, -1},
      {"IsDevice6623", 0, [](unsigned char*) { return IsDevice6623(kPath); }, 0, true,
       [](Rig& rig) { rig.controller->SetIdentifyB("BC1", 0, 0x01000000); }},
  };
  const FaultKind kinds[] = {FaultKind::Fail, FaultKind::ShortReply, FaultKind::CheckCondition, FaultKind::Disappear};
  int sweeps = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome clean = RunCase(c, nullptr);
    ASSERT_NE(clean.result, c.failure);
    ASSERT_GT(clean.requests, 0u);
    for (std::size_t k = 0; k < clean.requests; ++k) {
      for (FaultKind kind : kinds) {
        SCOPED_TRACE("request " + std::to_string(k) + ", fault " + std::to_string(static_cast<int>(kind)));
        Fault fault;
        fault.match = MatchAny();
        fault.kind = kind;
        fault.skip = static_cast<int>(k);
        const Outcome run = RunCase(c, &fault);
        ++sweeps;
        if (run.result == c.failure || !c.reports) continue;
        // Made up for: everything as without the fault.
        EXPECT_EQ(run.result, clean.result);
        EXPECT_TRUE(run.output == clean.output) << "output differs from the clean run";
        EXPECT_TRUE(run.state == clean.state) << "device state differs from the clean run";
      }
    }
  }
  EXPECT_GT(sweeps, 400);
}

}  // namespace
}  // namespace quillon::testing
