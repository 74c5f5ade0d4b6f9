// The road of one frame, timed: the virtual camera at 25 frames per second behind the real libusb, a
// ThreadUSB and the real ImageConverModule.
//
//   bench_stream [--seconds N] [--scene camera|pattern|noise] [--size WIDTHxHEIGHT]...
//       (default 6 measured seconds per size, after 1 s of warm-up; the camera-like scene; sizes
//       640x480, 1280x720, 1920x1080)
//
// Latency of a frame is taken from the moment the stream read that carries its last image chunk returns
// to the stream thread, to the moment the converter emits newImage with its picture. The parser hands a
// frame on only when the first chunk of the next frame has arrived, so that latency contains the wait
// for the next frame (one frame period at a steady rate); the second figure starts at that chunk and is
// the cost of the road itself (parsing, copy, queue, JPEG decode, pixmap); the third starts when the
// stream thread hands the frame to the converter (queue, JPEG decode, pixmap).
//
// The reads are observed by wrapping libusb_bulk_transfer in this program: the wrapper takes the time
// when a read of the stream endpoint returns and follows the packet framing of the bytes it carries.
// CPU is the thread CPU time of the stream thread and of the conversion thread over the measured
// seconds, in percent of one core; "process" also holds the emulated camera (JPEG encoding of every
// frame, umockdev's worker) and libusb's event thread.
//
// "skipped" is the frames the converter did not decode for the live view because newer ones were
// waiting, of the frames the camera sent. The reference, measured after each size in the same run, is
// libjpeg-turbo decoding frames of the same kind alone: median / p95 ms per frame, its CPU time per
// frame, and in brackets the share of one core that would take at 25 fps (the floor for the conversion
// thread's CPU).

#include "camera_proto_testing.h"
#include "image_conver_module.h"
#include "qt_picture.h"
#include "stream_generator.h"
#include "thread_usb.h"
#include "virtual_camera.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QTimer>

#include <turbojpeg.h>

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kStreamEndpoint = 0x82;

// ---- What the stream reads carried, by frame id (the camera counts ids up by one per frame) --------

struct FrameMarks {
    Clock::time_point lastChunk{};       // the read that completed the frame's last chunk returned
    Clock::time_point nextFirstChunk{};  // the read that completed the next frame's first chunk returned
    Clock::time_point handed{};          // the stream thread handed the frame to the converter
};

std::mutex g_marksMutex;
std::array<FrameMarks, 256> g_marks;

// Follows the packet framing over successive reads (the emulated camera sends well-formed packets).
class FramingTracker {
public:
    // The frame id of the newest image chunk seen, or -1.
    int lastId() const { return m_lastId; }

    void feed(const uint8_t *p, int n, Clock::time_point t)
    {
        int i = 0;
        while (i < n) {
            if (m_remaining > 0) {
                const int k = std::min(m_remaining, n - i);
                i += k;
                m_remaining -= k;
                if (m_remaining == 0)
                    packetDone(t);
                continue;
            }
            m_hdr[m_hdrLen++] = p[i++];
            if (m_hdrLen == 1 && p[i - 1] != VS_MAGIC_A && p[i - 1] != VS_MAGIC_B) {
                m_hdrLen = 0;
                continue;
            }
            if (m_hdrLen < 6)
                continue;
            // Six bytes: the header and either the frame id of an image chunk or the extra byte of a reply.
            const uint8_t cid = m_hdr[2];
            const int length = m_hdr[3] | (m_hdr[4] << 8);
            m_chunk = cid == CID_IMAGE_DATA || cid == CID_IMAGE_DATA_B;
            m_chunkId = m_hdr[5];
            m_remaining = m_chunk ? length - 1 : length;
            m_hdrLen = 0;
            if (m_remaining <= 0) {
                m_remaining = 0;
                packetDone(t);
            }
        }
    }

private:
    void packetDone(Clock::time_point t)
    {
        if (!m_chunk)
            return;
        std::lock_guard<std::mutex> lock(g_marksMutex);
        if (m_lastId >= 0 && m_chunkId != m_lastId)
            g_marks[static_cast<size_t>(m_lastId)].nextFirstChunk = t;
        g_marks[m_chunkId].lastChunk = t;
        m_lastId = m_chunkId;
    }

    uint8_t m_hdr[6] = {};
    int m_hdrLen = 0;
    int m_remaining = 0;
    bool m_chunk = false;
    uint8_t m_chunkId = 0;
    int m_lastId = -1;
};

FramingTracker g_tracker;  // touched only by the stream thread

