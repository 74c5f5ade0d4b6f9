// GLib first: its headers use identifiers that Qt's keywords (pulled in by virtual_camera.h) redefine.
#include <umockdev.h>

#include "virtual_camera.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace vcam {

const uint8_t kHandshakeCommand[6] = {0xFF, 0x55, 0xFF, 0x55, 0xEE, 0x10};
const uint8_t kHandshakeReply[6] = {0xFF, 0x55, 0x02, 0x00, 0xEE, 0x10};

namespace {

const uint8_t kWrongReply[6] = {0xFF, 0x55, 0x02, 0x01, 0xEE, 0x10};

constexpr uint8_t kEpIn1 = 0x81, kEpOut1 = 0x01, kEpIn2 = 0x82, kEpOut2 = 0x02;
constexpr size_t kMaxQueuedBytes = 8u << 20;  // a reader that falls this far behind loses frames

// ---- Descriptors --------------------------------------------------------------------------------

struct AltSetting {
    int interfaceNumber;
    int alt;
    std::vector<uint8_t> endpoints;  // in descriptor order
};

std::vector<AltSetting> settingsOf(Layout layout)
{
    switch (layout) {
    case Layout::OutBeforeIn:
        return {{0, 0, {kEpOut1, kEpIn1}}, {1, 0, {}}, {1, 1, {kEpOut2, kEpIn2}}};
    case Layout::SingleVendorSetting:
        return {{0, 0, {kEpIn1, kEpOut1}}};
    case Layout::Standard:
    default:
        return {{0, 0, {kEpIn1, kEpOut1}}, {1, 0, {}}, {1, 1, {kEpIn2, kEpOut2}}};
    }
}

int interfaceCount(Layout layout)
{
    return layout == Layout::SingleVendorSetting ? 1 : 2;
}

Bytes deviceDescriptor(uint16_t vid, uint16_t pid)
{
    return {18, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 64,
            static_cast<uint8_t>(vid & 0xFF), static_cast<uint8_t>(vid >> 8),
            static_cast<uint8_t>(pid & 0xFF), static_cast<uint8_t>(pid >> 8),
            0x00, 0x01, 1, 2, 3, 1};
}

Bytes configDescriptor(Layout layout)
{
    Bytes d = {9, 0x02, 0, 0, static_cast<uint8_t>(interfaceCount(layout)), 1, 0, 0x80, 0xFA};
    for (const AltSetting &s : settingsOf(layout)) {
        const Bytes intf = {9, 0x04, static_cast<uint8_t>(s.interfaceNumber), static_cast<uint8_t>(s.alt),
                            static_cast<uint8_t>(s.endpoints.size()), 0xFF, 0xF0, 0x00, 0};
        d.insert(d.end(), intf.begin(), intf.end());
        for (uint8_t ep : s.endpoints) {
            const Bytes e = {7, 0x05, ep, 0x02, 0x00, 0x02, 0};  // bulk, 512 bytes
            d.insert(d.end(), e.begin(), e.end());
        }
    }
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

Bytes stringDescriptor(const std::string &text)
{
    Bytes d = {static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

// A 16-bit id as sysfs writes it: four lower-case hexadecimal digits.
std::string hex4(uint16_t v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

// The serial number the camera reports: the configured one, or "VCAM" and the port number.
std::string serialOf(const CameraConfig &cfg, int port)
{
    return cfg.serial.empty() ? "VCAM" + std::to_string(port) : cfg.serial;
}

std::string hex(const Bytes &b)
{
    static const char *digits = "0123456789abcdef";
    std::string s;
    for (uint8_t v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

// ---- Transfers ----------------------------------------------------------------------------------

// One submitted URB, kept until it is reaped (or its client goes away).
struct Urb {
    UMockdevIoctlClient *client = nullptr;  // referenced
    UMockdevIoctlData *data = nullptr;      // referenced: struct usbdevfs_urb
    UMockdevIoctlData *buffer = nullptr;    // referenced: its buffer (null without one)
    int session = 0;
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int length = 0;
    unsigned long clientAddr = 0;

    usbdevfs_urb *urb() const { return reinterpret_cast<usbdevfs_urb *>(data->data); }
    uint8_t *bytes() const { return buffer ? buffer->data : nullptr; }
};

void releaseUrb(Urb &u)
{
    if (u.buffer)
        g_object_unref(u.buffer);
    if (u.data)
        g_object_unref(u.data);
    if (u.client)
        g_object_unref(u.client);
    u = Urb{};
}

struct Session {
    int id = 0;
    int devnum = 0;
    std::string devnode;   // /dev/bus/usb/001/00N
    std::string syspath;   // /sys/devices/usb1/1-P
    int fifoFd = -1;       // our end of the device node FIFO
    bool fifoFull = false; // full: libusb's poll for POLLOUT sleeps
    bool present = false;
};

struct ClientInfo {
    int session = 0;
    gulong notifyId = 0;
};

}  // namespace

// ---- The device model ---------------------------------------------------------------------------

struct VirtualCamera::Model : std::enable_shared_from_this<VirtualCamera::Model> {
    mutable std::mutex mu;
    std::condition_variable cv;

    VirtualUsbBus *bus = nullptr;
    int port = 0;
    CameraConfig cfg;
    std::mt19937 rng;

    UMockdevIoctlBase *handler = nullptr;
    gulong ioctlSignal = 0;
    gulong connectSignal = 0;

    std::vector<Session> sessions;
    int current = -1;  // id of the present session, -1 while unplugged
    int nextSession = 1;
    std::map<UMockdevIoctlClient *, ClientInfo> clients;

    // Host-visible device state.
    UMockdevIoctlClient *claimOwner[2] = {nullptr, nullptr};
    int alt[2] = {0, 0};
    std::set<uint8_t> halted;
    std::set<uint8_t> failClear;
    std::set<int> failSetIntf;

    // The stream.
    bool silent = false;
    bool streamOn = false;
    uint64_t streamEpoch = 0;
    int photoPending = 0;
    uint32_t nextFrameNumber = 0;
    std::deque<Bytes> out;
    size_t outOffset = 0;  // bytes of out.front() already sent
    size_t outBytes = 0;
    std::chrono::steady_clock::time_point nextFrameAt;

    std::list<Urb> pending;
    std::list<Urb> done;

    CameraStats st;

    std::thread clock;
    bool stop = false;

    ~Model()
    {
        for (Urb &u : pending)
            releaseUrb(u);
        for (Urb &u : done)
            releaseUrb(u);
        for (Session &s : sessions)
            if (s.fifoFd >= 0)
                ::close(s.fifoFd);
    }

    Session *session(int id)
    {
        for (Session &s : sessions)
            if (s.id == id)
                return &s;
        return nullptr;
    }

    // ---- FIFO readiness: POLLOUT exactly while a finished URB of the session waits to be reaped.
    void syncFifo(int sessionId)
    {
        Session *s = session(sessionId);
        if (!s || s->fifoFd < 0)
            return;
        bool ready = false;
        for (const Urb &u : done)
            if (u.session == sessionId) {
                ready = true;
                break;
            }
        if (ready && s->fifoFull) {
            char c;
            if (::read(s->fifoFd, &c, 1) == 1)
                s->fifoFull = false;
        } else if (!ready && !s->fifoFull) {
            const char c = 0;
            if (::write(s->fifoFd, &c, 1) == 1)
                s->fifoFull = true;
        }
    }

    void syncAll()
    {
        for (const Session &s : sessions)
            syncFifo(s.id);
    }

    void finish(Urb u, int status, int actual)
    {
        u.urb()->status = status;
        u.urb()->actual_length = actual;
        done.push_back(u);
    }

    bool endpointActive(uint8_t ep) const
    {
        for (const AltSetting &s : settingsOf(cfg.layout)) {
            if (s.interfaceNumber > 1 || alt[s.interfaceNumber] != s.alt)
                continue;
            if (std::find(s.endpoints.begin(), s.endpoints.end(), ep) != s.endpoints.end())
                return true;
        }
        return false;
    }

    bool interfaceExists(unsigned intf) const { return static_cast<int>(intf) < interfaceCount(cfg.layout); }

    bool altExists(unsigned intf, unsigned a) const
    {
        for (const AltSetting &s : settingsOf(cfg.layout))
            if (s.interfaceNumber == static_cast<int>(intf) && s.alt == static_cast<int>(a))
                return true;
        return false;
    }

    // ---- Stream --------------------------------------------------------------------------------

    void stopStream()
    {
        streamOn = false;
        ++streamEpoch;
        out.clear();
        outOffset = 0;
        outBytes = 0;
    }

    void startStreamLocked()
    {
        if (!streamOn) {
            streamOn = true;
            nextFrameAt = std::chrono::steady_clock::now();
            cv.notify_all();
        }
    }

    // Fails every pending transfer, as a device reset or an alternate-setting change does.
    void killPending(int status, int onlySession = -1, bool onlyInactiveEndpoints = false)
    {
        for (auto it = pending.begin(); it != pending.end();) {
            const bool sessionMatch = onlySession < 0 || it->session == onlySession;
            const bool epMatch = !onlyInactiveEndpoints || !endpointActive(it->endpoint);
            if (sessionMatch && epMatch) {
                Urb u = *it;
                it = pending.erase(it);
                finish(u, status, 0);
            } else {
                ++it;
            }
        }
    }

    void enqueueAtBoundary(Bytes packet)
    {
        outBytes += packet.size();
        if (outOffset == 0)
            out.push_front(std::move(packet));
        else
            out.insert(out.begin() + 1, std::move(packet));
    }

    void appendFrame(Frame &f)
    {
        for (Bytes &p : f.packets) {
            outBytes += p.size();
            out.push_back(std::move(p));
        }
        ++st.framesQueued;
    }

    Frame makeFrameLocked(uint32_t number, bool photo) const
    {
        std::mt19937 frameRng(cfg.stream.seed * 2654435761u + number);
        return StreamGenerator::buildFrame(cfg.stream, number, photo, &frameRng);
    }

    bool takePhoto()
    {
        if (photoPending > 0) {
            --photoPending;
            return true;
        }
        return false;
    }

    size_t takeBytes(uint8_t *dst, size_t n)
    {
        size_t got = 0;
        while (got < n && !out.empty()) {
            Bytes &front = out.front();
            const size_t k = std::min(n - got, front.size() - outOffset);
            std::memcpy(dst + got, front.data() + outOffset, k);
            got += k;
            outOffset += k;
            if (outOffset == front.size()) {
                out.pop_front();
                outOffset = 0;
            }
        }
        outBytes -= got;
        return got;
    }

    int transferSize(int requested)
    {
        int cap = requested;
        if (cfg.maxTransfer > 0)
            cap = std::min(cap, cfg.maxTransfer);
        if (cfg.randomTransfers && cap > 1)
            cap = std::uniform_int_distribution<int>(1, cap)(rng);
        return cap;
    }

    // Completes every pending read the device can answer now.
    void service()
    {
        for (auto it = pending.begin(); it != pending.end();) {
            Urb &u = *it;
            int status = 0, actual = 0;
            bool answered = false;
            if (u.endpoint == kEpIn1) {
                if (cfg.handshake != Handshake::Silent) {
                    const uint8_t *reply = cfg.handshake == Handshake::Reply ? kHandshakeReply : kWrongReply;
                    actual = std::min(6, u.length);
                    if (actual > 0)
                        std::memcpy(u.bytes(), reply, static_cast<size_t>(actual));
                    status = u.length < 6 ? -EOVERFLOW : 0;
                    ++st.handshakeReads;
                    answered = true;
                }
            } else if (u.endpoint == kEpIn2 && !silent && u.length > 0) {
                const int want = transferSize(u.length);
                if (streamOn && cfg.fps <= 0) {
                    while (outBytes < static_cast<size_t>(want)) {
                        Frame f = makeFrameLocked(nextFrameNumber++, takePhoto());
                        appendFrame(f);
                    }
                }
                if (outBytes > 0) {
                    actual = static_cast<int>(takeBytes(u.bytes(), static_cast<size_t>(want)));
                    ++st.streamReads;
                    st.streamBytesSent += static_cast<uint64_t>(actual);
                    answered = true;
                }
            } else if (u.length == 0) {
                answered = true;
            }
            if (answered) {
                Urb moved = u;
                it = pending.erase(it);
                finish(moved, status, actual);
            } else {
                ++it;
            }
        }
    }

    // ---- Requests -----------------------------------------------------------------------------

    void handleOut(const Urb &u)
    {
        const uint8_t *d = u.bytes();
        const int n = u.length;
        if (!d)
            return;
        if (u.endpoint == kEpOut1) {
            st.handshakeWrites.emplace_back(d, d + n);
            return;
        }
        if (u.endpoint != kEpOut2)
            return;
        for (int i = 0; i + VS_CMD_LEN <= n;) {
            const bool magic = (d[i] == VS_MAGIC_A && d[i + 1] == VS_MAGIC_B) ||
                               (d[i] == VS_MAGIC_B && d[i + 1] == VS_MAGIC_A);
            if (!magic) {
                ++i;
                continue;
            }
            const uint8_t cid = d[i + 2];
            const int len = d[i + 3] | (d[i + 4] << 8);
            st.commands.push_back(cid);
            if (cid == CID_GET_ALLINFO) {
                enqueueAtBoundary(StreamGenerator::devInfoReply(cfg.devInfo, cfg.devInfoLength, cfg.stream.magicAB));
                if (alt[1] == 1)
                    startStreamLocked();
            } else if (cid == CID_OPEN_STREAM) {
                enqueueAtBoundary(StreamGenerator::openStreamReply(cfg.stream.magicAB));
                if (alt[1] == 1)
                    startStreamLocked();
            }
            i += VS_CMD_LEN + len;
        }
    }

    void handleControl(Urb &u)
    {
        if (u.length < 8 || !u.bytes()) {
            finish(u, -EPIPE, 0);
            return;
        }
        const uint8_t *s = u.bytes();
        const int requestType = s[0], request = s[1];
        const int value = s[2] | (s[3] << 8);
        const int wLength = s[6] | (s[7] << 8);
        Bytes reply;
        bool ok = false;
        if (requestType == 0x80 && request == 0x06) {  // GET_DESCRIPTOR
            const int type = value >> 8, index = value & 0xFF;
            ok = true;
            if (type == 1)
                reply = deviceDescriptor(cfg.vendorId, cfg.productId);
            else if (type == 2 && index == 0)
                reply = configDescriptor(cfg.layout);
            else if (type == 3 && index == 0)
                reply = {4, 0x03, 0x09, 0x04};
            else if (type == 3 && index == 1)
                reply = stringDescriptor(cfg.manufacturer);
            else if (type == 3 && index == 2)
                reply = stringDescriptor(cfg.product);
            else if (type == 3 && index == 3)
                reply = stringDescriptor(serialOf(cfg, port));
            else
                ok = false;
        } else if (requestType == 0x80 && request == 0x08) {  // GET_CONFIGURATION
            reply = {1};
            ok = true;
        } else if (requestType == 0x00 && (request == 0x09 || request == 0x03 || request == 0x01)) {
            ok = true;  // SET_CONFIGURATION, SET_FEATURE, CLEAR_FEATURE: accepted
        }
        if (!ok) {
            finish(u, -EPIPE, 0);
            return;
        }
        const int n = std::min({static_cast<int>(reply.size()), wLength, u.length - 8});
        if (n > 0)
            std::memcpy(u.bytes() + 8, reply.data(), static_cast<size_t>(n));
        finish(u, 0, n);
    }

    static bool resolveUint(UMockdevIoctlData *arg, size_t size, unsigned *value)
    {
        UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
        if (!d)
            return false;
        std::memcpy(value, d->data, sizeof(unsigned));
        g_object_unref(d);
        return true;
    }

    bool claim(UMockdevIoctlClient *client, unsigned intf, int *err)
    {
        if (!interfaceExists(intf)) {
            *err = ENOENT;
            return false;
        }
        if (claimOwner[intf] && claimOwner[intf] != client) {
            *err = EBUSY;
            return false;
        }
        claimOwner[intf] = client;
        ++st.claims;
        return true;
    }

    gboolean handleIoctl(UMockdevIoctlClient *client)
    {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);

        std::lock_guard<std::mutex> lock(mu);
        purgeClosedClientsLocked();
        auto ci = clients.find(client);
        const int sessionId = ci != clients.end() ? ci->second.session : 0;
        const Session *sess = session(sessionId);
        const bool alive = sess && sess->present;

        switch (request) {
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            auto it = std::find_if(done.begin(), done.end(), [&](const Urb &u) { return u.client == client; });
            if (it == done.end()) {
                umockdev_ioctl_client_complete(client, -1, alive ? EAGAIN : ENODEV);
            } else {
                Urb u = *it;
                done.erase(it);
                UMockdevIoctlData *ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
                if (ptr) {
                    umockdev_ioctl_data_set_ptr(ptr, 0, u.data);
                    g_object_unref(ptr);
                    umockdev_ioctl_client_complete(client, 0, 0);
                } else {
                    umockdev_ioctl_client_complete(client, -1, EFAULT);
                }
                releaseUrb(u);
            }
            syncFifo(sessionId);
            return TRUE;
        }
        case USBDEVFS_DISCARDURB: {
            unsigned long addr = 0;
            std::memcpy(&addr, arg->data, sizeof addr);
            auto it = std::find_if(pending.begin(), pending.end(),
                                   [&](const Urb &u) { return u.client == client && u.clientAddr == addr; });
            if (it == pending.end()) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
            } else {
                Urb u = *it;
                pending.erase(it);
                finish(u, -ENOENT, 0);
                umockdev_ioctl_client_complete(client, 0, 0);
            }
            syncFifo(sessionId);
            return TRUE;
        }
        default:
            break;
        }

        if (!alive) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }

        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
            if (!d) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            const uint32_t caps = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                  USBDEVFS_CAP_ZERO_PACKET;
            std::memcpy(d->data, &caps, sizeof caps);
            g_object_unref(d);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM: {
            unsigned intf = 0;
            const size_t size = request == USBDEVFS_CLAIMINTERFACE ? sizeof(unsigned)
                                                                   : sizeof(usbdevfs_disconnect_claim);
            if (!resolveUint(arg, size, &intf)) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            int err = 0;
            if (claim(client, intf, &err))
                umockdev_ioctl_client_complete(client, 0, 0);
            else
                umockdev_ioctl_client_complete(client, -1, err);
            return TRUE;
        }
        case USBDEVFS_RELEASEINTERFACE: {
            unsigned intf = 0;
            if (!resolveUint(arg, sizeof(unsigned), &intf)) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            if (!interfaceExists(intf) || claimOwner[intf] != client) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return TRUE;
            }
            claimOwner[intf] = nullptr;
            ++st.releases;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_SETINTERFACE: {
            UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr);
            if (!d) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            usbdevfs_setinterface si;
            std::memcpy(&si, d->data, sizeof si);
            g_object_unref(d);
            if (failSetIntf.count(static_cast<int>(si.interface))) {
                umockdev_ioctl_client_complete(client, -1, EPROTO);
                return TRUE;
            }
            if (!altExists(si.interface, si.altsetting)) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return TRUE;
            }
            alt[si.interface] = static_cast<int>(si.altsetting);
            if (si.interface == 1)
                stopStream();  // a (re)selected setting starts from idle; a command starts the stream
            killPending(-EPROTO, sessionId, /*onlyInactiveEndpoints=*/true);
            umockdev_ioctl_client_complete(client, 0, 0);
            syncAll();
            return TRUE;
        }
        case USBDEVFS_CLEAR_HALT: {
            unsigned ep = 0;
            if (!resolveUint(arg, sizeof(unsigned), &ep)) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            if (!endpointActive(static_cast<uint8_t>(ep))) {
                umockdev_ioctl_client_complete(client, -1, ENOENT);
                return TRUE;
            }
            if (failClear.count(static_cast<uint8_t>(ep))) {
                umockdev_ioctl_client_complete(client, -1, EPROTO);
                return TRUE;
            }
            halted.erase(static_cast<uint8_t>(ep));
            st.clearedHalts.push_back(static_cast<uint8_t>(ep));
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_RESET: {
            // The host restores the alternate settings after a reset; the device itself starts over.
            ++st.resets;
            stopStream();
            halted.clear();
            killPending(-EPROTO, sessionId);
            umockdev_ioctl_client_complete(client, 0, 0);
            syncAll();
            return TRUE;
        }
        case USBDEVFS_GETDRIVER:
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return TRUE;
        case USBDEVFS_SUBMITURB:
            submit(client, arg, sessionId);
            return TRUE;
        default:
            return FALSE;  // umockdev answers ENOTTY
        }
    }

