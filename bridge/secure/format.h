#ifndef QUILLON_SECURE_FORMAT_H
#define QUILLON_SECURE_FORMAT_H

// Formatting a region with FAT32 or exFAT: the file-system choice, the local time the volumes are
// stamped with, and one entry point that checks everything before the first write.

#include <cstdint>
#include <string>

#include "secure/format_writer.h"

namespace quillon {

enum class FileSystemKind { Fat32, Exfat };

// "fat32" or "exfat", compared without regard to case.
bool ParseFileSystemName(const char* name, FileSystemKind* kind);

// Broken-down local time: full year, month 1..12, day 1..31, hour, minute, second.
struct FormatTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
};

FormatTime LocalTimeNow();

// Decodes UTF-8 into UTF-16; false for malformed input.
bool Utf8ToUtf16(const std::string& text, std::u16string* out);

// What a volume is written with besides its size. The exFAT label is UTF-16; the FAT32 label is the
// caller's 8-bit text. The serial numbers are the caller's so that formatting is repeatable.
struct FormatOptions {
    std::string fat32Label;
    std::u16string exfatLabel;
    FormatTime time;
    uint32_t exfatSerial;
};

// Checks the region size and label for the chosen file system; true when formatting would start.
bool CanFormat(FileSystemKind kind, uint32_t regionSectors, const FormatOptions& options);

// Why CanFormat refuses, as a sentence that names the region ("the cipher region") and the limit it
// misses; empty when it does not refuse.
std::string FormatRefusal(FileSystemKind kind, uint32_t regionSectors, const FormatOptions& options,
                          const char* regionName);

// The smallest region the file system can be written onto, in sectors.
uint32_t MinimumFormatSectors(FileSystemKind kind);

// Formats regionSectors sectors of target as the chosen file system. Returns false without writing
// anything when CanFormat is false, or at the first failed write.
bool FormatRegion(FileSystemKind kind, SectorWriter& target, uint32_t regionSectors,
                  const FormatOptions& options);

}  // namespace quillon

#endif
