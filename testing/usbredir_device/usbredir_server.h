#pragma once
// Serves one device model on a UNIX stream socket, as the server end of QEMU's
// `-chardev socket,path=...`: one peer at a time; a new connection (the device added again under a
// fresh chardev) replaces the old one, and the device is announced to each peer anew.
#include "usbredir_connection.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace usbredir {

class Server {
public:
    Server(usbdev::UsbDeviceModel &model, std::string socketPath, int verbose = 0);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Binds and listens (an old socket file is replaced); false with `error` set on failure.
    bool listen(std::string &error);
    // Serves until `stop` is set; `tick` runs about every 100 ms on the serving thread (controls, stats).
    void run(const std::atomic<bool> &stop, const std::function<void()> &tick = {});

    // Unplug or plug the device for the current and later peers (serving thread only, e.g. from tick).
    void setPlugged(bool plugged);
    bool plugged() const { return plugged_; }
    void haltNextIn() { if (conn_) conn_->haltNextIn(); }
    bool peerConnected() const { return conn_ != nullptr; }
    ConnectionStats stats() const;
    int connections() const { return connections_; }

private:
    void acceptPending();
    void retire();  // ends the current connection, keeping its counters

    usbdev::UsbDeviceModel &model_;
    std::string path_;
    int verbose_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    bool plugged_ = true;
    int connections_ = 0;
    std::unique_ptr<Connection> conn_;
    ConnectionStats finished_;  // counters of connections that have ended
};

}  // namespace usbredir
