// usbredir-device: serves one virtual USB device to QEMU over the usbredir protocol on a UNIX socket.
//
//   usbredir-device --socket PATH MODEL [model options] [--stats FILE] [-v|-vv]
//   qemu-system-x86_64 ... -device qemu-xhci -chardev socket,id=c0,path=PATH -device usb-redir,chardev=c0
//
// Start it before QEMU (QEMU connects at start-up). SIGUSR1 unplugs the device, SIGUSR2 plugs it in
// again; SIGRTMIN makes the next bulk IN transfer stall (the endpoint stays halted until the host
// clears it); SIGTERM or SIGINT ends the program. With --stats the counters are written to FILE every second
// and at the end, one "name=value" per word.
#include "served_models.h"
#include "usbredir_server.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_plugRequest{0};  // 1 plug, -1 unplug
std::atomic<bool> g_haltRequest{false};

void onSignal(int sig)
{
    if (sig == SIGRTMIN)
        g_haltRequest = true;
    else if (sig == SIGUSR1)
        g_plugRequest = -1;
    else if (sig == SIGUSR2)
        g_plugRequest = 1;
    else
        g_stop = true;
}

void usage(FILE *to)
{
    fprintf(to, "usage: usbredir-device --socket PATH MODEL [model options] [--stats FILE] [-v|-vv]\nmodels:\n");
    for (const auto &k : usbredir::servedModels())
        fprintf(to, "  %s\n", k.usage.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    std::string socketPath, statsPath;
    int verbose = 0;
    const usbredir::ModelKind *kind = nullptr;
    std::vector<std::string> modelArgs;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--socket" || a == "--stats") {
            if (i + 1 >= argc) {
                fprintf(stderr, "usbredir-device: %s needs a value\n", a.c_str());
                return 2;
            }
            (a == "--socket" ? socketPath : statsPath) = argv[++i];
        } else if (a == "-v" || a == "-vv") {
            verbose = int(a.size()) - 1;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (!kind) {
            for (const auto &k : usbredir::servedModels())
                if (k.option == a)
                    kind = &k;
            if (!kind) {
                fprintf(stderr, "usbredir-device: unknown model or option %s\n", a.c_str());
                usage(stderr);
                return 2;
            }
        } else {
            modelArgs.push_back(a);
        }
    }
    if (socketPath.empty() || !kind) {
        usage(stderr);
        return 2;
    }

    usbredir::ServedDevice device;
    std::string error;
    if (!kind->make(modelArgs, device, error)) {
        fprintf(stderr, "usbredir-device: %s\n", error.c_str());
        return 2;
    }
    usbredir::Server server(*device.model, socketPath, verbose);
    if (!server.listen(error)) {
        fprintf(stderr, "usbredir-device: %s\n", error.c_str());
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, int(SIGRTMIN)})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    fprintf(stderr, "usbredir-device: serving %s on %s\n", kind->option.c_str() + 2, socketPath.c_str());

    auto writeStats = [&] {
        if (statsPath.empty())
            return;
        usbredir::ConnectionStats s = server.stats();
        const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        char time[32];
        snprintf(time, sizeof time, "time=%.3f ", now);
        std::string line = time + std::string("connections=") + std::to_string(server.connections()) +
                           " plugged=" + std::to_string(server.plugged()) +
                           " control=" + std::to_string(s.controlRequests) +
                           " bulk_out=" + std::to_string(s.bulkOut) + " bulk_out_bytes=" + std::to_string(s.bulkOutBytes) +
                           " bulk_in=" + std::to_string(s.bulkIn) + " bulk_in_bytes=" + std::to_string(s.bulkInBytes) +
                           " cancelled=" + std::to_string(s.cancelled) + " stalls=" + std::to_string(s.stalls);
        if (device.stats)
            line += " " + device.stats();
        std::string tmp = statsPath + ".tmp";
        std::ofstream(tmp) << line << "\n";
        std::rename(tmp.c_str(), statsPath.c_str());
    };
    int ticks = 0;
    server.run(g_stop, [&] {
        int request = g_plugRequest.exchange(0);
        if (request != 0) {
            bool plug = request > 0;
            if (device.setPresent)
                device.setPresent(plug);
            server.setPlugged(plug);
            fprintf(stderr, "usbredir-device: %s\n", plug ? "plugged in" : "unplugged");
        }
        if (g_haltRequest.exchange(false)) {
            server.haltNextIn();
            fprintf(stderr, "usbredir-device: the next bulk IN transfer stalls\n");
        }
        if (++ticks % 10 == 0)
            writeStats();
    });
    writeStats();
    return 0;
}
