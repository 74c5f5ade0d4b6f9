// usbredir-device's side of the protocol against a real usbredir peer in the guest role (what QEMU's
// usb-redir device is), over a socket pair, serving the echo device.
#include "echo_device_model.h"
#include "usbredir_connection.h"

#include <gtest/gtest.h>
#include <usbredirparser.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using usbdev::Bytes;

struct Reply {
    uint8_t status = 0xff;
    uint8_t endpoint = 0;
    uint32_t length = 0;
    Bytes data;
};

// The guest end: sends requests, records what the device side answers.
class Guest {
public:
    explicit Guest(int fd) : fd_(fd)
    {
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
        p_ = usbredirparser_create();
        p_->priv = this;
        p_->log_func = [](void *, int level, const char *msg) {
            if (level <= usbredirparser_warning)
                fprintf(stderr, "guest parser: %s\n", msg);
        };
        p_->read_func = [](void *priv, uint8_t *d, int n) {
            ssize_t r = ::read(self(priv)->fd_, d, n);
            return r < 0 ? (errno == EAGAIN ? 0 : -1) : (r == 0 ? -1 : int(r));
        };
        p_->write_func = [](void *priv, uint8_t *d, int n) {
            ssize_t r = ::send(self(priv)->fd_, d, n, MSG_NOSIGNAL);
            return r < 0 ? (errno == EAGAIN ? 0 : -1) : int(r);
        };
        p_->hello_func = [](void *priv, usb_redir_hello_header *) { self(priv)->hello = true; };
        p_->device_connect_func = [](void *priv, usb_redir_device_connect_header *h) {
            self(priv)->connects++;
            self(priv)->connect = *h;
        };
        p_->device_disconnect_func = [](void *priv) { self(priv)->disconnects++; };
        p_->interface_info_func = [](void *priv, usb_redir_interface_info_header *h) { self(priv)->interfaces = *h; };
        p_->ep_info_func = [](void *priv, usb_redir_ep_info_header *h) { self(priv)->endpoints = *h; };
        p_->alt_setting_status_func = [](void *priv, uint64_t id, usb_redir_alt_setting_status_header *h) {
            self(priv)->replies[id] = {h->status, h->interface, h->alt, {}};
        };
        p_->configuration_status_func = [](void *priv, uint64_t id, usb_redir_configuration_status_header *h) {
            self(priv)->replies[id] = {h->status, 0, h->configuration, {}};
        };
        p_->control_packet_func = [](void *priv, uint64_t id, usb_redir_control_packet_header *h, uint8_t *d, int n) {
            self(priv)->replies[id] = {h->status, h->endpoint, h->length, Bytes(d, d + n)};
            usbredirparser_free_packet_data(self(priv)->p_, d);
        };
        p_->bulk_packet_func = [](void *priv, uint64_t id, usb_redir_bulk_packet_header *h, uint8_t *d, int n) {
            self(priv)->replies[id] = {h->status, h->endpoint, h->length | (uint32_t(h->length_high) << 16),
                                       Bytes(d, d + n)};
            usbredirparser_free_packet_data(self(priv)->p_, d);
        };
        uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_device_disconnect_ack,
                        usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids,
                        usb_redir_cap_32bits_bulk_length})
            usbredirparser_caps_set_cap(caps, cap);
        usbredirparser_init(p_, "test guest", caps, USB_REDIR_CAPS_SIZE, 0);
    }
    ~Guest()
    {
        usbredirparser_destroy(p_);
        if (fd_ >= 0)
            ::close(fd_);
    }
    void closeSocket() { ::close(fd_); fd_ = -1; }
    void pump()
    {
        // Never waits: a full socket is emptied by the device's next pump.
        if (usbredirparser_has_data_to_write(p_))
            usbredirparser_do_write(p_);
        usbredirparser_do_read(p_);
    }
    void control(uint64_t id, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                 Bytes out = {})
    {
        usb_redir_control_packet_header h{};
        h.endpoint = (type & 0x80) ? 0x80 : 0x00;
        h.requesttype = type;
        h.request = request;
        h.value = value;
        h.index = index;
        h.length = length;
        usbredirparser_send_control_packet(p_, id, &h, out.empty() ? nullptr : out.data(), int(out.size()));
    }
    void bulk(uint64_t id, uint8_t ep, uint32_t length, Bytes out = {})
    {
        usb_redir_bulk_packet_header h{};
        h.endpoint = ep;
        h.length = uint16_t(length & 0xffff);
        h.length_high = uint16_t(length >> 16);
        usbredirparser_send_bulk_packet(p_, id, &h, out.empty() ? nullptr : out.data(), int(out.size()));
    }
    void setAlt(uint64_t id, uint8_t interface, uint8_t alt)
    {
        usb_redir_set_alt_setting_header h{interface, alt};
        usbredirparser_send_set_alt_setting(p_, id, &h);
    }
    void cancel(uint64_t id) { usbredirparser_send_cancel_data_packet(p_, id); }
    void reset() { usbredirparser_send_reset(p_); }

    bool hello = false;
    int connects = 0, disconnects = 0;
    usb_redir_device_connect_header connect{};
    usb_redir_interface_info_header interfaces{};
    usb_redir_ep_info_header endpoints{};
    std::map<uint64_t, Reply> replies;

