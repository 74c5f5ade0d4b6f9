#include "secure/format.h"

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

bool FormatRegion(FileSystemKind kind, SectorWriter& target, uint32_t regionSectors,
                  const FormatOptions& options) {
    if (kind == FileSystemKind::Fat32) {
        return FormatFat32(target, regionSectors, options.fat32Label, options.time);
    }
    return FormatExfat(target, regionSectors, options.exfatLabel, options.exfatSerial);
}

}  // namespace quillon
