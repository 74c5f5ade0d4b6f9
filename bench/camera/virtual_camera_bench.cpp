// What a reader of the virtual camera pays: a stream read through the real libusb from the emulated
// camera, as the stream thread reads it (4092-byte reads fed to the parser).
//
//   bench_camera_usb [--seconds N]       (default 3 per case)
//
// Paced cases (25 frames per second) show that a reader waiting for the next frame sleeps instead of
// spinning: its thread CPU share stays small, and the process share (reader, camera clock encoding the
// JPEG frames, umockdev's worker) shows the cost of the emulation itself. The unpaced case shows how fast
// the emulator serves reads.

#include "camera_proto.h"
#include "camera_proto_testing.h"
#include "usb_transport.h"
#include "virtual_camera.h"

#include <QtGlobal>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

int g_frames = 0;

int onFrame(vs_frameinfo_t *, void *)
{
    ++g_frames;
    return 0;
}

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

double cpuSeconds(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Result {
    int frames = 0;
    long long bytes = 0;
    int reads = 0;
    double wall = 0, readerCpu = 0, processCpu = 0;
};

bool runCase(vcam::VirtualUsbBus &bus, int width, int height, double fps, double seconds, Result *r)
{
    vcam::CameraConfig config;
    config.fps = fps;
    config.stream.width = width;
    config.stream.height = height;
    vcam::VirtualCamera cam(bus, config);
    cam.plug();
    if (USB_Lib_Start() != 0)
        return false;
    bool ok = false;
    vs_usbdev_t dev;
    if (USB_cameraWifi_Open(config.vendorId, config.productId, &dev) == 0) {
        libusb_device_handle *h = dev.handle.load();
        libusb_claim_interface(h, 1);
        libusb_set_interface_alt_setting(h, 1, 1);
        uint8_t cmd[VS_CMD_LEN];
        int n = 0;
        proto_make_command(CID_OPEN_STREAM, cmd);
        USB_OUT_Set_Write2(&dev, cmd, VS_CMD_LEN, &n, 1000);
        proto_reset_for_testing();
        const vs_proto_cb_t cb = {&onFrame, nullptr};
        proto_init(&cb);
        g_frames = 0;

        uint8_t buf[4092];
        const double cpu0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const double proc0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const auto t0 = std::chrono::steady_clock::now();
        for (;;) {
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (wall >= seconds) {
                r->wall = wall;
                break;
            }
            std::memset(buf, 0, sizeof buf);
            if (USB_IN_RetureData_Read2(&dev, buf, sizeof buf, &n, 3000) != 0)
                break;
            ++r->reads;
            r->bytes += n;
            proto_input(buf, n);
        }
        r->readerCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        r->processCpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - proc0;
        r->frames = g_frames;
        ok = r->wall > 0;
        USB_Close(&dev);
    }
    USB_Lib_End(nullptr);
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
            return 2;
        }
    }
    // The transport's log lines and the parser's trace are not wanted here; the report goes to the
    // original standard output.
    qInstallMessageHandler(&quiet);
    std::fflush(stdout);
    FILE *report = fdopen(dup(1), "w");
    if (!report || !std::freopen("/dev/null", "w", stdout))
        return 1;

    vcam::VirtualUsbBus bus;  // before the first libusb_init
    struct Case {
        int width, height;
        double fps;
    } cases[] = {{640, 480, 25}, {1280, 720, 25}, {640, 480, 0}};
    std::fprintf(report, "%-10s %5s %9s %8s %7s %11s %12s   (CPU in %% of one core)\n", "size", "fps", "frames/s",
                 "reads/s", "MB/s", "reader CPU", "process CPU");
    for (const Case &c : cases) {
        Result r;
        if (!runCase(bus, c.width, c.height, c.fps, seconds, &r)) {
            std::fprintf(report, "%dx%d: the stream did not run\n", c.width, c.height);
            return 1;
        }
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        std::fprintf(report, "%-10s %5s %9.1f %8.0f %7.2f %10.1f%% %11.1f%%\n", size.c_str(),
                     c.fps > 0 ? std::to_string(static_cast<int>(c.fps)).c_str() : "max", r.frames / r.wall,
                     r.reads / r.wall, static_cast<double>(r.bytes) / r.wall / 1e6, 100.0 * r.readerCpu / r.wall,
                     100.0 * r.processCpu / r.wall);
    }
    std::fclose(report);
    return 0;
}