    void submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg, int sessionId)
    {
        UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (!data) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        Urb u;
        u.client = static_cast<UMockdevIoctlClient *>(g_object_ref(client));
        u.data = data;
        u.session = sessionId;
        u.type = u.urb()->type;
        u.endpoint = u.urb()->endpoint;
        u.length = u.urb()->buffer_length;
        u.clientAddr = data->client_addr;
        if (u.length < 0) {
            releaseUrb(u);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        if (u.length > 0) {
            u.buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                                   static_cast<size_t>(u.length), nullptr);
            if (!u.buffer) {
                releaseUrb(u);
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return;
            }
        }

        if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
            handleControl(u);
        } else if (u.type == USBDEVFS_URB_TYPE_BULK) {
            if (!endpointActive(u.endpoint)) {
                releaseUrb(u);
                umockdev_ioctl_client_complete(client, -1, ENOENT);
                return;
            }
            if (halted.count(u.endpoint)) {
                ++st.stalledTransfers;
                finish(u, -EPIPE, 0);
            } else if (u.endpoint & 0x80) {
                pending.push_back(u);
                service();
            } else {
                handleOut(u);
                finish(u, 0, u.length);
                service();  // a command may have queued a reply for a waiting read
            }
        } else {
            releaseUrb(u);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        syncAll();
    }

    void clientConnected(UMockdevIoctlClient *client)
    {
        const char *devnode = umockdev_ioctl_client_get_devnode(client);
        std::lock_guard<std::mutex> lock(mu);
        ClientInfo info;
        for (const Session &s : sessions)
            if (devnode && s.devnode == devnode)
                info.session = s.id;
        g_object_ref(client);
        auto *ref = new std::shared_ptr<Model>(shared_from_this());
        info.notifyId = g_signal_connect_data(client, "notify::connected", G_CALLBACK(&Model::onClientNotify), ref,
                                              &Model::freeRef, GConnectFlags(0));
        clients[client] = info;
        ++st.opens;
    }

    void clientNotify(UMockdevIoctlClient *client)
    {
        if (umockdev_ioctl_client_get_connected(client))
            return;
        std::lock_guard<std::mutex> lock(mu);
        auto it = clients.find(client);
        if (it == clients.end())
            return;
        forgetClientLocked(it);
        syncAll();
    }

    // umockdev 0.17 does not always notify a client's end, so closed clients are also looked for here,
    // from every entry point that depends on them.
    void purgeClosedClientsLocked()
    {
        for (auto it = clients.begin(); it != clients.end();) {
            if (!umockdev_ioctl_client_get_connected(it->first)) {
                auto next = std::next(it);
                forgetClientLocked(it);
                it = next;
            } else {
                ++it;
            }
        }
    }

    void forgetClientLocked(std::map<UMockdevIoctlClient *, ClientInfo>::iterator it)
    {
        UMockdevIoctlClient *client = it->first;
        for (auto *list : {&pending, &done})
            for (auto u = list->begin(); u != list->end();) {
                if (u->client == client) {
                    releaseUrb(*u);
                    u = list->erase(u);
                } else {
                    ++u;
                }
            }
        for (auto &owner : claimOwner)
            if (owner == client)
                owner = nullptr;
        const gulong id = it->second.notifyId;
        clients.erase(it);
        g_signal_handler_disconnect(client, id);
        g_object_unref(client);
    }

    // ---- Frame clock (frame rate above 0) -------------------------------------------------------

    void clockLoop()
    {
        // Named, so that thread listings (and CPU figures) tell the camera's work from its host's.
        prctl(PR_SET_NAME, "vcam-clock", 0, 0, 0);
        std::unique_lock<std::mutex> lock(mu);
        while (!stop) {
            purgeClosedClientsLocked();
            syncAll();
            if (current < 0 || !streamOn || silent || cfg.fps <= 0) {
                cv.wait_for(lock, std::chrono::milliseconds(100));
                continue;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now < nextFrameAt) {
                cv.wait_until(lock, nextFrameAt);
                continue;
            }
            const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(1.0 / cfg.fps));
            nextFrameAt += period;
            if (nextFrameAt < now - 4 * period)
                nextFrameAt = now + period;  // fell far behind: do not burst
            if (outBytes > kMaxQueuedBytes) {
                ++st.framesDropped;
                continue;
            }
            const uint32_t number = nextFrameNumber++;
            const bool photo = takePhoto();
            const uint64_t epoch = streamEpoch;
            const StreamOptions options = cfg.stream;
            lock.unlock();
            std::mt19937 frameRng(options.seed * 2654435761u + number);
            Frame f = StreamGenerator::buildFrame(options, number, photo, &frameRng);
            lock.lock();
            if (stop)
                break;
            if (streamOn && streamEpoch == epoch) {
                appendFrame(f);
                service();
                syncAll();
            }
        }
    }

    // ---- GLib glue ------------------------------------------------------------------------------

    static gboolean onHandleIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
    {
        // umockdev's worker thread answers every request of the emulated devices; named like the
        // frame clock, it is told apart from the host's threads.
        static thread_local bool named = false;
        if (!named) {
            prctl(PR_SET_NAME, "vcam-ioctl", 0, 0, 0);
            named = true;
        }
        std::shared_ptr<Model> m = *static_cast<std::shared_ptr<Model> *>(data);
        return m->handleIoctl(client);
    }

    static void onClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
    {
        std::shared_ptr<Model> m = *static_cast<std::shared_ptr<Model> *>(data);
        m->clientConnected(client);
    }

    static void onClientNotify(GObject *client, GParamSpec *, gpointer data)
    {
        std::shared_ptr<Model> m = *static_cast<std::shared_ptr<Model> *>(data);
        m->clientNotify(reinterpret_cast<UMockdevIoctlClient *>(client));
    }

    static void freeRef(gpointer data, GClosure *)
    {
        delete static_cast<std::shared_ptr<Model> *>(data);
    }
};

