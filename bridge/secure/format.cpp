#include "secure/format.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "secure/exfat_format.h"
#include "secure/fat32_format.h"

namespace quillon {

bool ParseFileSystemName(const char* name, FileSystemKind* kind) {
    if (name == nullptr) return false;
    auto equalsNoCase = [name](const char* want) {
        size_t i = 0;
        for (; want[i] != '\0'; ++i) {
            char c = name[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != want[i]) return false;
        }
        return name[i] == '\0';
    };
    if (equalsNoCase("fat32")) {
        *kind = FileSystemKind::Fat32;
        return true;
    }
    if (equalsNoCase("exfat")) {
        *kind = FileSystemKind::Exfat;
        return true;
    }
    return false;
}

FormatTime LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    // The library starts no threads, and only one format runs at a time, so localtime's shared
    // result is safe to copy out here.
    const std::tm* t = std::localtime(&now);
    if (t == nullptr) return FormatTime{1980, 1, 1, 0, 0, 0};
    return FormatTime{t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec};
}

bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
    std::u16string result;
    size_t i = 0;
    while (i < text.size()) {
        const uint8_t lead = static_cast<uint8_t>(text[i]);
        uint32_t cp;
        size_t extra;
        if (lead < 0x80) {
            cp = lead;
            extra = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (text.size() - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const uint8_t c = static_cast<uint8_t>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    *out = std::move(result);
    return true;
}

bool CanFormat(FileSystemKind kind, uint32_t regionSectors, const FormatOptions& options) {
    if (kind == FileSystemKind::Fat32) {
        Fat32Params params;
        return ComputeFat32Params(regionSectors, &params) && Fat32LabelFits(options.fat32Label);
    }
    ExfatLayout layout;
    return ComputeExfatLayout(regionSectors, &layout) && ExfatLabelFits(options.exfatLabel);
}

uint32_t MinimumFormatSectors(FileSystemKind kind) {
    // Regions this small use the smallest clusters, so the first size that works is the limit.
    static const uint32_t minimum[2] = {
        [] {
            Fat32Params params;
            uint32_t t = kFat32MinClusters;
            while (!ComputeFat32Params(t, &params)) ++t;
            return t;
        }(),
        [] {
            ExfatLayout layout;
            uint32_t t = 2;
            while (!ComputeExfatLayout(t, &layout)) ++t;
            return t;
        }(),
    };
    return minimum[kind == FileSystemKind::Fat32 ? 0 : 1];
}

namespace {

std::string Grouped(uint64_t value) {
    std::string digits = std::to_string(value);
    for (size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
    return digits;
}

// "32.5 MiB" for sizes below a GiB, "2.0 GiB" above, one decimal, rounded up so that the size given
// is never below the limit it states.
std::string HumanSectors(uint64_t sectors) {
    const uint64_t bytes = sectors * 512;
    const bool gib = bytes >= (uint64_t{1} << 30);
    const uint64_t unit = gib ? (uint64_t{1} << 30) : (uint64_t{1} << 20);
    const uint64_t tenths = (bytes * 10 + unit - 1) / unit;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + (gib ? " GiB" : " MiB");
}

std::string Quoted(char c) {
    char text[16];
    if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F)
        std::snprintf(text, sizeof(text), "'%c'", c);
    else
        std::snprintf(text, sizeof(text), "byte 0x%02X", static_cast<unsigned char>(c));
    return text;
}

}  // namespace

std::string FormatRefusal(FileSystemKind kind, uint32_t regionSectors, const FormatOptions& options,
                          const char* regionName) {
    const std::string region = regionName;
    if (kind == FileSystemKind::Fat32) {
        Fat32Params params;
        if (!ComputeFat32Params(regionSectors, &params)) {
            const uint32_t minimum = MinimumFormatSectors(kind);
            return "FAT32 needs at least " + Grouped(kFat32MinClusters) + " clusters: " + region + " must be at least " +
                   Grouped(minimum) + " sectors (" + HumanSectors(minimum) + "), not " + Grouped(regionSectors);
        }
        const std::string& label = options.fat32Label;
        if (label.size() > kFat32LabelBytes)
            return "the label of " + region + " has " + Grouped(label.size()) + " bytes; FAT32 labels hold 11";
        for (char c : label) {
            const unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x20 || u >= 0x7F)
                return "the label of " + region + " holds " + Quoted(c) +
                       ": FAT32 labels take printable ASCII characters only (exFAT labels take any character)";
            if (std::strchr(kFat32LabelForbidden, u) != nullptr)
                return "the label of " + region + " holds " + Quoted(c) + ", which FAT32 labels may not (none of " +
                       kFat32LabelForbidden + ")";
        }
        return {};
    }
    ExfatLayout layout;
    if (!ComputeExfatLayout(regionSectors, &layout)) {
        const uint32_t minimum = MinimumFormatSectors(kind);
        return "exFAT needs " + region + " to be at least " + Grouped(minimum) + " sectors (" + HumanSectors(minimum) +
               "), not " + Grouped(regionSectors);
    }
    const std::u16string& label = options.exfatLabel;
    if (label.size() > kExfatLabelChars)
        return "the label of " + region + " has " + Grouped(label.size()) + " UTF-16 characters; exFAT labels hold 11";
    for (char16_t c : label)
        if (c < 0x20 || (c < 0x80 && std::strchr("\"*/:<>?\\|", static_cast<char>(c)) != nullptr))
            return "the label of " + region + " holds " + Quoted(static_cast<char>(c)) +
                   ", which exFAT labels may not (no control characters, none of \"*/:<>?\\|)";
    return {};
}

bool FormatRegion(FileSystemKind kind, SectorWriter& target, uint32_t regionSectors,
                  const FormatOptions& options) {
    if (kind == FileSystemKind::Fat32) {
        return FormatFat32(target, regionSectors, options.fat32Label, options.time);
    }
    return FormatExfat(target, regionSectors, options.exfatLabel, options.exfatSerial);
}

}  // namespace quillon
