// The per-thread reason for the library's last failure: recorded by the pass-through layer for devices
// that do not open or fail a command, kept per thread, and readable without changing any result.

#include <thread>

#include "access/last_error.h"
#include "access/scsi.h"
#include "bridge_fixture.h"
#include "quillon_password.h"

namespace quillon::testing {
namespace {

class LastErrorTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    ClearLastError();
  }
};

struct DeviceCase {
  const char* name;
  FaultKind fault;       // applied to every request when not unplugged
  bool unplug;
  const char* reasonPart;
};

TEST_F(LastErrorTest, DeviceFailuresLeaveAReasonAndKeepTheResult) {
  const DeviceCase cases[] = {
      {"unplugged", FaultKind::Fail, true, "cannot open \\\\.\\PhysicalDrive1"},
      {"failed", FaultKind::Fail, false, "did not complete command 17 "},
      {"rejected", FaultKind::CheckCondition, false, "refused command 17 "},
  };
  for (const DeviceCase& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualBridge other;
    other.AttachDisk(1);
    if (c.unplug)
      other.Unplug("\\\\.\\PhysicalDrive1");
    else
      other.AddFault(Fault{MatchAny(), c.fault, platform::kErrorIoDevice, 20, 0, -1});
    ClearLastError();
    EXPECT_EQ(HasPassword("\\\\.\\PhysicalDrive1"), 0);
    EXPECT_EQ(LastErrorKind(), ErrorKind::Device);
    EXPECT_NE(std::string(LastErrorText()).find(c.reasonPart), std::string::npos) << LastErrorText();
  }
}

TEST_F(LastErrorTest, SuccessRecordsNothingAndReasonsStayOnTheirThread) {
  EXPECT_EQ(HasPassword("\\\\.\\PhysicalDrive1"), 0);  // no password set: a plain "no"
  EXPECT_EQ(LastErrorKind(), ErrorKind::None);
  EXPECT_STREQ(LastErrorText(), "");

  RefuseInput("label: %s", "bad");
  std::thread([] {
    EXPECT_EQ(LastErrorKind(), ErrorKind::None);
    ReportDeviceFailure("other thread");
  }).join();
  EXPECT_EQ(LastErrorKind(), ErrorKind::BadInput);
  EXPECT_STREQ(LastErrorText(), "label: bad");
  ClearLastError();
  EXPECT_EQ(LastErrorKind(), ErrorKind::None);
}

TEST(LastErrorText, LongReasonsAreCutAndNumbersGrouped) {
  EXPECT_EQ(RefuseInput("%s", std::string(1000, 'x').c_str()), 0);
  EXPECT_EQ(std::string(LastErrorText()).size(), kLastErrorTextSize - 1);
  const std::pair<std::uint64_t, const char*> numbers[] = {
      {0, "0"}, {999, "999"}, {1000, "1,000"}, {65525, "65,525"}, {4294967291u, "4,294,967,291"}};
  for (const auto& [value, text] : numbers) EXPECT_EQ(GroupDigits(value), text);
  ClearLastError();
}

}  // namespace
}  // namespace quillon::testing
