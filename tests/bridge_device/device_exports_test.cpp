// The fingerprint, card, SD, serial-number, trace and controller exports: the requests each sends, byte
// for byte, and the flows of the fingerprint module, the SD lock, resets and identify queries.

#include <algorithm>
#include <cstring>
#include <functional>

#include "access/last_error.h"
#include "device_fixture.h"

namespace quillon::testing {
namespace {

struct Request {
  std::vector<std::uint8_t> cdb;
  bool dataIn;
  std::uint32_t transfer;
  std::uint32_t inLength;
  std::uint32_t outLength;
  std::uint32_t timeout = 5;
  std::uint8_t sense = 0;
};

struct ExportCase {
  const char* name;
  std::function<int()> call;
  int result;
  std::vector<Request> last;  // the last requests sent, in order
  std::size_t total;          // requests in all
  std::vector<std::uint8_t> dataOut = {};  // what the first of `last` sent
};

class DeviceExportsTest : public DeviceTest {};

TEST_F(DeviceExportsTest, EachExportSendsItsRequests) {
  static std::uint8_t buffer[4096];
  static char text[QUILLON_TRACE_TEXT_SIZE];
  static const std::uint8_t command[7] = {0xC0, 0xC1, 0xC2, 0x71, 0xC4, 0xC5, 0xC6};
  static int serial[2];
  static unsigned char status;
  const auto V = Vendor;
  // Identification of the W25X40: RDID, then REMS, each through opcode slot 1.
  const std::size_t kIdentifyFlash = 4;
  const std::size_t kReadOpcodeLoad = 1;
  const std::size_t kEraseOpcodeLoads = 3;
  const std::vector<ExportCase> table = {
      {"IsPressFinger", [] { return IsPressFinger(kDrive1); }, 0, {{V("17 5c 00"), true, 1, 69, 69}}, 1},
      {"SetFingerMode", [] { return SetFingerMode(kDrive1, 1, 0x122); }, 1, {{V("17 5c 02 01 22"), false, 0, 68, 68}},
       1},
      {"FingerPrintCommand", [] { return FingerPrintCommand(kDrive1, command, buffer); }, 1,
       {{V("17 5c 01 c0 c1 c2 71 c4 c5 c6"), true, 40, 108, 108}}, 1},
      {"DeleteFingerInfo", [] { return DeleteFingerInfo(kDrive1); }, 1,
       {{V("17 42 02 00 00 02 00 00"), false, 512, 580, 580, 5, 24}}, 1, std::vector<std::uint8_t>(512, 0)},
      {"SetFingerPrintPower", [] { return SetFingerPrintPower(kDrive1, 7); }, 1, {{V("17 5c 04 01"), false, 0, 68, 68}},
       1},
      {"SetFingerPrintPower off", [] { return SetFingerPrintPower(kDrive1, 0); }, 1,
       {{V("17 5c 04 00"), false, 0, 68, 68}}, 1},
      {"ReadCard", [] { return ReadCard(kDrive1, buffer, 1000, 7); }, 1,
       {{V("17 43 02 00 00 00 07 00"), true, 512, 44, 580}, {V("17 43 02 00 00 00 08 00"), true, 512, 44, 580}}, 2},
      {"WriteCard", [] { return WriteCard(kDrive1, buffer, 600, 0x10203); }, 1,
       {{V("17 42 02 00 01 02 03 00"), false, 512, 580, 580, 5, 24},
        {V("17 42 02 00 01 02 04 00"), false, 512, 580, 580, 5, 24}},
       2, std::vector<std::uint8_t>(buffer, buffer + 512)},
      {"GetCard", [] { return GetCard(kDrive1, buffer, 9); }, 1, {{V("17 43 02 00 00 00 09 00"), true, 512, 44, 580}},
       1},
      {"SetSDCardLockCmd42", [] { return SetSDCardLockCmd42(kDrive1, 0x101, "abc"); }, 1,
       {{V("17 60 01 03"), false, 3, 71, 71, 300}}, 1, {'a', 'b', 'c'}},
      {"SetSDCardLockCmd42 null text", [] { return SetSDCardLockCmd42(kDrive1, 0, nullptr); }, 0,
       {{V("17 60 00 00"), false, 0, 68, 68, 300}}, 1},
      {"GetSDCardStatus", [] { return GetSDCardStatus(kDrive1, &status); }, 1, {{V("17 61"), true, 1, 69, 69}}, 1},
      {"GetTFCardSN", [] { return GetTFCardSN(kDrive1, serial); }, 1, {{V("17 4c"), true, 16, 84, 84}}, 1},
      {"GetFwSN", [] { return GetFwSN(kDrive1, text); }, 1, {{V("17 21 00 64 00 03 06 64"), true, 100, 168, 168}}, 1},
      {"Get6623FwSN", [] { return Get6623FwSN(kDrive1, text); }, 1,
       {{V("17 21 00 64 00 03 01 64"), true, 100, 168, 168}}, 1},
      {"GetPCTraces", [] { return GetPCTraces(kDrive1, text); }, 1,
       {{V("17 01 00 ff 01 fe 00 00"), true, 256, 44, 324}, {V("17 01 00 ff 01 ff 00 00"), true, 256, 44, 324}},
       kIdentifyFlash + kReadOpcodeLoad + 32},
      {"GetAppleTraces", [] { return GetAppleTraces(kDrive1, text); }, 1,
       {{V("17 01 00 ff 03 fe 00 00"), true, 256, 44, 324}, {V("17 01 00 ff 03 ff 00 00"), true, 256, 44, 324}},
       kIdentifyFlash + kReadOpcodeLoad + 32},
      {"ClearPCTraces", [] { return ClearPCTraces(kDrive1); }, 1,
       {{V("17 05 00 20"), false, 0, 68, 68}, {V("17 05 03 06"), false, 0, 68, 68}, {V("17 05 04 01"), false, 0, 68, 68},
        {V("17 07 01 d0 00"), false, 0, 68, 68}, {V("17 05 00 20"), false, 0, 68, 68},
        {V("17 05 03 06"), false, 0, 68, 68}, {V("17 05 04 01"), false, 0, 68, 68},
        {V("17 07 01 e0 00"), false, 0, 68, 68}, {V("17 05 00 20"), false, 0, 68, 68},
        {V("17 05 03 06"), false, 0, 68, 68}, {V("17 05 04 01"), false, 0, 68, 68},
        {V("17 07 01 f0 00"), false, 0, 68, 68}},
       kIdentifyFlash + 3 * (kEraseOpcodeLoads + 1)},
      {"ClearAppleTraces", [] { return ClearAppleTraces(kDrive1); }, 1,
       {{V("17 07 03 d0 00"), false, 0, 68, 68}, {V("17 05 00 20"), false, 0, 68, 68},
        {V("17 05 03 06"), false, 0, 68, 68}, {V("17 05 04 01"), false, 0, 68, 68},
        {V("17 07 03 e0 00"), false, 0, 68, 68}, {V("17 05 00 20"), false, 0, 68, 68},
        {V("17 05 03 06"), false, 0, 68, 68}, {V("17 05 04 01"), false, 0, 68, 68},
        {V("17 07 03 f0 00"), false, 0, 68, 68}},
       kIdentifyFlash + 3 * (kEraseOpcodeLoads + 1)},
      {"ResetChip", [] { ResetChip(kDrive1); return 1; }, 1, {{V("17 30 00 01"), false, 0, 68, 68}}, 1},
      {"ResetUSB", [] { return ResetUSB(kDrive1); }, 1, {{V("17 33 01"), false, 0, 68, 68}}, 1},
      {"GetDeviceFwVersion", [] { return GetDeviceFwVersion(kDrive1); }, 0x02000000, {{V("17 34"), true, 13, 81, 81, 2}},
       1},
      {"IsDevice6623", [] { return IsDevice6623(kDrive1); }, 0, {{V("17 34"), true, 13, 81, 81, 2}}, 1},
  };
  for (std::size_t i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<std::uint8_t>(i * 7);
  const std::uint8_t sn[] = {6, 3, 'S', 0, 'N', 0};
  controller->memory.Write(0x30664, sn, sizeof sn);
  controller->memory.Write(0x30164, sn, sizeof sn);

  for (const ExportCase& e : table) {
    SCOPED_TRACE(e.name);
    // Every case on a controller as it was: a reset makes the device vanish for the rest of the run.
    bridge.Device(kDrive1)->openable = true;
    bridge.ClearLog();
    EXPECT_EQ(e.call(), e.result);
    const std::vector<CdbRecord>& log = bridge.Log();
    ASSERT_EQ(log.size(), e.total);
    ASSERT_GE(log.size(), e.last.size());
    const std::size_t first = log.size() - e.last.size();
    for (std::size_t k = 0; k < e.last.size(); ++k) {
      const CdbRecord& r = log[first + k];
      const Request& want = e.last[k];
      SCOPED_TRACE(k);
      EXPECT_EQ(Cdb(r), want.cdb);
      EXPECT_EQ(r.dataIn, want.dataIn);
      EXPECT_EQ(r.transferLength, want.transfer);
      EXPECT_EQ(r.inLength, want.inLength);
      EXPECT_EQ(r.outLength, want.outLength);
      EXPECT_EQ(r.timeoutSeconds, want.timeout);
      EXPECT_EQ(r.senseLength, want.sense);
    }
    if (!e.dataOut.empty()) {
      EXPECT_EQ(log[first].dataOut, e.dataOut);
    }
    EXPECT_EQ(bridge.OpenHandles(), 0);
  }
}

TEST_F(DeviceExportsTest, RefusalsSendNothing) {
  std::uint8_t buffer[512];
  char text[QUILLON_TRACE_TEXT_SIZE];
  const std::string longText(256, 'p');
  const std::function<int()> refused[] = {
      [] { return SetFingerMode(kDrive1, 2, 0); },
      [] { return SetFingerMode(kDrive1, -1, 0); },
      [&] { return FingerPrintCommand(kDrive1, nullptr, buffer); },
      [&] { return FingerPrintCommand(kDrive1, buffer, nullptr); },
      [&] { return ReadCard(kDrive1, buffer, -1, 0); },
      [&] { return ReadCard(kDrive1, buffer, 512, -1); },
      [&] { return ReadCard(kDrive1, nullptr, 512, 0); },
      [&] { return ReadCard(kDrive1, buffer, 512, 0x1000000); },  // beyond 24-bit block numbers
      [&] { return WriteCard(kDrive1, buffer, 1024, 0xFFFFFF); },  // the second block would be beyond
      [&] { return WriteCard(kDrive1, buffer, -5, 0); },
      [&] { return GetCard(kDrive1, buffer, -1); },
      [&] { return SetSDCardLockCmd42(kDrive1, 1, longText.c_str()); },  // the length byte cannot say 256
      [&] { return GetTFCardSN(kDrive1, nullptr); },
      [&] { return GetFwSN(kDrive1, nullptr); },
      [&] { return GetPCTraces(kDrive1, nullptr); },
      [&] { return IsPressFinger(nullptr); },
      [&] { return GetPCTraces("\\\\.\\PhysicalDrive1234567890123", text); },  // 25 characters
      [&] { return GetDeviceFwVersion(nullptr) + 1; },
  };
  for (std::size_t i = 0; i < std::size(refused); ++i) {
    SCOPED_TRACE(i);
    bridge.ClearLog();
    ClearLastError();
    EXPECT_EQ(refused[i](), 0);
    EXPECT_TRUE(bridge.Log().empty());
    EXPECT_EQ(LastErrorKind(), ErrorKind::BadInput);  // refused with a reason, before any request
    EXPECT_STRNE(LastErrorText(), "");
  }
  unsigned char status = 0xEE;
  EXPECT_EQ(GetSDCardStatus(nullptr, &status), 0);
  EXPECT_EQ(status, 0);  // stored in any case
  ResetChip(nullptr);
  EXPECT_TRUE(bridge.Log().empty());
}

TEST_F(DeviceExportsTest, CardBlocksRoundTripAndTheLastBlockIsZeroFilled) {
  std::vector<std::uint8_t> data(700);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251 + 1);
  controller->cards[0].blocks.Write(41, std::vector<std::uint8_t>(512, 0xEE).data());
  ASSERT_EQ(WriteCard(kDrive1, data.data(), 700, 40), 1);
  std::vector<std::uint8_t> back(1024 + 16, 0xCC);
  ASSERT_EQ(ReadCard(kDrive1, back.data(), 1024, 40), 1);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
  EXPECT_TRUE(std::all_of(back.begin() + 700, back.begin() + 1024, [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(back.begin() + 1024, back.end(), [](std::uint8_t b) { return b == 0xCC; }));
  // A read of a part of a block stops at the caller's length.
  std::vector<std::uint8_t> part(100 + 8, 0xCC);
  ASSERT_EQ(ReadCard(kDrive1, part.data(), 100, 40), 1);
  EXPECT_TRUE(std::equal(part.begin(), part.begin() + 100, data.begin()));
  EXPECT_TRUE(std::all_of(part.begin() + 100, part.end(), [](std::uint8_t b) { return b == 0xCC; }));
  std::uint8_t block[512];
  ASSERT_EQ(GetCard(kDrive1, block, 41), 1);
  EXPECT_TRUE(std::equal(block, block + 188, data.begin() + 512));
  // No card in slot 0: every card export fails.
  controller->cards[0].present = false;
  EXPECT_EQ(GetCard(kDrive1, block, 41), 0);
  EXPECT_EQ(WriteCard(kDrive1, data.data(), 10, 0), 0);
  EXPECT_EQ(DeleteFingerInfo(kDrive1), 0);
}

TEST_F(DeviceExportsTest, FingerprintFlowOnTheVirtualModule) {
  std::uint8_t reply[QUILLON_FINGER_REPLY_MAX + 8];
  auto send = [&](std::uint8_t code, std::uint8_t slot = 0) {
    std::fill(std::begin(reply), std::end(reply), 0xCC);
    const std::vector<std::uint8_t> c = FingerCommand(code, slot);
    return FingerPrintCommand(kDrive1, c.data(), reply);
  };
  auto ack = [&] { return reply[4]; };

  ASSERT_EQ(SetFingerPrintPower(kDrive1, 1), 1);
  EXPECT_EQ(controller->finger.power, 1);
  ASSERT_EQ(SetFingerMode(kDrive1, 1, 3), 1);
  EXPECT_EQ(controller->finger.mode, 1);
  EXPECT_EQ(controller->finger.modeValue, 3);

  EXPECT_EQ(IsPressFinger(kDrive1), 0);
  ASSERT_EQ(send(0x01, 3), 1);
  EXPECT_EQ(ack(), kFingerAckNoFinger);  // nothing on the sensor to enrol
  controller->finger.pressedByte = 1;
  controller->State<DeviceModuleState>().placedFinger = 7;
  EXPECT_EQ(IsPressFinger(kDrive1), 1);
  ASSERT_EQ(send(0x01, 3), 1);
  EXPECT_EQ(ack(), kFingerAckOk);
  EXPECT_EQ(reply[0], 0xF5);
  EXPECT_EQ(reply[7], 0xF5);
  EXPECT_EQ(reply[8], 0xCC);  // 8 bytes for an ordinary command
  ASSERT_EQ(send(0x09), 1);
  EXPECT_EQ(reply[2], 1);  // one finger enrolled
  ASSERT_EQ(send(0x0C), 1);
  EXPECT_EQ(ack(), kFingerAckOk);
  EXPECT_EQ(reply[2], 3);  // matched in slot 3
  controller->State<DeviceModuleState>().placedFinger = 8;
  ASSERT_EQ(send(0x0C), 1);
  EXPECT_EQ(ack(), kFingerAckNoMatch);

  // Template bytes (32) and the module description (40).
  ASSERT_EQ(send(0x7D, 3), 1);
  EXPECT_EQ(reply[0], 0xA5);
  EXPECT_EQ(reply[1], 7);
  const std::vector<std::uint8_t> t = FingerTemplate(7);
  EXPECT_TRUE(std::equal(t.begin(), t.end(), reply + 2));
  EXPECT_EQ(reply[32], 0xCC);
  ASSERT_EQ(send(0x71), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 7), "Virtual");
  EXPECT_EQ(reply[40], 0xCC);

  // The templates live in the fingerprint data block; deleting it forgets every finger.
  std::uint8_t block[512];
  ASSERT_EQ(GetCard(kDrive1, block, 512), 1);
  EXPECT_EQ(block[3 * 32], 0xA5);
  ASSERT_EQ(DeleteFingerInfo(kDrive1), 1);
  ASSERT_EQ(send(0x09), 1);
  EXPECT_EQ(reply[2], 0);

  // Switched off, the module answers nothing: a rejected command is a failure.
  ASSERT_EQ(SetFingerPrintPower(kDrive1, 0), 1);
  EXPECT_EQ(send(0x09), 0);
  EXPECT_EQ(reply[0], 0xCC);  // nothing copied
  EXPECT_EQ(controller->finger.commands.size(), 9u);
}

TEST_F(DeviceExportsTest, SdCardLockFlow) {
  unsigned char status = 0xEE;
  struct Step {
    int operation;
    const char* text;
    int result;
    std::uint8_t status;
  };
  const std::uint8_t kPw = kSdStatusPassword, kLocked = kSdStatusLocked, kFailed = kSdStatusLockFailed;
  const Step steps[] = {
      {0x04, "1234", 0, kFailed},              // lock without a password
      {0x01, "1234", 1, kPw},                  // set
      {0x04, "1234", 1, kPw | kLocked},        // lock
      {0x00, "9999", 0, kPw | kLocked | kFailed},  // wrong password
      {0x00, "1234", 1, kPw},                  // unlock
      {0x05, "1234abcd", 1, kPw | kLocked},    // change (old then new) and lock
      {0x00, "1234", 0, kPw | kLocked | kFailed},
      {0x00, "abcd", 1, kPw},
      {0x02, "abcd", 1, 0},                    // clear
      {0x01, "x", 1, kPw},
      {0x04, "x", 1, kPw | kLocked},
      {0x08, nullptr, 1, 0},                   // forced erase
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.text ? s.text : "(null)");
    EXPECT_EQ(SetSDCardLockCmd42(kDrive1, s.operation, s.text), s.result);
    ASSERT_EQ(GetSDCardStatus(kDrive1, &status), 1);
    EXPECT_EQ(status, s.status);
  }
  EXPECT_EQ(controller->sdLockRequests.size(), std::size(steps));
}

TEST_F(DeviceExportsTest, CardSerialAndIdentifyQueries) {
  const std::uint8_t serial[16] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xFF, 0xFF};
  std::copy(std::begin(serial), std::end(serial), controller->cards[0].serial.begin());
  int sn[2] = {0, 0};
  ASSERT_EQ(GetTFCardSN(kDrive1, sn), 1);
  // 0x00 12 34 56 78 9A BC 00: low word first.
  EXPECT_EQ(static_cast<std::uint32_t>(sn[0]), 0x789ABC00u);
  EXPECT_EQ(static_cast<std::uint32_t>(sn[1]), 0x00123456u);
  controller->cards[0].present = false;
  sn[0] = sn[1] = 5;
  EXPECT_EQ(GetTFCardSN(kDrive1, sn), 0);
  EXPECT_EQ(sn[0], 5);