// ---- VirtualUsbBus ------------------------------------------------------------------------------

namespace {
std::atomic<int> g_buses{0};
}

VirtualUsbBus::VirtualUsbBus()
{
    if (g_buses.fetch_add(1) > 0)
        std::fprintf(stderr, "virtual camera: more than one VirtualUsbBus in this process\n");
    // Finer timer slack makes the many short waits of an emulated transfer cheaper; it is inherited by
    // the threads started from here on (umockdev's worker included).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    testbed_ = umockdev_testbed_new();
}

VirtualUsbBus::~VirtualUsbBus()
{
    g_buses.fetch_sub(1);
    if (testbed_)
        g_object_unref(testbed_);
}

std::string VirtualUsbBus::rootDir() const
{
    gchar *dir = umockdev_testbed_get_root_dir(testbed_);
    std::string s = dir ? dir : "";
    g_free(dir);
    return s;
}

int VirtualUsbBus::allocateDeviceNumber()
{
    return nextDevnum_++;
}

int VirtualUsbBus::allocatePort()
{
    return nextPort_++;
}

// ---- VirtualCamera ------------------------------------------------------------------------------

VirtualCamera::VirtualCamera(VirtualUsbBus &bus, CameraConfig config)
    : bus_(bus), port_(bus.allocatePort()), model_(std::make_shared<Model>())
{
    Model &m = *model_;
    m.bus = &bus;
    m.port = port_;
    m.cfg = std::move(config);
    m.rng.seed(m.cfg.seed);
    m.handler = umockdev_ioctl_base_new();
    m.ioctlSignal = g_signal_connect_data(m.handler, "handle-ioctl", G_CALLBACK(&Model::onHandleIoctl),
                                          new std::shared_ptr<Model>(model_), &Model::freeRef, GConnectFlags(0));
    m.connectSignal = g_signal_connect_data(m.handler, "client-connected", G_CALLBACK(&Model::onClientConnected),
                                            new std::shared_ptr<Model>(model_), &Model::freeRef, GConnectFlags(0));
    m.clock = std::thread([model = model_.get()] { model->clockLoop(); });
}