private:
    static Guest *self(void *priv) { return static_cast<Guest *>(priv); }
    int fd_;
    usbredirparser *p_;
};

class UsbRedirConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        device = std::make_unique<usbredir::Connection>(echo, fds[0]);
        guest = std::make_unique<Guest>(fds[1]);
        ASSERT_TRUE(until([&] { return guest->connects == 1; }));
    }
    // Runs both ends until `done` holds (at most about two seconds).
    template <typename F> bool until(F done)
    {
        for (int i = 0; i < 400 && !done(); ++i) {
            guest->pump();
            device->pump(5);
        }
        return done();
    }
    // Runs both ends a while, for checks that nothing happens.
    void settle() { for (int i = 0; i < 20; ++i) { guest->pump(); device->pump(2); } }
    const Reply *reply(uint64_t id)
    {
        until([&] { return guest->replies.count(id) != 0; });
        auto it = guest->replies.find(id);
        return it == guest->replies.end() ? nullptr : &it->second;
    }
    static Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

    usbdev::EchoDeviceModel echo;
    std::unique_ptr<usbredir::Connection> device;
    std::unique_ptr<Guest> guest;
};

TEST_F(UsbRedirConnectionTest, AnnouncesTheDeviceFromItsDescriptors)
{
    EXPECT_EQ(guest->connect.vendor_id, 0x1209);
    EXPECT_EQ(guest->connect.product_id, 0x0001);
    EXPECT_EQ(guest->connect.speed, usb_redir_speed_high);
    EXPECT_EQ(guest->connect.device_version_bcd, 0x0100);
    ASSERT_EQ(guest->interfaces.interface_count, 1u);
    EXPECT_EQ(guest->interfaces.interface_class[0], 0xff);
    // Endpoint table index: number, plus 16 for IN.
    EXPECT_EQ(guest->endpoints.type[0x11], usb_redir_type_bulk);  // 0x81
    EXPECT_EQ(guest->endpoints.type[0x02], usb_redir_type_bulk);  // 0x02
    EXPECT_EQ(guest->endpoints.max_packet_size[0x11], 512);
    EXPECT_EQ(guest->endpoints.type[0], usb_redir_type_control);
    EXPECT_EQ(guest->endpoints.max_packet_size[0], 64);
    EXPECT_EQ(guest->endpoints.type[0x01], usb_redir_type_invalid);
    EXPECT_EQ(guest->endpoints.type[0x12], usb_redir_type_invalid);
}

