#include <cstdio>
#include <cstring>
#include <memory>

#include "access/commands.h"
#include "quillon_region.h"
#include "secure/format_writer.h"

namespace quillon {

namespace {

constexpr std::uint32_t kIsoPieceBytes = 65536;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

int WriteIso(const char* path, const char* imageFile) {
    BridgeDevice device;
    if (imageFile == nullptr || !OpenBridgeDevice(&device, path)) return 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(imageFile, "rb"));
    if (!file) return 0;
    std::unique_ptr<std::uint8_t[]> piece(new std::uint8_t[kIsoPieceBytes]);
    std::uint32_t block = 0;
    int result = 0;  // an empty image writes nothing and is not a success
    for (;;) {
        const std::size_t got = std::fread(piece.get(), 1, kIsoPieceBytes, file.get());
        if (std::ferror(file.get())) return 0;
        if (got == 0) break;
        // A short last piece is padded to whole blocks so that its tail is written too.
        const std::uint32_t blocks = static_cast<std::uint32_t>((got + kSectorBytes - 1) / kSectorBytes);
        std::memset(piece.get() + got, 0, blocks * kSectorBytes - got);
        if (std::uint64_t{block} + blocks > 0x100000000ull) return 0;  // beyond 32-bit block addresses
        result = CmdWriteIsoBlocks(device, block, piece.get(), blocks * kSectorBytes);
        if (result != 1) return 0;
        block += blocks;
        if (got < kIsoPieceBytes) break;
    }
    return result;
}

}  // namespace

}  // namespace quillon

QUILLON_API int QUILLON_CALL WriteIsoFile(const char* path, const char* imageFile) {
    return quillon::WriteIso(path, imageFile);
}
