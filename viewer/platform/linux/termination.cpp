#include "termination.h"

#include <QDebug>
#include <QObject>
#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace viscana::platform {
namespace {

// The signal handler only writes the signal number into a pipe; the GUI thread reads it.
int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_requests = 0;

void onSignal(int sig)
{
    if (g_requests++ > 0)
        _exit(128 + sig);
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = write(g_pipe[1], &byte, 1);
}

}  // namespace

void onTerminationRequest(QObject *context, std::function<void()> handler)
{
    if (g_pipe[0] < 0) {
        if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            qWarning() << "no termination pipe; SIGINT and SIGTERM end the process at once";
            return;
        }
    }
    auto *notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [handler = std::move(handler)]() {
        unsigned char byte = 0;
        while (read(g_pipe[0], &byte, 1) == 1) {
        }
        qWarning() << "termination requested by signal" << int(byte) << "; closing";
        handler();
        // Handled: a later request is treated as a first one again.
        g_requests = 0;
    });

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A write past the process's file-size limit then fails (EFBIG) as one to a full disk does, and is
    // handled like it, instead of ending the process with its recordings unfinished.
    signal(SIGXFSZ, SIG_IGN);
}

}  // namespace viscana::platform