TEST_F(UsbRedirConnectionTest, ControlRequestsAreAnsweredAndCutToTheirLength)
{
    const Bytes dev = echo.deviceDescriptor(), cfg = echo.configurationDescriptor();
    const Bytes greeting = text(usbdev::kEchoGreeting);
    struct Case {
        const char *what;
        uint8_t type, request;
        uint16_t value, length;
        uint8_t status;
        Bytes data;
    } cases[] = {
        {"device descriptor", 0x80, 6, 0x0100, 64, usb_redir_success, dev},
        {"device descriptor, first 8 bytes", 0x80, 6, 0x0100, 8, usb_redir_success, Bytes(dev.begin(), dev.begin() + 8)},
        {"configuration header", 0x80, 6, 0x0200, 9, usb_redir_success, Bytes(cfg.begin(), cfg.begin() + 9)},
        {"whole configuration", 0x80, 6, 0x0200, 255, usb_redir_success, cfg},
        {"string 2", 0x80, 6, 0x0302, 255, usb_redir_success, {10, 3, 'E', 0, 'c', 0, 'h', 0, 'o', 0}},
        {"absent string", 0x80, 6, 0x0309, 255, usb_redir_stall, {}},
        {"device qualifier (high speed only)", 0x80, 6, 0x0600, 10, usb_redir_stall, {}},
        {"BOS", 0x80, 6, 0x0f00, 5, usb_redir_stall, {}},
        {"status", 0x80, 0, 0, 2, usb_redir_success, {0, 0}},
        {"vendor request", 0xC0, 0x01, 0, 255, usb_redir_success, greeting},
        {"vendor request, cut", 0xC0, 0x01, 0, 4, usb_redir_success, Bytes(greeting.begin(), greeting.begin() + 4)},
        {"unknown vendor request", 0xC0, 0x07, 0, 8, usb_redir_stall, {}},
    };
    uint64_t id = 100;
    for (const Case &c : cases) {
        guest->control(++id, c.type, c.request, c.value, 0, c.length);
        const Reply *r = reply(id);
        ASSERT_NE(r, nullptr) << c.what;
        EXPECT_EQ(r->status, c.status) << c.what;
        EXPECT_EQ(r->data, c.data) << c.what;
    }
}

TEST_F(UsbRedirConnectionTest, BulkInWaitsForDataAndCompletesInOrder)
{
    guest->bulk(1, 0x81, 512);
    guest->bulk(2, 0x81, 512);
    settle();
    EXPECT_TRUE(guest->replies.empty()) << "reads answered with nothing to read";
    guest->bulk(3, 0x02, 11, text("hello world"));
    const Reply *w = reply(3);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->status, usb_redir_success);
    EXPECT_EQ(w->length, 11u);
    const Reply *r1 = reply(1);
    ASSERT_NE(r1, nullptr);
    EXPECT_EQ(r1->data, text("hello world"));
    settle();
    EXPECT_EQ(guest->replies.count(2), 0u) << "the second read has nothing yet";
    guest->bulk(4, 0x02, 1, text("x"));
    const Reply *r2 = reply(2);
    ASSERT_NE(r2, nullptr);
    EXPECT_EQ(r2->data, text("x"));
}

TEST_F(UsbRedirConnectionTest, LargeTransfersTravelAsOnePacket)
{
    Bytes big(300000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 7 + i / 256);
    guest->bulk(1, 0x02, uint32_t(big.size()), big);
    guest->bulk(2, 0x81, uint32_t(big.size()));
    const Reply *r = reply(2);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->length, big.size());
    EXPECT_TRUE(r->data == big);
}

TEST_F(UsbRedirConnectionTest, CancelledReadIsAnsweredCancelledAndGetsNoData)
{
    guest->bulk(1, 0x81, 64);
    settle();
    guest->cancel(1);
    const Reply *c = reply(1);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->status, usb_redir_cancelled);
    EXPECT_TRUE(c->data.empty());
    guest->bulk(2, 0x02, 3, text("abc"));
    guest->bulk(3, 0x81, 64);
    const Reply *r = reply(3);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->data, text("abc")) << "the data went to the cancelled read";
}

TEST_F(UsbRedirConnectionTest, HaltedEndpointStallsUntilTheHaltIsCleared)
{
    struct Case {
        const char *what;
        std::function<void()> halt;
    } cases[] = {
        {"halted by the model", [&] { echo.stall(0x81); }},
        {"halted by the transport on request", [&] { device->haltNextIn(); }},
    };
    uint64_t id = 0;
    for (const Case &c : cases) {
        c.halt();
        for (int i = 0; i < 2; ++i) {
            guest->bulk(++id, 0x81, 64);
            const Reply *r = reply(id);
            ASSERT_NE(r, nullptr) << c.what;
            EXPECT_EQ(r->status, usb_redir_stall) << c.what << ", read " << i;
        }
        guest->control(++id, 0x02, 1 /* CLEAR_FEATURE */, 0 /* ENDPOINT_HALT */, 0x81, 0);
        ASSERT_NE(reply(id), nullptr);
        EXPECT_EQ(guest->replies[id].status, usb_redir_success) << c.what;
        guest->bulk(++id, 0x02, 2, text("ok"));
        guest->bulk(++id, 0x81, 64);
        const Reply *r = reply(id);
        ASSERT_NE(r, nullptr) << c.what;
        EXPECT_EQ(r->status, usb_redir_success) << c.what;
        EXPECT_EQ(r->data, text("ok")) << c.what;
    }
}

