// Stream parser throughput: the virtual camera's stream (real JPEG frames cut into image chunks) in the
// stream thread's 4092-byte reads, fed to proto_input, beside a plain memcpy of the same reads into a
// frame-sized buffer, in the same run. The goal is at least half of memcpy's speed; the summary at the
// end prints the ratio and the share of a core the parser would take at the USB 2.0 rate.
//
//   bench_camera_proto [Google Benchmark options, e.g. --benchmark_min_time=2]
//
// BM_Parser and BM_Memcpy are the plain benchmarks. BM_ParserVsMemcpy alternates one parser pass and one
// memcpy pass in every iteration, so that both see the same machine (other load, caches, clock), and
// keeps the fastest pass of each: on a busy machine its ratio is the one to read.

#include "camera_proto.h"
#include "camera_proto_testing.h"
#include "stream_generator.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kRead = 4092;
constexpr int kFrames = 24;

struct Stream {
    vcam::Bytes start;  // the replies to the start-up commands, once per session
    vcam::Bytes bytes;  // the frames, fed again and again
    std::vector<std::pair<size_t, int>> reads;  // offset and length of each read of `bytes`
    size_t jpegBytes = 0;
};

vcam::Bytes concatenate(vcam::Bytes a, const vcam::Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Stream &streamFor(int width, int height)
{
    static std::map<std::pair<int, int>, std::unique_ptr<Stream>> cache;
    auto &slot = cache[{width, height}];
    if (!slot) {
        slot = std::make_unique<Stream>();
        vcam::StreamOptions o;
        o.width = width;
        o.height = height;
        o.jpegQuality = 85;
        vcam::StreamGenerator gen(o);
        slot->start = concatenate(vcam::StreamGenerator::openStreamReply(),
                                  vcam::StreamGenerator::devInfoReply(vcam::StreamGenerator::defaultDevInfo()));
        std::vector<vcam::Frame> frames;
        slot->bytes = gen.nextFrames(kFrames, &frames);
        for (const vcam::Frame &f : frames)
            slot->jpegBytes += static_cast<size_t>(f.jpeg.size());
        for (size_t pos = 0; pos < slot->bytes.size(); pos += kRead)
            slot->reads.emplace_back(pos, static_cast<int>(std::min<size_t>(kRead, slot->bytes.size() - pos)));
    }
    return *slot;
}

int g_frames = 0;

int onFrame(vs_frameinfo_t *info, void *)
{
    g_frames += info->len > 0;
    return 0;
}

// A fresh parser that has seen the start-up replies. Their trace is dropped: it would mix with the report.
void setUpParser(const Stream &s)
{
    proto_reset_for_testing();
    const vs_proto_cb_t cb = {&onFrame, nullptr};
    std::fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    proto_init(&cb);
    proto_input(s.start.data(), static_cast<int>(s.start.size()));
    std::fflush(stdout);
    dup2(saved, 1);
    close(null);
    close(saved);
    g_frames = 0;
}

void parsePass(const Stream &s)
{
    for (const auto &[offset, len] : s.reads)
        proto_input(s.bytes.data() + offset, len);
}

void memcpyPass(const Stream &s, std::vector<uint8_t> &frame)
{
    size_t pos = 0;
    for (const auto &[offset, len] : s.reads) {
        if (pos + static_cast<size_t>(len) > frame.size())
            pos = 0;
        std::memcpy(frame.data() + pos, s.bytes.data() + offset, static_cast<size_t>(len));
        pos += static_cast<size_t>(len);
    }
}

void BM_Parser(benchmark::State &state)
{
    const Stream &s = streamFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    setUpParser(s);
    for (auto _ : state) {
        parsePass(s);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.bytes.size()));
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(g_frames), benchmark::Counter::kIsRate);
    state.counters["frame_kB"] = static_cast<double>(s.jpegBytes) / kFrames / 1000.0;
}

void BM_Memcpy(benchmark::State &state)
{
    const Stream &s = streamFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::vector<uint8_t> frame(VS_FRAME_BUF_LEN);
    for (auto _ : state) {
        memcpyPass(s, frame);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.bytes.size()));
}

void BM_ParserVsMemcpy(benchmark::State &state)
{
    using Clock = std::chrono::steady_clock;
    const Stream &s = streamFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    setUpParser(s);
    std::vector<uint8_t> frame(VS_FRAME_BUF_LEN);
    double bestParser = 1e9, bestMemcpy = 1e9;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        parsePass(s);
        benchmark::ClobberMemory();
        const auto t1 = Clock::now();
        memcpyPass(s, frame);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        bestParser = std::min(bestParser, std::chrono::duration<double>(t1 - t0).count());
        bestMemcpy = std::min(bestMemcpy, std::chrono::duration<double>(t2 - t1).count());
    }
    const double bytes = static_cast<double>(s.bytes.size());
    state.counters["parser_MB/s"] = bytes / bestParser / 1e6;
    state.counters["memcpy_MB/s"] = bytes / bestMemcpy / 1e6;
    state.counters["ratio"] = bestMemcpy / bestParser;
}

BENCHMARK(BM_Parser)->Args({640, 480})->Args({1280, 720});
BENCHMARK(BM_Memcpy)->Args({640, 480})->Args({1280, 720});
BENCHMARK(BM_ParserVsMemcpy)->Args({640, 480})->Args({1280, 720});

// Prints as the console reporter does and keeps what the summary needs (with repetitions, the median of
// the plain benchmarks and the last repetition of the alternating one).
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    explicit SummaryReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            const std::string name = r.run_name.str();
            if (r.run_type == Run::RT_Iteration && r.counters.count("ratio")) {
                interleaved[name] = {r.counters.at("parser_MB/s").value, r.counters.at("memcpy_MB/s").value,
                                     r.counters.at("ratio").value};
                continue;
            }
            const auto it = r.counters.find("bytes_per_second");
            if (it == r.counters.end())
                continue;
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                rates[name] = it->second.value;
                medians.insert(name);
            } else if (r.run_type == Run::RT_Iteration && !medians.count(name)) {
                rates[name] = it->second.value;
            }
        }
    }

    struct Pair {
        double parser, memcpy, ratio;
    };
    std::map<std::string, double> rates;
    std::set<std::string> medians;
    std::map<std::string, Pair> interleaved;
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter(isatty(1) ? benchmark::ConsoleReporter::OO_Defaults
                                       : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // USB 2.0 high speed moves at most about 53 MB/s of bulk data (13 x 512-byte packets per microframe).
    const double usb2 = 53.248e6;
    std::printf("\nparser vs memcpy on the same 4092-byte reads, in the same run:\n");
    for (const char *size : {"640/480", "1280/720"}) {
        const auto p = reporter.rates.find(std::string("BM_Parser/") + size);
        const auto m = reporter.rates.find(std::string("BM_Memcpy/") + size);
        if (p != reporter.rates.end() && m != reporter.rates.end())
            std::printf("  %-9s separate runs:      parser %7.0f MB/s  memcpy %7.0f MB/s  ratio %.2f\n", size,
                        p->second / 1e6, m->second / 1e6, p->second / m->second);
        const auto i = reporter.interleaved.find(std::string("BM_ParserVsMemcpy/") + size);
        if (i != reporter.interleaved.end())
            std::printf("  %-9s alternating passes: parser %7.0f MB/s  memcpy %7.0f MB/s  ratio %.2f (goal >= 0.50);"
                        " parser share of a core at the USB 2.0 rate %.3f%%\n",
                        size, i->second.parser, i->second.memcpy, i->second.ratio,
                        100.0 * usb2 / 1e6 / i->second.parser);
    }
    return 0;
}