using BulkFn = int (*)(libusb_device_handle *, unsigned char, unsigned char *, int, int *, unsigned int);

}  // namespace

// The program's own libusb_bulk_transfer: the transport's calls land here and go on to libusb's.
extern "C" int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint,
                                                unsigned char *data, int length, int *transferred,
                                                unsigned int timeout)
{
    static const BulkFn real = reinterpret_cast<BulkFn>(dlsym(RTLD_NEXT, "libusb_bulk_transfer"));
    const int r = real(handle, endpoint, data, length, transferred, timeout);
    if (endpoint == kStreamEndpoint && r == 0 && transferred && *transferred > 0)
        g_tracker.feed(data, *transferred, Clock::now());
    return r;
}

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

double cpuOf(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void runFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

struct Stats {
    double median = 0, p95 = 0, max = 0;
};

Stats statsOf(std::vector<double> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p95 = v[std::min(v.size() - 1, v.size() * 95 / 100)];
    s.max = v.back();
    return s;
}

struct Result {
    int frames = 0;          // pictures measured
    int unmatched = 0;       // pictures whose frame number could not be read or matched
    double wall = 0;
    Stats total, road;       // ms
    Stats convert;           // ms, from the hand-over to the converter to newImage
    double streamCpu = 0, convCpu = 0, processCpu = 0;  // % of one core
    int sent = 0;            // frames the camera sent while measuring
    int skipped = 0;         // of them, not decoded for the live view because newer ones waited
    Stats reference;         // ms per frame: libjpeg-turbo decoding the same frames alone
    double referenceCpuMs = 0;  // its CPU time per frame
};

// The reference: libjpeg-turbo decoding frames of the same kind alone, into one reused buffer, timed
// one by one in this thread.
Stats turboReference(const vcam::StreamOptions &options, int count, double *cpuMs)
{
    std::vector<QByteArray> frames;
    std::mt19937 rng(options.seed);
    for (int i = 0; i < count; ++i)
        frames.push_back(vcam::toQByteArray(vcam::StreamGenerator::buildFrame(options, static_cast<uint32_t>(i), false, &rng).jpeg));
    tjhandle handle = tjInitDecompress();
    std::vector<unsigned char> pixels(static_cast<size_t>(options.width) * options.height * 4);
    std::vector<double> ms;
    const double cpu0 = cpuOf(CLOCK_THREAD_CPUTIME_ID);
    for (int round = 0; round < 4; ++round) {
        for (const QByteArray &jpeg : frames) {
            const Clock::time_point t0 = Clock::now();
            tjDecompress2(handle, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                          static_cast<unsigned long>(jpeg.size()), pixels.data(), options.width, options.width * 4,
                          options.height, TJPF_BGRX, 0);
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
    }
    *cpuMs = 1000.0 * (cpuOf(CLOCK_THREAD_CPUTIME_ID) - cpu0) / static_cast<double>(ms.size());
    tjDestroy(handle);
    return statsOf(ms);
}

bool runCase(vcam::VirtualUsbBus &bus, int width, int height, vcam::Scene scene, double seconds, Result *res)
{
    vcam::CameraConfig config;
    config.stream.width = width;
    config.stream.height = height;
    config.stream.scene = scene;
    config.fps = 25;
    vcam::VirtualCamera cam(bus, config);
    cam.plug();
    proto_reset_for_testing();
    g_tracker = FramingTracker{};
    {
        std::lock_guard<std::mutex> lock(g_marksMutex);
        g_marks.fill(FrameMarks{});
    }

    ImageConverModule *conv = ImageConverModule::instance();
    ThreadUSB thread(nullptr, config.vendorId, config.productId);

    std::atomic<bool> streamClockReady{false}, convClockReady{false}, measuring{false};
    clockid_t streamClock{}, convClock{};
    std::mutex emitMutex;
    std::vector<Clock::time_point> emitted;  // emission times of the measured pictures, in order
    std::vector<uint32_t> numbers;           // their frame numbers, read in this thread

    QObject context;
    QObject::connect(
        &thread, &QThread::started, &context,
        [&] { streamClockReady = pthread_getcpuclockid(pthread_self(), &streamClock) == 0; },
        Qt::DirectConnection);
    // In the stream thread: the converter takes every frame in order and gives one picture for each.
    // The parser hands a frame on when the first chunk of the next frame has been read, so the frame
    // handed over is the one before the newest chunk's.
    QObject::connect(
        conv, &ImageConverModule::converBufToImage, &context,
        [&](char *, int) {
            const Clock::time_point now = Clock::now();
            const int newest = g_tracker.lastId();
            if (newest < 0)
                return;
            std::lock_guard<std::mutex> lock(g_marksMutex);
            g_marks[static_cast<uint8_t>(newest - 1)].handed = now;
        },
        Qt::DirectConnection);
    // The conversion thread's clock, taken in that thread.
    QMetaObject::invokeMethod(
        conv, [&] { convClockReady = pthread_getcpuclockid(pthread_self(), &convClock) == 0; },
        Qt::BlockingQueuedConnection);
    // At the moment of emission: newImage is emitted in the GUI thread (this one), when the picture
    // reaches it.
    std::atomic<bool> pictureSeen{false};
    QObject::connect(
        conv, &ImageConverModule::newImage, &context,
        [&](const QPixmap &) {
            const Clock::time_point now = Clock::now();
            pictureSeen = true;
            std::lock_guard<std::mutex> lock(emitMutex);
            emitted.push_back(measuring.load() ? now : Clock::time_point{});
        },
        Qt::DirectConnection);
    // In this thread, in the same order: which frame each picture was.
    QObject::connect(
        conv, &ImageConverModule::newImage, &context,
        [&](const QPixmap &pixmap) {
            const auto n = vcam::decodeFrameNumber(pixmap.toImage());
            numbers.push_back(n ? *n : UINT32_MAX);
        },
        Qt::QueuedConnection);

    thread.start();
    // Warm-up: one second from the first picture (large scenes take the camera a while to draw).
    for (int i = 0; i < 300 && !pictureSeen.load(); ++i)
        runFor(0.05);
    runFor(1.0);
    const quint64 skipped0 = conv->skippedDisplayFrames();
    const uint64_t queued0 = cam.stats().framesQueued;
    if (!streamClockReady.load() || !convClockReady.load()) {
        thread.stopStream();
        thread.wait();
        return false;
    }
    const double s0 = cpuOf(streamClock), c0 = cpuOf(convClock), p0 = cpuOf(CLOCK_PROCESS_CPUTIME_ID);
    const Clock::time_point t0 = Clock::now();
    measuring = true;
    runFor(seconds);
    measuring = false;
    const double s1 = cpuOf(streamClock), c1 = cpuOf(convClock), p1 = cpuOf(CLOCK_PROCESS_CPUTIME_ID);
    res->wall = std::chrono::duration<double>(Clock::now() - t0).count();
    res->skipped = static_cast<int>(conv->skippedDisplayFrames() - skipped0);
    res->sent = static_cast<int>(cam.stats().framesQueued - queued0);

    thread.stopStream();
    thread.wait();
    // Every frame handed over has been converted once a call queued behind them has run; then the last
    // pictures reach this thread.
    std::atomic<bool> drained{false};
    QMetaObject::invokeMethod(conv, [&drained] { drained = true; }, Qt::QueuedConnection);
    while (!drained.load())
        runFor(0.02);
    runFor(0.1);

    res->streamCpu = 100.0 * (s1 - s0) / res->wall;
    res->convCpu = 100.0 * (c1 - c0) / res->wall;
    res->processCpu = 100.0 * (p1 - p0) / res->wall;

    std::vector<double> total, road, convert;
    std::lock_guard<std::mutex> lock(emitMutex);
    std::lock_guard<std::mutex> marksLock(g_marksMutex);
    const size_t n = std::min(emitted.size(), numbers.size());
    for (size_t i = 0; i < n; ++i) {
        if (emitted[i] == Clock::time_point{})
            continue;
        if (numbers[i] == UINT32_MAX) {
            ++res->unmatched;
            continue;
        }
        const FrameMarks &m = g_marks[static_cast<uint8_t>(config.stream.firstFrameId + numbers[i])];
        if (m.handed != Clock::time_point{} && m.handed <= emitted[i])
            convert.push_back(std::chrono::duration<double, std::milli>(emitted[i] - m.handed).count());
        if (m.lastChunk == Clock::time_point{} || m.nextFirstChunk == Clock::time_point{} ||
            m.lastChunk > emitted[i] || m.nextFirstChunk > emitted[i]) {
            ++res->unmatched;
            continue;
        }
        total.push_back(std::chrono::duration<double, std::milli>(emitted[i] - m.lastChunk).count());
        road.push_back(std::chrono::duration<double, std::milli>(emitted[i] - m.nextFirstChunk).count());
    }
    res->frames = static_cast<int>(total.size());
    res->total = statsOf(total);
    res->road = statsOf(road);
    res->convert = statsOf(convert);
    return res->frames > 0;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 6;
    struct Size {
        int width, height;
    };
    std::vector<Size> sizes;
    vcam::Scene scene = vcam::Scene::Camera;
    const char *sceneName = "camera";
    for (int i = 1; i < argc; ++i) {
        Size size{};
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--scene") == 0 && i + 1 < argc) {
            sceneName = argv[++i];
            if (std::strcmp(sceneName, "pattern") == 0)
                scene = vcam::Scene::Pattern;
            else if (std::strcmp(sceneName, "noise") == 0)
                scene = vcam::Scene::Noise;
            else if (std::strcmp(sceneName, "camera") != 0)
                sizes.push_back({0, 0});  // refused below
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc &&
                   std::sscanf(argv[++i], "%dx%d", &size.width, &size.height) == 2 && size.width >= 80 &&
                   size.height >= 80 && size.width <= 4096 && size.height <= 4096) {
            sizes.push_back(size);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--scene camera|pattern|noise] [--size WIDTHxHEIGHT]...\n",
                         argv[0]);
            return 2;
        }
    }
    for (const Size &size : sizes) {
        if (size.width == 0) {
            std::fprintf(stderr, "unknown scene %s\n", sceneName);
            return 2;
        }
    }
    if (sizes.empty())
        sizes = {{640, 480}, {1280, 720}, {1920, 1080}};
    // At 25 frames per second the 256 frame ids last ten seconds; the marks are kept by id.
    seconds = std::clamp(seconds, 1.0, 9.0);

    // The log lines and the parser's trace are not wanted; the report goes to the original output.
    qInstallMessageHandler(&quiet);
    std::fflush(stdout);
    FILE *report = fdopen(dup(1), "w");
    if (!report || !std::freopen("/dev/null", "w", stdout))
        return 1;

    vcam::VirtualUsbBus bus;  // before the first libusb_init
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int appArgc = 1;
    char name[] = "bench_stream";
    char *appArgv[] = {name, nullptr};
    QGuiApplication app(appArgc, appArgv);
    ImageConverModule::instance();

    double load[3] = {};
    if (getloadavg(load, 3) == 3)
        std::fprintf(report, "load average before: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    std::fprintf(report, "scene %s, 25 fps, %.0f s measured per size; latency in ms (median / p95 / max), CPU in %% of one core\n",
                 sceneName, seconds);
    std::fprintf(report, "%-9s %6s %22s %22s %22s %7s %7s %7s %8s %26s\n", "size", "frames", "last chunk -> newImage",
                 "next frame -> newImage", "hand-over -> newImage", "stream", "convert", "process", "skipped",
                 "turbo ref ms/fr");
    int status = 0;
    for (const Size &s : sizes) {
        Result r;
        const std::string size = std::to_string(s.width) + "x" + std::to_string(s.height);
        if (!runCase(bus, s.width, s.height, scene, seconds, &r)) {
            std::fprintf(report, "%-9s the stream did not run\n", size.c_str());
            status = 1;
            continue;
        }
        vcam::StreamOptions options;
        options.width = s.width;
        options.height = s.height;
        options.scene = scene;
        r.reference = turboReference(options, 25, &r.referenceCpuMs);
        char total[64], road[64], convert[64], skipped[32], reference[48];
        std::snprintf(convert, sizeof convert, "%.1f / %.1f / %.1f", r.convert.median, r.convert.p95, r.convert.max);
        std::snprintf(total, sizeof total, "%.1f / %.1f / %.1f", r.total.median, r.total.p95, r.total.max);
        std::snprintf(road, sizeof road, "%.1f / %.1f / %.1f", r.road.median, r.road.p95, r.road.max);
        std::snprintf(skipped, sizeof skipped, "%d/%d", r.skipped, r.sent);
        std::snprintf(reference, sizeof reference, "%.1f / %.1f, cpu %.1f (%.0f%%)", r.reference.median,
                      r.reference.p95, r.referenceCpuMs, r.referenceCpuMs * 25 / 10);
        std::fprintf(report, "%-9s %6d %22s %22s %22s %6.1f%% %6.1f%% %6.1f%% %8s %26s\n", size.c_str(), r.frames,
                     total, road, convert, r.streamCpu, r.convCpu, r.processCpu, skipped, reference);
        if (r.unmatched > 0)
            std::fprintf(report, "          (%d pictures not matched to their reads)\n", r.unmatched);
        std::fflush(report);
    }
    if (getloadavg(load, 3) == 3)
        std::fprintf(report, "load average after: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    std::fclose(report);
    return status;
}