TEST_F(UsbRedirConnectionTest, UnpluggedDeviceFailsItsTransfersAndIsReportedGoneThenBack)
{
    guest->bulk(1, 0x81, 64);
    settle();
    echo.unplug();  // wakes the connection: the pending read ends now
    const Reply *r = reply(1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->status, usb_redir_ioerror);
    ASSERT_TRUE(until([&] { return guest->disconnects == 1; }));
    guest->bulk(2, 0x02, 1, text("x"));
    ASSERT_NE(reply(2), nullptr);
    EXPECT_EQ(guest->replies[2].status, usb_redir_ioerror);

    echo.plug();
    device->connectDevice();
    ASSERT_TRUE(until([&] { return guest->connects == 2; }));
    guest->bulk(3, 0x02, 1, text("y"));
    guest->bulk(4, 0x81, 64);
    ASSERT_NE(reply(4), nullptr);
    EXPECT_EQ(guest->replies[4].data, text("y"));
}

TEST_F(UsbRedirConnectionTest, AlternateSettingsTheDeviceLacksStall)
{
    guest->setAlt(1, 0, 0);
    guest->setAlt(2, 0, 1);
    guest->setAlt(3, 5, 0);
    ASSERT_NE(reply(3), nullptr);
    EXPECT_EQ(guest->replies[1].status, usb_redir_success);
    EXPECT_EQ(guest->replies[2].status, usb_redir_stall);
    EXPECT_EQ(guest->replies[2].length, 0u) << "the setting in force stays 0";
    EXPECT_EQ(guest->replies[3].status, usb_redir_stall);
}

TEST_F(UsbRedirConnectionTest, ResetEndsPendingReadsAndResetsTheDevice)
{
    guest->bulk(1, 0x02, 3, text("old"));
    ASSERT_NE(reply(1), nullptr);
    guest->reset();
    ASSERT_TRUE(until([&] { return echo.buffered() == 0; }));
    guest->bulk(2, 0x81, 64);
    settle();
    guest->reset();
    const Reply *r = reply(2);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->status, usb_redir_cancelled);
}

TEST_F(UsbRedirConnectionTest, PeerClosingEndsTheConnectionAndResetsTheDevice)
{
    guest->bulk(1, 0x02, 3, text("abc"));
    ASSERT_NE(reply(1), nullptr);
    ASSERT_EQ(echo.buffered(), 3u);
    guest->closeSocket();
    bool alive = true;
    for (int i = 0; i < 100 && alive; ++i)
        alive = device->pump(5);
    EXPECT_FALSE(alive);
    device.reset();
    EXPECT_EQ(echo.buffered(), 0u) << "the next peer would read the last one's data";
}

TEST(UsbRedirEndpointTableTest, MalformedConfigurationsAreRefused)
{
    const Bytes good = usbdev::EchoDeviceModel().configurationDescriptor();
    Bytes zeroLength = good;
    zeroLength[9] = 0;        // an interface descriptor of length 0 would loop forever
    Bytes pastTheEnd = good;
    pastTheEnd[25] = 40;      // the last endpoint descriptor claims more bytes than there are
    Bytes shortTotal = good;
    shortTotal[2] = 18;       // wTotalLength ends inside the interface: its endpoints are not read
    struct Case {
        const char *what;
        Bytes config;
        bool valid;
        size_t endpoints;
    } cases[] = {
        {"the echo device", good, true, 2},
        {"empty", {}, false, 0},
        {"not a configuration", Bytes{9, 4, 0, 0, 0, 0, 0, 0, 0}, false, 0},
        {"a descriptor of length 0", zeroLength, false, 0},
        {"a descriptor past the end", pastTheEnd, false, 0},
        {"cut short by wTotalLength", shortTotal, true, 0},
    };
    for (const Case &c : cases) {
        const usbredir::EndpointTable t = usbredir::parseConfiguration(c.config);
        EXPECT_EQ(t.valid, c.valid) << c.what;
        if (c.valid)
            EXPECT_EQ(t.endpoints.size(), c.endpoints) << c.what;
    }
}

}  // namespace