VirtualCamera::~VirtualCamera()
{
    unplug();
    Model &m = *model_;
    {
        std::lock_guard<std::mutex> lock(m.mu);
        m.stop = true;
        m.cv.notify_all();
    }
    m.clock.join();
    g_signal_handler_disconnect(m.handler, m.ioctlSignal);
    g_signal_handler_disconnect(m.handler, m.connectSignal);
    {
        std::lock_guard<std::mutex> lock(m.mu);
        while (!m.clients.empty())
            m.forgetClientLocked(m.clients.begin());
    }
    g_object_unref(m.handler);
    m.handler = nullptr;
}

void VirtualCamera::plug()
{
    Model &m = *model_;
    Session s;
    {
        std::lock_guard<std::mutex> lock(m.mu);
        if (m.current >= 0)
            return;
        s.id = m.nextSession++;
        s.devnum = bus_.allocateDeviceNumber();
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus_.busNumber(), s.devnum);
        s.devnode = node;
        s.syspath = "/sys/devices/usb" + std::to_string(bus_.busNumber()) + "/" +
                    std::to_string(bus_.busNumber()) + "-" + std::to_string(port_);
        s.present = true;
        m.sessions.push_back(s);
        m.current = s.id;
        // A freshly plugged device: nothing claimed, idle settings, no stream.
        m.claimOwner[0] = m.claimOwner[1] = nullptr;
        m.alt[0] = m.alt[1] = 0;
        m.halted.clear();
        m.stopStream();
        m.st.plugged = true;
        m.st.devnum = s.devnum;
    }

    UMockdevTestbed *tb = bus_.testbed();
    umockdev_testbed_attach_ioctl(tb, s.devnode.c_str(), m.handler, nullptr);

    const Bytes descriptors = [&] {
        Bytes d = deviceDescriptor(m.cfg.vendorId, m.cfg.productId);
        const Bytes c = configDescriptor(m.cfg.layout);
        d.insert(d.end(), c.begin(), c.end());
        return d;
    }();
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04x/%04x/100", m.cfg.vendorId, m.cfg.productId);
    const std::string bus = std::to_string(bus_.busNumber());
    char busnum[8], devnum[8];
    std::snprintf(busnum, sizeof busnum, "%03d", bus_.busNumber());
    std::snprintf(devnum, sizeof devnum, "%03d", s.devnum);
    const std::string record =
        "P: " + s.syspath.substr(4) + "\n" +
        "N: " + s.devnode.substr(5) + "\n" +
        "E: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\n"
        "E: DRIVER=usb\n"
        "E: DEVNAME=" + s.devnode + "\n" +
        "E: BUSNUM=" + busnum + "\n" +
        "E: DEVNUM=" + devnum + "\n" +
        "E: PRODUCT=" + ids + "\n" +
        "A: busnum=" + bus + "\\n\n" +
        "A: devnum=" + std::to_string(s.devnum) + "\\n\n" +
        "A: speed=480\\n\n"
        "A: bConfigurationValue=1\\n\n"
        "A: idVendor=" + hex4(m.cfg.vendorId) + "\\n\n" +
        "A: idProduct=" + hex4(m.cfg.productId) + "\\n\n" +
        "A: serial=" + serialOf(m.cfg, port_) + "\\n\n" +
        "A: manufacturer=" + m.cfg.manufacturer + "\\n\n" +
        "A: product=" + m.cfg.product + "\\n\n" +
        "H: descriptors=" + hex(descriptors) + "\n";
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(tb, record.c_str(), &error)) {
        std::fprintf(stderr, "virtual camera: cannot add device: %s\n", error ? error->message : "?");
        g_clear_error(&error);
    }

    // Replace the node by a FIFO, atomically, and keep it "full" while nothing is to be reaped.
    const std::string path = bus_.rootDir() + s.devnode;
    const std::string tmp = path + ".fifo";
    int fd = -1;
    if (::mkfifo(tmp.c_str(), 0666) == 0) {
        fd = ::open(tmp.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::fcntl(fd, F_SETPIPE_SZ, 4096);
            if (::rename(tmp.c_str(), path.c_str()) != 0) {
                ::close(fd);
                fd = -1;
                ::unlink(tmp.c_str());
            }
        }
    }
    std::lock_guard<std::mutex> lock(m.mu);
    if (Session *sp = m.session(s.id)) {
        sp->fifoFd = fd;
        sp->fifoFull = false;
        m.syncFifo(s.id);
    }
}

