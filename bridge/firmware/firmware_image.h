#ifndef QUILLON_FIRMWARE_FIRMWARE_IMAGE_H
#define QUILLON_FIRMWARE_FIRMWARE_IMAGE_H

// The firmware image and firmware file formats: record walk, validation, splitting of a firmware file
// into its PC and Apple images, the layout walk that finds the places the library customises, and the
// customisation itself (product string and password verifier).
//
// An image is a run of records from offset 0, an end record (0x80), zero bytes and a 16-byte trailer:
// "KAVRITEX", five zero bytes, 0x30 and the CRC-16 (Crc16Msb) of every image byte but the last two,
// most significant byte first. Its padded length L is the smallest multiple of 1,024 at or after the
// end record, one more 1,024 when fewer than 16 bytes would remain for the trailer.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

struct BridgeDevice;

constexpr char kFirmwareSignature[] = "KAVRITEX";
constexpr std::size_t kFirmwareSignatureSize = 8;
constexpr std::size_t kFirmwareTrailerSize = 16;
constexpr std::uint8_t kFirmwareTrailerMark = 0x30;  // trailer byte 13
// A record walk must end inside the first 64 KiB; a firmware copy occupies at most that much.
constexpr std::size_t kFirmwareWalkLimit = 65536;
constexpr std::size_t kFirmwarePadUnit = 1024;
constexpr std::size_t kFirmwarePasswordBlockSize = 32;

// Keys of 7-byte records: type x 65,536 + 16-bit address.
constexpr std::uint32_t kKeyChipCode = 0x30000;
constexpr std::uint32_t kKeyVersion = 0x30002;
constexpr std::uint32_t kKeyOptions = 0x301FA;            // bit 7: copies on cards; bit 5: password (first layout)
constexpr std::uint32_t kKeyPasswordFlag = 0x30200;       // bit 1 of the top value byte (second layout)
constexpr std::uint32_t kKeyPasswordSecond = 0x30202;     // first of the eight block records (second layout)
constexpr std::uint32_t kKeyPasswordFirst = 0x3020C;      // first of the eight block records (first layout)
constexpr std::size_t kPasswordRecordCount = 8;
constexpr std::size_t kValueRecordSize = 7;               // type, address (2), value (4)
constexpr std::size_t kValueOffsetInRecord = 3;

constexpr std::uint8_t kOptionCardStorage = 0x80;
constexpr std::uint8_t kOptionPassword = 0x20;
constexpr std::uint8_t kPasswordFlagSecond = 0x02;

// Product-string offsets after the first 0x13 record's length field.
constexpr std::size_t kProductOffsetFirst = 344;
constexpr std::size_t kProductOffsetSecond = 312;
constexpr std::size_t kProductOffsetOldVersion = 424;
// Longest product string turned into a USB string descriptor (2 + 2 x 62 = 126 bytes).
constexpr std::size_t kMaxProductLength = 62;

// What the binary walk found out about one image.
struct FirmwareImageInfo {
  std::int32_t keyOffset = -1;          // offset of the wanted key's record (its type byte), -1 when absent
  std::uint32_t paddedLength = 0;       // L; 0 unless exactly one 0x12 and one 0x13 record were seen
  bool signature = false;               // the trailer at L - 16 begins with "KAVRITEX"
  bool trailerIntact = false;           // the whole trailer, checksum included, is as it should be
  bool hasVersion = false;
  std::uint32_t version = 0;            // value of key 0x30002 (last one met)
  std::uint32_t chipCode = 0;           // value of key 0x30000 (last one met)
};

// Walks the records of `length` bytes at `image` and validates the image: exactly one 0x12 and one
// 0x13 record, zero bytes from the end record up to the trailer, the signature, a version record and
// an accepted chip code ("FCC1", "FCC2", "FCC4", "FCC5"). Every read stays inside the first
// min(length, 64 KiB) bytes for the records and inside `length` for padding and trailer. Returns 1
// when valid. Fills `*info` (when given) in every case as far as the walk got, and sets the device's
// image-signed flag from the trailer signature (cleared when the trailer was not reached).
int ParseFirmwareImage(const std::uint8_t* image, std::size_t length, BridgeDevice& device,
                       std::uint32_t wantedKey, FirmwareImageInfo* info);
// The same walk without a device record.
int ParseFirmwareImage(const std::uint8_t* image, std::size_t length, std::uint32_t wantedKey,
                       FirmwareImageInfo* info);

// The trailer an image of `length` bytes must end with: its checksum is taken over the image as it
// stands (all bytes but the last two).
// `length` must be at least 16.
void BuildFirmwareTrailer(const std::uint8_t* image, std::size_t length, std::uint8_t trailer[kFirmwareTrailerSize]);
// Stores the CRC-16 of all bytes but the last two in those two bytes, most significant first.
void SealFirmwareImage(std::uint8_t* image, std::size_t length);
// True when the last 16 bytes equal BuildFirmwareTrailer's result.
bool FirmwareTrailerMatches(const std::uint8_t* image, std::size_t length);

