// Requests and bytes that flash identification and ReadFlash send through the pass-through seam, and
// their cost on the virtual bridge. Per call:
//   requests      pass-through requests sent
//   data_bytes    SCSI data moved (DataTransferLength, both directions)
//   buffer_bytes  request-buffer bytes handed to and back from the system (input + output lengths)

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "access/bridge_device.h"
#include "access/flash.h"
#include "quillon_flash.h"
#include "testing/virtual_bridge/flash_parts.h"
#include "testing/virtual_bridge/virtual_bridge.h"

namespace {

using namespace quillon;
using namespace quillon::testing;

const char kPath[] = "\\\\.\\PhysicalDrive1";

FlashPart BenchPart(int which) {
  switch (which) {
    case 1: {  // no REMS answer: one more opcode load and read with 0xAB
      return FlashPartFromCatalogue("W25X80");
    }
    case 2: {  // no RDID answer: one more opcode load and read with 0x15
      FlashPart p = FlashPartW25X40();
      p.answersRdid = false;
      p.rdid15 = {0xEF, 0x30, 0x13};
      return p;
    }
    case 3:  // byte-programmed part: 1-byte pages
      return FlashPartFromCatalogue("SST25VF040B");
    default:
      return FlashPartW25X40();
  }
}

const char* PartLabel(int which) {
  static const char* labels[] = {"W25X40", "W25X80_rems_retry", "rdid_retry_0x15", "SST25VF040B_page1"};
  return labels[which];
}

void Report(benchmark::State& state, const VirtualBridge& bridge) {
  double data = 0;
  double buffer = 0;
  for (const CdbRecord& r : bridge.Log()) {
    data += r.transferLength;
    buffer += r.inLength + r.outLength;
  }
  state.counters["requests"] = static_cast<double>(bridge.Log().size());
  state.counters["data_bytes"] = data;
  state.counters["buffer_bytes"] = buffer;
  state.SetLabel(PartLabel(static_cast<int>(state.range(0))));
}

void BM_IdentifyFlash(benchmark::State& state) {
  VirtualBridge bridge;
  bridge.SetLogDataLimit(0);
  bridge.AttachDisk(1)->flash.Load(BenchPart(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    bridge.ClearLog();
    BridgeDevice device{};
    OpenBridgeDevice(&device, kPath);
    if (IdentifyFlash(device) != 1) state.SkipWithError("identification failed");
    benchmark::DoNotOptimize(device.pageSize);
  }
  Report(state, bridge);
}
BENCHMARK(BM_IdentifyFlash)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

void BM_ReadFlash(benchmark::State& state) {
  VirtualBridge bridge;
  bridge.SetLogDataLimit(0);
  bridge.AttachDisk(1)->flash.Load(BenchPart(static_cast<int>(state.range(0))));
  std::vector<char> text(QUILLON_FLASH_DUMP_CHARS);
  for (auto _ : state) {
    bridge.ClearLog();
    std::uint32_t length = 0;
    if (ReadFlash(kPath, text.data(), &length, 0) != 1) state.SkipWithError("ReadFlash failed");
    benchmark::DoNotOptimize(text.data());
  }
  Report(state, bridge);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFlashDumpBytes);
}
BENCHMARK(BM_ReadFlash)->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