  struct IdentifyCase {
    const char* name;
    bool formatB;
    std::uint32_t word2;
    int version;
    int is6623;
  };
  const IdentifyCase cases[] = {
      {"FCC1", true, 0x02010304, 0x02010304, 0},
      {"FCC2", false, 0x01000000, 0x01000000, 0},
      {"BC1", true, 7, 7, 1},
      {"6623", true, 0x00000100, 0x100, 1},
      {"XYZ", true, 9, 9, 0},            // identifies, but is of no known family
      {"FCC1", true, 0xFFFFFFFE, -2, 0},  // the word is handed back as its 32 bits
  };
  for (const IdentifyCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.formatB) {
      controller->SetIdentifyB(c.name, 0, c.word2);
    } else {
      controller->SetIdentifyF(c.name, 0, c.word2);
    }
    EXPECT_EQ(GetDeviceFwVersion(kDrive1), c.version);
    EXPECT_EQ(IsDevice6623(kDrive1), c.is6623);
  }
  controller->identifyReply[0] = 'Q';  // neither format
  EXPECT_EQ(GetDeviceFwVersion(kDrive1), -1);
  EXPECT_EQ(IsDevice6623(kDrive1), 0);
  EXPECT_EQ(GetDeviceFwVersion("\\\\.\\PhysicalDrive7"), -1);
}