void VirtualCamera::unplug()
{
    Model &m = *model_;
    Session s;
    {
        std::lock_guard<std::mutex> lock(m.mu);
        Session *sp = m.current >= 0 ? m.session(m.current) : nullptr;
        if (!sp)
            return;
        sp->present = false;
        s = *sp;
        m.current = -1;
        m.stopStream();
        m.killPending(-ENODEV, s.id);
        m.st.plugged = false;
        m.st.devnum = 0;
        m.syncAll();
    }
    UMockdevTestbed *tb = bus_.testbed();
    umockdev_testbed_uevent(tb, s.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(tb, s.syspath.c_str());
    umockdev_testbed_detach_ioctl(tb, s.devnode.c_str(), nullptr);
}

bool VirtualCamera::plugged() const
{
    std::lock_guard<std::mutex> lock(model_->mu);
    return model_->current >= 0;
}

int VirtualCamera::deviceAddress() const
{
    std::lock_guard<std::mutex> lock(model_->mu);
    return model_->st.devnum;
}

const CameraConfig &VirtualCamera::config() const
{
    return model_->cfg;
}

void VirtualCamera::setHandshake(Handshake mode)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    model_->cfg.handshake = mode;
    model_->service();
    model_->syncAll();
}

void VirtualCamera::setFps(double fps)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    model_->cfg.fps = fps;
    model_->nextFrameAt = std::chrono::steady_clock::now();
    model_->cv.notify_all();
    model_->service();
    model_->syncAll();
}

