// Fuzz target for the camera stream parser: the input is a series of bulk reads, each given as a
// two-byte little-endian length (taken modulo 4093, the stream thread reads at most 4092 bytes) and
// that many bytes. Every read is copied into a heap buffer of exactly its size, so that a parser that
// looks past the end of a read is caught. Each input starts from a fresh parser.

#include "camera_proto.h"
#include "camera_proto_testing.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

volatile uint64_t g_sink;

// Reads every byte of the frame it is handed, as the stream thread's copy does.
int onFrame(vs_frameinfo_t *info, void *)
{
    uint64_t sum = 0;
    for (int i = 0; i < info->len; ++i)
        sum += info->data[i];
    g_sink = g_sink + sum + info->haspic + info->flag0 + info->flags_high + info->value;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The parser's printf trace (replies, "error len") goes to standard output; the fuzzer's own report
    // goes to standard error.
    if (!std::freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    proto_reset_for_testing();
    const vs_proto_cb_t cb = {&onFrame, nullptr};
    proto_init(&cb);

    size_t pos = 0;
    while (pos < size) {
        size_t len = size - pos;
        if (size - pos >= 2) {
            len = static_cast<size_t>(data[pos] | (data[pos + 1] << 8)) % 4093;
            pos += 2;
        }
        len = std::min(len, size - pos);
        std::vector<uint8_t> read(data + pos, data + pos + len);
        proto_input(read.data(), static_cast<int>(read.size()));
        pos += len;
    }
    return 0;
}
