// Passwords of both schemes through the exports: what reaches the controller, the old scheme's record
// in controller memory and in both firmware images, and the refusals made before anything is sent.

#include <cstring>

#include "access/digest.h"
#include "access/last_error.h"
#include "firmware/firmware_image.h"
#include "secure/password_old.h"
#include "secure_fixture.h"

namespace quillon::testing {
namespace {

// Computed outside the library: SHA-1 of the text, and the CRC-32 of the text zero-padded to 32 bytes
// without the final inversion.
struct Vector {
  const char* text;
  const char* sha1;
  std::uint32_t crc;
};
const Vector kSecret = {"secret", "e5 e9 fa 1b a3 1e cd 1a e8 4f 75 ca aa 47 4f 3a 66 3f 05 f4", 0x607ba3e6};
const Vector kOther = {"Passw0rd!", "f4 a6 99 73 e7 b0 bf 9d 16 0f 9f 60 e3 c3 ac d2 49 4b eb 0d", 0x1b2e1855};

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

class PasswordTest : public SecureTest {
 protected:
  std::vector<std::uint8_t> MemoryRecord() const {
    std::vector<std::uint8_t> record(32);
    controller->memory.Read(kRecordAddress, record.data(), 32);
    return record;
  }
  // The eight record values an image carries from its first password record.
  std::vector<std::uint8_t> ImageRecord(const std::vector<std::uint8_t>& image, std::size_t first) const {
    std::vector<std::uint8_t> record;
    for (std::size_t k = 0; k < 8; ++k)
      record.insert(record.end(), image.begin() + first + 7 * k + 3, image.begin() + first + 7 * k + 7);
    return record;
  }
  // The record in memory and in every copy of both images agrees, and matches the text.
  void ExpectRecordEverywhere(const Vector& v) {
    const std::vector<std::uint8_t> record = MemoryRecord();
    EXPECT_EQ(HexOf(record.data(), 20), v.sha1);
    EXPECT_EQ(Le32(record.data() + 20), 0u);
    EXPECT_EQ(Le32(record.data() + 24), 0u);
    EXPECT_EQ(Le32(record.data() + 28) ^ v.crc, OldPasswordMask());
    for (int copy = 0; copy < 4; ++copy) {
      SCOPED_TRACE(copy);
      const auto image = Copy(copy, 1024);
      EXPECT_EQ(ImageRecord(image, copy < 2 ? pc.passwordRecords : apple.passwordRecords), record);
      EXPECT_TRUE(FirmwareTrailerMatches(image.data(), image.size()));
    }
  }
  bool PcFlag(int copy) const { return Copy(copy, 1024)[pc.optionRecord + 3] & 0x20; }
  bool AppleFlag(int copy) const { return Copy(copy, 1024)[apple.optionRecord + 6] & 0x02; }
  unsigned IsSetOld() {
    unsigned isSet = 99;
    int usable = 99;
    EXPECT_EQ(HasPasswordOld(kDrive, &isSet, &usable), 1);
    return isSet;
  }
};

TEST_F(PasswordTest, CurrentSchemeSetVerifyChangeDeleteClear) {
  EXPECT_EQ(HasPassword(kDrive), 0);
  ASSERT_EQ(SetPassword(kDrive, "secret"), 1);
  EXPECT_EQ(HasPassword(kDrive), 1);
  EXPECT_EQ(GetPasswordNumber(kDrive), 1);

  int block[8] = {};
  std::memcpy(block, "secret", 6);
  EXPECT_EQ(VerifyPassword(kDrive, block), 1);
  EXPECT_TRUE(controller->passwords.unlocked);
  int wrong[8] = {};
  std::memcpy(wrong, "Secret", 6);
  EXPECT_EQ(VerifyPassword(kDrive, wrong), 1) << "the command went through; the verdict is the controller's";
  EXPECT_FALSE(controller->passwords.unlocked);

  std::uint8_t second[32] = {1, 2, 3};
  ASSERT_EQ(SetPassword2(kDrive, second, 1), 1);
  EXPECT_EQ(GetPasswordNumber(kDrive), 2);
  int info[8] = {};
  ASSERT_EQ(GetPasswordInfo(kDrive, info), 1);
  EXPECT_EQ(std::memcmp(info, "secret", 6), 0);

  EXPECT_EQ(DeletePassword(kDrive, block), 1);
  EXPECT_EQ(GetPasswordNumber(kDrive), 1);
  EXPECT_EQ(DeletePassword2(kDrive, 0), 1);
  EXPECT_EQ(GetPasswordNumber(kDrive), 0);
  ASSERT_EQ(SetPassword(kDrive, "x"), 1);
  EXPECT_EQ(ClearPassword(kDrive), 1);
  EXPECT_EQ(HasPassword(kDrive), 0);
  EXPECT_EQ(SupportPasswordOld(kDrive), 1);
  controller->passwords.supportsOld = false;
  EXPECT_EQ(SupportPasswordOld(kDrive), 0);
}

// Arguments that cannot be sent as given are refused before the device is opened.
TEST_F(PasswordTest, RefusalsBeforeAnythingIsSent) {
  const std::string longest(32, 'a'), tooLong(33, 'a'), path25(25, 'p');
  int block[8] = {};
  unsigned isSet = 0;
  int usable = 0;
  struct Refusal {
    const char* name;
    int result;
    int expected;
  } const refusals[] = {
      {"SetPassword 33 bytes", SetPassword(kDrive, tooLong.c_str()), 0},
      {"SetPassword null", SetPassword(kDrive, nullptr), 0},
      {"SetPassword null path", SetPassword(nullptr, "a"), 0},
      {"SetPassword long path", SetPassword(path25.c_str(), "a"), 0},
      {"SetPassword2 null", SetPassword2(kDrive, nullptr, 0), 0},
      {"SetPassword2 selector 256", SetPassword2(kDrive, reinterpret_cast<unsigned char*>(block), 256), 0},
      {"SetPassword2 selector -1", SetPassword2(kDrive, reinterpret_cast<unsigned char*>(block), -1), 0},
      {"VerifyPassword null", VerifyPassword(kDrive, nullptr), 0},
      {"DeletePassword null", DeletePassword(kDrive, nullptr), 0},
      {"DeletePassword2 index 256", DeletePassword2(kDrive, 256), 0},
      {"GetPasswordInfo null", GetPasswordInfo(kDrive, nullptr), 0},
      {"GetPasswordNumber null path", GetPasswordNumber(nullptr), -1},
      {"HasPasswordOld long path", HasPasswordOld(path25.c_str(), &isSet, &usable), 0},
      {"SetPasswordOld 32 bytes", SetPasswordOld(kDrive, longest.c_str()), 0},
      {"SetPasswordOld null", SetPasswordOld(kDrive, nullptr), 0},
      {"VerifyPasswordOld 33 bytes", VerifyPasswordOld(kDrive, tooLong.c_str()), 0},
      {"VerifyPasswordOld null", VerifyPasswordOld(kDrive, nullptr), 0},
  };
  for (const Refusal& r : refusals) EXPECT_EQ(r.result, r.expected) << r.name;
  EXPECT_EQ(bridge.OpenCount(), 0);
  // The longest text each form holds is taken.
  EXPECT_EQ(SetPassword(kDrive, longest.c_str()), 1);
  EXPECT_EQ(VerifyPasswordOld(kDrive, longest.c_str()), 1);
}

// The reason a failure leaves: refused input, or what the device did.
TEST_F(PasswordTest, FailuresLeaveTheirReason) {
  struct Case {
    const char* name;
    std::function<int()> call;
    ErrorKind kind;
    const char* text;
  } const cases[] = {
      {"long password", [] { return SetPassword(kDrive, std::string(33, 'a').c_str()); }, ErrorKind::BadInput,
       "a password is at most 32 bytes"},
      {"long old password", [] { return SetPasswordOld(kDrive, std::string(32, 'a').c_str()); }, ErrorKind::BadInput,
       "an old-scheme password is at most 31 bytes"},
      {"selector", [] { return DeletePassword2(kDrive, 300); }, ErrorKind::BadInput, "password index 300 is not between 0 and 255"},
      {"long path", [] { return ClearPassword("\\\\.\\PhysicalDrive1234567890"); }, ErrorKind::BadInput,
       "is longer than 24 characters"},
      {"wrong old password",
       [] {
         SetPasswordOld(kDrive, "secret");
         return VerifyPasswordOld(kDrive, "Secret");
       },
       ErrorKind::Device, "the password does not match the record the controller keeps"},
  };
  for (const Case& c : cases) {
    ClearLastError();
    EXPECT_EQ(c.call(), 0) << c.name;
    EXPECT_EQ(LastErrorKind(), c.kind) << c.name;
    EXPECT_NE(std::string(LastErrorText()).find(c.text), std::string::npos) << c.name << ": " << LastErrorText();
  }
}

TEST_F(PasswordTest, UnopenablePathFailsWithTheRightValue) {
  bridge.Device(kDrive)->openable = false;
  int block[8] = {};
  EXPECT_EQ(GetPasswordNumber(kDrive), -1);
  EXPECT_EQ(SetPassword(kDrive, "a"), 0);
  EXPECT_EQ(VerifyPassword(kDrive, block), 0);
  EXPECT_EQ(SupportPasswordOld(kDrive), 0);
  EXPECT_EQ(SetPasswordOld(kDrive, "a"), 0);
  EXPECT_EQ(ClearPasswordOld(kDrive), 0);
}

// Set, verify (right and wrong), change and clear on the old scheme; the record is the same in
// controller memory and in every firmware copy.
TEST_F(PasswordTest, OldSchemeLifecycle) {
  EXPECT_EQ(IsSetOld(), 0u);
  ASSERT_EQ(SetPasswordOld(kDrive, kSecret.text), 1);
  EXPECT_EQ(IsSetOld(), 0x20u);
  ExpectRecordEverywhere(kSecret);
  for (int copy = 0; copy < 4; ++copy) EXPECT_TRUE(copy < 2 ? PcFlag(copy) : AppleFlag(copy)) << copy;

  // A wrong password is refused without anything sent to the controller.
  bridge.ClearLog();
  EXPECT_EQ(VerifyPasswordOld(kDrive, kOther.text), 0);
  EXPECT_TRUE(bridge.LogMatching(MatchVendor(0x4B)).empty());
  const std::uint32_t mask = OldPasswordMask();
  SetOldPasswordMask(0);  // as in a fresh process
  EXPECT_EQ(VerifyPasswordOld(kDrive, kSecret.text), 1);
  EXPECT_EQ(OldPasswordMask(), mask) << "the mask is recovered from the stored record";
  EXPECT_TRUE(controller->State<OldSchemeState>().unlocked);

  // Changing keeps the mask of the password already set.
  ASSERT_EQ(SetPasswordOld(kDrive, kOther.text), 1);
  EXPECT_EQ(OldPasswordMask(), mask);
  ExpectRecordEverywhere(kOther);
  EXPECT_EQ(VerifyPasswordOld(kDrive, kSecret.text), 0);
  EXPECT_EQ(VerifyPasswordOld(kDrive, kOther.text), 1);

  // Clearing drops the flags everywhere and keeps the record words.
  ASSERT_EQ(ClearPasswordOld(kDrive), 1);
  EXPECT_EQ(IsSetOld(), 0u);
  EXPECT_EQ(OldPasswordMask(), 0u);
  for (int copy = 0; copy < 4; ++copy) EXPECT_FALSE(copy < 2 ? PcFlag(copy) : AppleFlag(copy)) << copy;
  EXPECT_EQ(HexOf(MemoryRecord().data(), 20), kOther.sha1);
  // Without a password any text unlocks.
  EXPECT_EQ(VerifyPasswordOld(kDrive, "anything"), 1);
}

TEST_F(PasswordTest, OldSchemeDrawsTheMaskOnlyForANewPassword) {
  std::srand(7);
  const int r0 = std::rand() & 0xFF, r1 = std::rand() & 0xFF, r2 = std::rand() & 0xFF, r3 = std::rand();
  const std::uint32_t expected = static_cast<std::uint32_t>(r0) | static_cast<std::uint32_t>(r1) << 8 |
                                 static_cast<std::uint32_t>(r2) << 16 | static_cast<std::uint32_t>(r3) << 24;
  std::srand(7);
  ASSERT_EQ(SetPasswordOld(kDrive, kSecret.text), 1);
  EXPECT_EQ(OldPasswordMask(), expected);
  EXPECT_EQ(Le32(MemoryRecord().data() + 28), kSecret.crc ^ expected);
}

TEST_F(PasswordTest, HasPasswordOldReportsTheFlagBits) {
  struct Case {
    std::uint8_t flags;
    unsigned isSet;
    int usable;
  } const cases[] = {{0x00, 0, 1}, {0x20, 0x20, 1}, {0x60, 0x20, 0}, {0x40, 0, 0}, {0xBF, 0x20, 1}};
  for (const Case& c : cases) {
    SetFlagByte(c.flags);
    unsigned isSet = 99;
    int usable = 99;
    EXPECT_EQ(HasPasswordOld(kDrive, &isSet, &usable), 1);
    EXPECT_EQ(isSet, c.isSet) << int{c.flags};
    EXPECT_EQ(usable, c.usable) << int{c.flags};
  }
  EXPECT_EQ(HasPasswordOld(kDrive, nullptr, nullptr), 1);
}

// With the card bit set the images come from the cards: the first valid copy, card 0 before card 1.
TEST_F(PasswordTest, OldSchemeOnCardImages) {
  controller->flash.Load(FlashPartW25X40());  // nothing valid in flash
  SetFlagByte(0x80);
  controller->cards[0].present = true;
  controller->cards[1].present = true;
  SeedCardCopy(*controller, 1, 1, pc.bytes);  // card 0 has nothing valid
  SeedCardCopy(*controller, 1, 2, apple.bytes);
  ASSERT_EQ(SetPasswordOld(kDrive, kSecret.text), 1);
  for (int card = 0; card < 2; ++card)
    for (int copy = 0; copy < 4; ++copy) {
      const auto image = CardCopy(*controller, card, copy, 1024);
      EXPECT_EQ(ImageRecord(image, copy < 2 ? pc.passwordRecords : apple.passwordRecords), MemoryRecord())
          << card << " " << copy;
    }
}

TEST_F(PasswordTest, OldSchemeRefusesDamagedOrIncompleteImages) {
  struct Case {
    const char* name;
    std::function<void(PasswordTest&)> damage;
  } const cases[] = {
      {"copy 0 erased", [](PasswordTest& t) { t.controller->flash.Fill(0, std::vector<std::uint8_t>(1024, 0xFF).data(), 1024); }},
      {"copy 3 checksum", [](PasswordTest& t) { auto a = t.apple.bytes; fwbuild::BreakChecksum(a); SeedFlashCopy(*t.controller, 3, a); }},
      {"PC without password records",
       [](PasswordTest& t) {
         auto r = fwbuild::PcRecipe();
         r.withPasswordRecords = false;
         SeedFlashCopy(*t.controller, 1, fwbuild::BuildImage(r).bytes);
       }},
      {"Apple without its flag record",
       [](PasswordTest& t) {
         auto r = fwbuild::AppleRecipe();
         r.withOptions = false;
         SeedFlashCopy(*t.controller, 3, fwbuild::BuildImage(r).bytes);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    controller->flash.Load(FlashPartW25X40());
    SeedFirmware(kHidden);
    c.damage(*this);
    const auto before = controller->flash.cells;
    EXPECT_EQ(SetPasswordOld(kDrive, kSecret.text), 0);
    EXPECT_EQ(IsSetOld(), 0u);
    EXPECT_TRUE(controller->flash.cells == before) << "nothing written";
  }
}

TEST(PasswordRecordTest, RecordLayoutAndMask) {
  std::uint8_t record[32];
  ASSERT_TRUE(BuildOldRecord("secret", 0x11223344, record));
  EXPECT_EQ(Le32(record + 28), 0x607ba3e6u ^ 0x11223344u);
  EXPECT_EQ(MaskFromRecord("secret", record), 0x11223344u);
  EXPECT_FALSE(BuildOldRecord(std::string(33, 'a').c_str(), 0, record));
  std::uint8_t block[32];
  EXPECT_TRUE(PasswordBlock(std::string(32, 'b').c_str(), 32, block));
  EXPECT_FALSE(PasswordBlock(std::string(33, 'b').c_str(), 32, block));
  EXPECT_FALSE(PasswordBlock(nullptr, 32, block));
}

}  // namespace
}  // namespace quillon::testing