TEST_F(DeviceExportsTest, ResetsAreReportedAndTheStalePathFailsCleanly) {
  EXPECT_EQ(ResetUSB(kDrive1), 1);
  EXPECT_EQ(controller->resetUsbCount, 1);
  // The controller has left the bus: the next calls on the old path fail without touching anything.
  char text[QUILLON_SERIAL_TEXT_SIZE] = "unchanged";
  EXPECT_EQ(IsPressFinger(kDrive1), 0);
  EXPECT_EQ(GetFwSN(kDrive1, text), 0);
  EXPECT_STREQ(text, "unchanged");
  EXPECT_EQ(GetDeviceFwVersion(kDrive1), -1);
  EXPECT_EQ(ResetUSB(kDrive1), 0);
  ResetChip(kDrive1);
  EXPECT_EQ(controller->resetChipCount, 0);
  EXPECT_EQ(bridge.OpenHandles(), 0);

  // Back again: a chip reset powers the module down and relocks a card with a password.
  bridge.Device(kDrive1)->openable = true;
  ASSERT_EQ(SetSDCardLockCmd42(kDrive1, 0x01, "pw"), 1);
  ASSERT_EQ(SetFingerPrintPower(kDrive1, 1), 1);
  ResetChip(kDrive1);
  EXPECT_EQ(controller->resetChipCount, 1);
  EXPECT_EQ(controller->finger.power, -1);
  EXPECT_EQ(controller->sdStatus & kSdStatusLocked, kSdStatusLocked);
  EXPECT_EQ(IsDevice6623(kDrive1), 0);
  // A controller that rejects the reset: a failure.
  bridge.Device(kDrive1)->openable = true;
  bridge.AddFault({MatchVendor(0x33), FaultKind::CheckCondition});
  EXPECT_EQ(ResetUSB(kDrive1), 0);
}

}  // namespace
}  // namespace quillon::testing
