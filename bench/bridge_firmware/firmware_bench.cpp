// What a firmware update costs on the bridge: pass-through requests, bytes moved and virtual waiting
// time of a full UpdateFw on SPI flash and on cards, and of the verified rewrite and the copy check,
// measured on the virtual bridge. Per call:
//   requests      pass-through requests sent
//   data_bytes    SCSI data moved (DataTransferLength, both directions)
//   buffer_bytes  request-buffer bytes handed to and back from the system (input + output lengths)
//   wait_ms       virtual time spent in the library's waits
// The first argument is the image size in bytes (end record placed so that the padded length is it).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "access/bridge_device.h"
#include "access/flash.h"
#include "firmware/firmware_update.h"
#include "firmware_image_builder.h"
#include "quillon_firmware.h"
#include "testing/virtual_bridge/virtual_bridge.h"

namespace {

using namespace quillon;
using namespace quillon::testing;

const char kPath[] = "\\\\.\\PhysicalDrive1";

std::vector<std::uint8_t> Image(std::size_t padded, bool appleLayout, bool cards) {
  fwbuild::ImageRecipe recipe = appleLayout ? fwbuild::AppleRecipe() : fwbuild::PcRecipe();
  if (cards) recipe.optionBits = 0x80;
  // The end record sits 100 bytes before the trailer area, so the padded length is exactly `padded`.
  recipe.endRecordOffset = padded - 100;
  return fwbuild::BuildImage(recipe).bytes;
}

void Report(benchmark::State& state, const VirtualBridge& bridge, std::uint64_t waitedMs, const char* label) {
  double data = 0;
  double buffer = 0;
  for (const CdbRecord& r : bridge.Log()) {
    data += r.transferLength;
    buffer += r.inLength + r.outLength;
  }
  state.counters["requests"] = static_cast<double>(bridge.Log().size());
  state.counters["data_bytes"] = data;
  state.counters["buffer_bytes"] = buffer;
  state.counters["wait_ms"] = static_cast<double>(waitedMs);
  state.SetLabel(label);
}

// range(0): image size; range(1): 1 for a two-image file.
void UpdateOnFlash(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const bool two = state.range(1) != 0;
  const std::vector<std::uint8_t> pc = Image(size, false, false);
  const std::vector<std::uint8_t> apple = Image(size, true, false);
  const std::string file = fwbuild::FirmwareFile(pc, two ? &apple : nullptr);
  for (auto _ : state) {
    state.PauseTiming();
    VirtualBridge bridge;
    bridge.SetLogDataLimit(0);
    bridge.AttachDisk(1);
    state.ResumeTiming();
    if (UpdateFw(kPath, file.data(), static_cast<std::uint32_t>(file.size()), "Bench") != 1)
      state.SkipWithError("update failed");
    state.PauseTiming();
    Report(state, bridge, bridge.NowMilliseconds(), two ? "flash, PC + Apple" : "flash, PC only");
    state.ResumeTiming();
  }
}

void UpdateOnCards(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const bool two = state.range(1) != 0;
  const std::vector<std::uint8_t> pc = Image(size, false, true);
  const std::vector<std::uint8_t> apple = Image(size, true, true);
  const std::string file = fwbuild::FirmwareFile(pc, two ? &apple : nullptr);
  for (auto _ : state) {
    state.PauseTiming();
    VirtualBridge bridge;
    bridge.SetLogDataLimit(0);
    auto ctl = bridge.AttachDisk(1);
    ctl->flash.present = false;
    ctl->cards[0].present = true;
    ctl->cards[1].present = true;
    state.ResumeTiming();
    if (UpdateFw(kPath, file.data(), static_cast<std::uint32_t>(file.size()), "Bench") != 1)
      state.SkipWithError("update failed");
    state.PauseTiming();
    Report(state, bridge, bridge.NowMilliseconds(), two ? "two cards, PC + Apple" : "two cards, PC only");
    state.ResumeTiming();
  }
}

// The verified rewrite on flash (range(1) = 0) or on two cards (1), both images.
void RewriteCopies(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const bool cards = state.range(1) != 0;
  const std::vector<std::uint8_t> pc = Image(size, false, cards);
  const std::vector<std::uint8_t> apple = Image(size, true, cards);
  for (auto _ : state) {
    state.PauseTiming();
    VirtualBridge bridge;
    bridge.SetLogDataLimit(0);
    auto ctl = bridge.AttachDisk(1);
    if (cards) {
      const std::uint8_t flags[4] = {0x80, 0, 0, 0};
      ctl->memory.Write(kFirmwareFlagsAddress, flags, 4);
      ctl->cards[0].present = true;
      ctl->cards[1].present = true;
    }
    BridgeDevice device;
    OpenBridgeDevice(&device, kPath);
    IdentifyFlash(device);
    bridge.ClearLog();
    state.ResumeTiming();
    if (WriteFirmwareCopies(device, pc.data(), static_cast<std::uint32_t>(pc.size()), apple.data(),
                            static_cast<std::uint32_t>(apple.size())) != 1)
      state.SkipWithError("rewrite failed");
    state.PauseTiming();
    Report(state, bridge, bridge.NowMilliseconds(), cards ? "two cards" : "flash");
    state.ResumeTiming();
  }
}

void CheckCopies(benchmark::State& state) {
  const bool cards = state.range(0) != 0;
  std::vector<char> text(QUILLON_CHECK_FW_TEXT_CAPACITY);
  for (auto _ : state) {
    state.PauseTiming();
    VirtualBridge bridge;
    bridge.SetLogDataLimit(0);
    auto ctl = bridge.AttachDisk(1);
    if (cards) {
      ctl->flash.present = false;
      ctl->cards[0].present = true;
      ctl->cards[1].present = true;
    }
    state.ResumeTiming();
    CheckFw(kPath, text.data());
    state.PauseTiming();
    Report(state, bridge, bridge.NowMilliseconds(), cards ? "two cards" : "flash");
    state.ResumeTiming();
  }
}

}  // namespace

BENCHMARK(UpdateOnFlash)->ArgsProduct({{1024, 61440}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(UpdateOnCards)->ArgsProduct({{1024, 61440}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(RewriteCopies)->ArgsProduct({{1024, 61440}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(CheckCopies)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
