#include "usbredir_server.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace usbredir {

Server::Server(usbdev::UsbDeviceModel &model, std::string socketPath, int verbose)
    : model_(model), path_(std::move(socketPath)), verbose_(verbose)
{
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int wfd = wakeFd_;
    model_.setWakeup([wfd] {
        uint64_t one = 1;
        ssize_t r = ::write(wfd, &one, sizeof one);
        (void)r;
    });
}

Server::~Server()
{
    conn_.reset();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(path_.c_str());
    }
    // wakeFd_ stays open: a model thread may still call the wakeup until the model is destroyed.
}

bool Server::listen(std::string &error)
{
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof addr.sun_path) {
        error = "socket path empty or longer than " + std::to_string(sizeof addr.sun_path - 1) + " bytes: " + path_;
        return false;
    }
    memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    ::unlink(path_.c_str());
    if (bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || ::listen(listenFd_, 4) < 0) {
        error = "cannot listen on " + path_ + ": " + strerror(errno);
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    return true;
}

void Server::acceptPending()
{
    for (;;) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        if (conn_) {
            retire();
            if (verbose_)
                fprintf(stderr, "usbredir-device: a new peer replaces the old one\n");
        }
        conn_ = std::make_unique<Connection>(model_, fd, wakeFd_, verbose_);
        connections_++;
        if (!plugged_)
            conn_->disconnectDevice();
    }
}

void Server::setPlugged(bool plugged)
{
    plugged_ = plugged;
    if (!conn_)
        return;
    if (plugged)
        conn_->connectDevice();
    else
        conn_->disconnectDevice();
}

namespace {
void add(ConnectionStats &s, const ConnectionStats &c)
{
    s.controlRequests += c.controlRequests;
    s.bulkOut += c.bulkOut;
    s.bulkOutBytes += c.bulkOutBytes;
    s.bulkIn += c.bulkIn;
    s.bulkInBytes += c.bulkInBytes;
    s.cancelled += c.cancelled;
    s.stalls += c.stalls;
}
}  // namespace

void Server::retire()
{
    add(finished_, conn_->stats());
    conn_.reset();
}

ConnectionStats Server::stats() const
{
    ConnectionStats s = finished_;
    if (conn_)
        add(s, conn_->stats());
    return s;
}

void Server::run(const std::atomic<bool> &stop, const std::function<void()> &tick)
{
    using Clock = std::chrono::steady_clock;
    auto nextTick = Clock::now();
    while (!stop) {
        acceptPending();
        if (conn_) {
            if (!conn_->pump(50)) {
                retire();
                if (verbose_)
                    fprintf(stderr, "usbredir-device: peer gone; waiting for the next one\n");
            }
        } else {
            struct pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            if (poll(fds, 2, 100) > 0 && (fds[1].revents & POLLIN)) {
                uint64_t n;
                ssize_t r = ::read(wakeFd_, &n, sizeof n);
                (void)r;
            }
        }
        if (tick && Clock::now() >= nextTick) {
            tick();
            nextTick = Clock::now() + std::chrono::milliseconds(100);
        }
    }
}

}  // namespace usbredir