// Splits a firmware file (HexSpaced text; CR and LF anywhere are ignored) into the PC image and the
// optional Apple image, each re-encoded as HexSpaced text. Returns 1 when the PC image ends in a
// correct trailer and what follows it is either padding (all 0x00 or all 0xFF bytes: a single-image
// file) or an Apple image ending in a correct trailer; 0 otherwise (outputs emptied, the reason
// recorded as the thread's last error). A second image that was cut off or damaged is therefore
// never taken for a single-image file. Text after the Apple image's trailer is ignored.
int SplitFirmwareFile(std::string_view fileText, std::string* pcImageHex, std::string* appleImageHex);

// Why one image of a firmware file cannot be written as a copy ("second image ends at byte ...");
// empty when it can: a record walk that reaches its end record, one 0x12 and one 0x13 record, the
// image ending exactly at its trailer, zero padding, a version record and an accepted chip code.
// `name` names the image and `fileOffset` is where it starts in the file, so that byte positions in
// the text are those of the file.
std::string FirmwareImageProblem(const std::uint8_t* image, std::size_t length, const char* name,
                                 std::size_t fileOffset);

// Places found in a first-layout image (the PC image): product string, option bits, password block.
struct FirstLayoutPlaces {
  std::int32_t productPosition = -1;    // where the product-string descriptor goes
  std::int32_t productLimit = -1;       // end of the 0x13 record that holds it (exclusive)
  std::int32_t optionOffset = -1;       // least significant value byte of key 0x301FA
  std::uint8_t optionBits = 0;          // that byte
  std::int32_t passwordRecords = -1;    // record 0x3020C, the first of eight consecutive block records
  std::uint8_t passwordText[kFirmwarePasswordBlockSize] = {};  // the 32 bytes those eight records carry
};

// Places found in a second-layout image (the Apple image).
struct SecondLayoutPlaces {
  std::int32_t productPosition = -1;
  std::int32_t productLimit = -1;
  std::int32_t passwordFlagOffset = -1; // most significant value byte of key 0x30200
  std::int32_t passwordRecords = -1;    // record 0x30202, the first of eight consecutive block records
};

struct ImageLayout {
  FirstLayoutPlaces first;
  SecondLayoutPlaces second;
};

enum class FirmwareLayout { First, Second };

// Walks one image given as HexSpaced text and stores the places of its layout into `*layout`, leaving
// the places of the other layout as they were. Only records before the first 0x13 record count.
// A password record run is reported only when all eight records follow each other with consecutive
// keys. Returns 1 when the image has exactly one 0x12 record, zero padding, the signature and an
// accepted chip code; `*kind` (when given) receives the layout.
int WalkImageLayout(std::string_view imageHex, ImageLayout* layout, FirmwareLayout* kind = nullptr);

// USB string descriptor of a product string: length 2n + 2, type 3, then each character as a 16-bit
// unit. Empty for a string that is longer than 62 characters or not plain ASCII.
std::vector<std::uint8_t> ProductStringDescriptor(std::string_view product);

// Decodes both images and customises them: the product string (when not empty) goes into the PC image
// at the first-layout product position and into the Apple image (when present) at the second-layout
// one; when the PC options enable the password, its text becomes the password verifier (SHA-1, zeros,
// CRC-32 xor four rand() bytes) in the PC records and, with an Apple image, in the Apple records whose
// flag bit is then set; a failed digest clears both password bits instead. Both images get fresh
// checksums. Returns 0, with nothing produced, when a text does not decode, the product string cannot
// be a descriptor or does not fit its 0x13 record, or a place the customisation needs is unknown.
int CustomiseImages(const char* product, std::string_view pcImageHex, std::string_view appleImageHex,
                    const ImageLayout& layout, std::vector<std::uint8_t>* pcImage,
                    std::vector<std::uint8_t>* appleImage);

// A firmware file made ready for writing.
struct PreparedFirmware {
  std::vector<std::uint8_t> pc;
  std::vector<std::uint8_t> apple;     // empty when the file holds one image
  bool cardStorage = false;            // the PC options put the copies on the cards
};

// Everything an update does before it touches a device: splits the file, walks the Apple image (when
// present) and then the PC image, and customises them. On top of the walk's own rules every image
// must pass the image check with an intact trailer and fit a 64 KiB copy, and the PC image must
// carry the option record that says where the copies live; places an image does not provide are
// never guessed. Returns 0 with `*out` untouched when anything is missing or wrong.
int PrepareFirmwareUpdate(std::string_view fileText, const char* product, PreparedFirmware* out);

}  // namespace quillon

#endif