void VirtualCamera::setStreamOptions(const StreamOptions &options)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    model_->cfg.stream = options;
}

void VirtualCamera::setDevInfo(const vs_devinfo_t &info, int length)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    model_->cfg.devInfo = info;
    model_->cfg.devInfoLength = length;
}

void VirtualCamera::setTransferPolicy(int maxTransfer, bool random)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    model_->cfg.maxTransfer = maxTransfer;
    model_->cfg.randomTransfers = random;
}

void VirtualCamera::setSilent(bool silent)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    model_->silent = silent;
    model_->cv.notify_all();
    model_->service();
    model_->syncAll();
}

void VirtualCamera::stallEndpoint(uint8_t endpoint)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    Model &m = *model_;
    m.halted.insert(endpoint);
    for (auto it = m.pending.begin(); it != m.pending.end();) {
        if (it->endpoint == endpoint) {
            Urb u = *it;
            it = m.pending.erase(it);
            ++m.st.stalledTransfers;
            m.finish(u, -EPIPE, 0);
        } else {
            ++it;
        }
    }
    m.syncAll();
}

void VirtualCamera::failClearHalt(uint8_t endpoint, bool fail)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    if (fail)
        model_->failClear.insert(endpoint);
    else
        model_->failClear.erase(endpoint);
}

