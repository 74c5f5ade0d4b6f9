#pragma once
// The usb-host side of the usbredir protocol for one peer (QEMU's usb-redir device): announces a
// usbdev::UsbDeviceModel and answers the peer's control, bulk and configuration packets from it.
//
// Single-threaded: one thread calls pump() (or feeds readable()/writable() from its own poll loop).
// The model may call its wakeup from any thread; that only makes wakeFd() readable, and the pending
// transfers are retried on the pump thread.
//
// Bulk IN transfers the model cannot answer yet (Result::Pending) wait per endpoint, in order, and are
// retried after every wakeup, after every OUT transfer and control request, and at least every
// kRetryMs; the peer may cancel them. A transfer the model answers with Result::Gone fails with an I/O
// error and the device is reported disconnected.
#include "usb_device_model.h"

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

struct usbredirparser;
struct usb_redir_control_packet_header;
struct usb_redir_bulk_packet_header;

namespace usbredir {

// Interface and endpoint tables the peer needs, parsed from a configuration descriptor. Endpoints of
// every alternate setting are listed (the first setting that names an endpoint gives its details).
struct EndpointTable {
    struct Interface { uint8_t number, cls, subclass, protocol; };
    struct Endpoint { uint8_t address, type, interval, interface; uint16_t maxPacket; };
    std::vector<Interface> interfaces;
    std::vector<Endpoint> endpoints;
    std::map<uint8_t, std::vector<uint8_t>> altSettings;  // interface -> its alternate settings
    bool valid = false;  // false for a descriptor that is cut short or malformed
};
EndpointTable parseConfiguration(const usbdev::Bytes &config);

// Counters of one connection.
struct ConnectionStats {
    uint64_t controlRequests = 0;
    uint64_t bulkOut = 0, bulkOutBytes = 0;
    uint64_t bulkIn = 0, bulkInBytes = 0;
    uint64_t cancelled = 0, stalls = 0;
};

class Connection {
public:
    static constexpr int kRetryMs = 20;

    // `fd` is a connected stream socket; it is made non-blocking (the parser reads until a read would
    // block) and closed by the destructor. `wakeFd` is an eventfd the model's wakeup writes to, owned by
    // the caller (a server keeps one for all its connections, so a late wakeup never hits a closed
    // descriptor); -1: the connection makes its own and sets the model's wakeup to it.
    Connection(usbdev::UsbDeviceModel &model, int fd, int wakeFd = -1, int verbose = 0);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Waits up to `timeoutMs` for the peer, the model's wakeup or the retry time, then does what is due.
    // False once the connection has ended (peer closed it, or a protocol or socket error).
    bool pump(int timeoutMs);
    bool alive() const { return alive_; }

    // Reports the device unplugged (the peer detaches it) or plugged in again (announced anew).
    void disconnectDevice();
    void connectDevice();
    bool deviceConnected() const { return connected_; }
    // Fault injection: the next bulk IN transfer stalls, and so does every later one on that endpoint
    // until the host clears the halt (CLEAR_FEATURE(ENDPOINT_HALT)), as with a device that halts it.
    void haltNextIn() { haltNextIn_ = true; }

    const ConnectionStats &stats() const { return stats_; }
    int fd() const { return fd_; }

private:
    struct Pending {
        uint64_t id;
        uint8_t endpoint;
        uint32_t length;
        usbdev::Bytes data;  // an OUT transfer's bytes
    };

    static Connection *self(void *priv) { return static_cast<Connection *>(priv); }
    void announce();
    void serveControl(uint64_t id, const ::usb_redir_control_packet_header *h, const uint8_t *data,
                      int len);
    usbdev::Result standardRequest(const usbdev::SetupPacket &s, usbdev::Bytes &data);
    void serveBulk(uint64_t id, const ::usb_redir_bulk_packet_header *h, const uint8_t *data, int len);
    // Asks the model once; false when it answered Pending (nothing sent).
    bool tryBulk(const Pending &p);
    void sendBulk(uint64_t id, uint8_t endpoint, uint8_t status, uint32_t length, const uint8_t *data, int dataLen);
    void retryPending();
    void dropPending(uint8_t status);
    uint8_t statusOf(usbdev::Result r);
    void deviceGone();
    void flush();
    void log(int level, const std::string &text) const;

    usbdev::UsbDeviceModel &model_;
    int fd_;
    int wakeFd_;
    bool ownWakeFd_ = false;
    int verbose_;
    struct usbredirparser *parser_ = nullptr;
    bool alive_ = true;
    bool helloSeen_ = false;
    EndpointTable table_;
    bool connected_ = false;   // announced to the peer and not disconnected since
    bool wantConnected_ = true;
    bool haltNextIn_ = false;
    std::set<uint8_t> halted_;
    uint8_t configuration_ = 1;
    std::map<uint8_t, uint8_t> altSettings_;  // interface -> alternate setting
    std::map<uint8_t, std::deque<Pending>> pending_;  // per endpoint, oldest first
    ConnectionStats stats_;

    friend struct Callbacks;
};


}  // namespace usbredir