void VirtualCamera::failSetInterface(int interfaceNumber, bool fail)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    if (fail)
        model_->failSetIntf.insert(interfaceNumber);
    else
        model_->failSetIntf.erase(interfaceNumber);
}

void VirtualCamera::pressPhotoButton(int frames)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    model_->photoPending += frames;
}

void VirtualCamera::injectBytes(const Bytes &bytes)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    model_->enqueueAtBoundary(bytes);
    model_->service();
    model_->syncAll();
}

void VirtualCamera::sendSwitchCamera(uint8_t cam, uint16_t res)
{
    std::lock_guard<std::mutex> lock(model_->mu);
    model_->enqueueAtBoundary(StreamGenerator::switchCamera(cam, res, model_->cfg.stream.magicAB));
    model_->service();
    model_->syncAll();
}

void VirtualCamera::startStream()
{
    std::lock_guard<std::mutex> lock(model_->mu);
    model_->startStreamLocked();
    model_->service();
    model_->syncAll();
}

CameraStats VirtualCamera::stats() const
{
    Model &m = *model_;
    std::lock_guard<std::mutex> lock(m.mu);
    m.purgeClosedClientsLocked();
    m.syncAll();
    CameraStats s = m.st;
    s.openClients = static_cast<int>(m.clients.size());
    s.altSetting[0] = m.alt[0];
    s.altSetting[1] = m.alt[1];
    s.claimed[0] = m.claimOwner[0] != nullptr;
    s.claimed[1] = m.claimOwner[1] != nullptr;
    s.streaming = m.streamOn;
    s.pendingReads = static_cast<int>(m.pending.size());
    return s;
}

bool VirtualCamera::waitFor(const std::function<bool(const CameraStats &)> &pred,
                            std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred(stats()))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace vcam
