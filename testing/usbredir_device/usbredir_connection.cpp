#include "usbredir_connection.h"

#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace usbredir {

using usbdev::Bytes;
using usbdev::Result;
using usbdev::SetupPacket;

namespace {

constexpr uint8_t kDescDevice = 1, kDescConfiguration = 2, kDescString = 3, kDescInterface = 4,
                  kDescEndpoint = 5;

int epIndex(uint8_t ep) { return (ep & 0x0f) | ((ep & 0x80) >> 3); }

}  // namespace

EndpointTable parseConfiguration(const Bytes &config)
{
    EndpointTable t;
    if (config.size() < 9 || config[1] != kDescConfiguration)
        return t;
    size_t total = std::min<size_t>(config.size(), config[2] | (config[3] << 8));
    int currentInterface = -1;
    for (size_t at = 0; at + 2 <= total;) {
        uint8_t len = config[at], type = config[at + 1];
        if (len < 2 || at + len > total)
            return t;  // a descriptor running past the end: refuse the whole table
        if (type == kDescInterface && len >= 9) {
            uint8_t number = config[at + 2], alt = config[at + 3];
            currentInterface = number;
            auto &alts = t.altSettings[number];
            if (std::find(alts.begin(), alts.end(), alt) == alts.end())
                alts.push_back(alt);
            bool known = std::any_of(t.interfaces.begin(), t.interfaces.end(),
                                     [&](const EndpointTable::Interface &i) { return i.number == number; });
            if (!known && t.interfaces.size() < 32)
                t.interfaces.push_back({number, config[at + 5], config[at + 6], config[at + 7]});
        } else if (type == kDescEndpoint && len >= 7 && currentInterface >= 0) {
            uint8_t address = config[at + 2];
            bool known = std::any_of(t.endpoints.begin(), t.endpoints.end(),
                                     [&](const EndpointTable::Endpoint &e) { return e.address == address; });
            if (!known && (address & 0x0f) != 0)
                t.endpoints.push_back({address, uint8_t(config[at + 3] & 3), config[at + 6],
                                       uint8_t(currentInterface),
                                       uint16_t(config[at + 4] | (config[at + 5] << 8))});
        }
        at += len;
    }
    t.valid = true;
    return t;
}

// The parser's C callbacks, forwarding to the connection.
struct Callbacks {
    static void log(void *priv, int level, const char *msg)
    {
        Connection::self(priv)->log(level, std::string("parser: ") + msg);
    }
    static int read(void *priv, uint8_t *data, int count)
    {
        ssize_t r = ::read(Connection::self(priv)->fd_, data, count);
        if (r < 0)
            return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
        return r == 0 ? -1 : int(r);  // end of file: the peer has gone
    }
    static int write(void *priv, uint8_t *data, int count)
    {
        ssize_t r = ::send(Connection::self(priv)->fd_, data, count, MSG_NOSIGNAL);
        if (r < 0)
            return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
        return int(r);
    }
    static void hello(void *priv, struct usb_redir_hello_header *h)
    {
        Connection *c = Connection::self(priv);
        c->log(usbredirparser_info, std::string("peer: ") + h->version);
        c->helloSeen_ = true;
        if (c->wantConnected_)
            c->announce();
    }
    static void reset(void *priv)
    {
        Connection *c = Connection::self(priv);
        c->log(usbredirparser_debug, "reset");
        c->dropPending(usb_redir_cancelled);
        c->halted_.clear();
        c->model_.reset();
        c->altSettings_.clear();
    }
    static void setConfiguration(void *priv, uint64_t id, struct usb_redir_set_configuration_header *h)
    {
        Connection *c = Connection::self(priv);
        Result r = c->model_.setConfiguration(h->configuration);
        struct usb_redir_configuration_status_header st {};
        st.status = c->statusOf(r);
        if (r == Result::Ok) {
            c->configuration_ = h->configuration;
            c->altSettings_.clear();
        }
        st.configuration = c->configuration_;
        usbredirparser_send_configuration_status(c->parser_, id, &st);
    }
    static void getConfiguration(void *priv, uint64_t id)
    {
        Connection *c = Connection::self(priv);
        struct usb_redir_configuration_status_header st {};
        st.status = usb_redir_success;
        st.configuration = c->configuration_;
        usbredirparser_send_configuration_status(c->parser_, id, &st);
    }
    static void setAltSetting(void *priv, uint64_t id, struct usb_redir_set_alt_setting_header *h)
    {
        Connection *c = Connection::self(priv);
        auto alts = c->table_.altSettings.find(h->interface);
        bool exists = alts != c->table_.altSettings.end() &&
                      std::find(alts->second.begin(), alts->second.end(), h->alt) != alts->second.end();
        Result r = exists ? c->model_.setInterface(h->interface, h->alt) : Result::Stall;
        if (r == Result::Ok)
            c->altSettings_[h->interface] = h->alt;
        struct usb_redir_alt_setting_status_header st {};
        st.status = c->statusOf(r);
        st.interface = h->interface;
        st.alt = c->altSettings_[h->interface];
        usbredirparser_send_alt_setting_status(c->parser_, id, &st);
        c->retryPending();
    }
    static void getAltSetting(void *priv, uint64_t id, struct usb_redir_get_alt_setting_header *h)
    {
        Connection *c = Connection::self(priv);
        struct usb_redir_alt_setting_status_header st {};
        bool exists = c->table_.altSettings.count(h->interface) != 0;
        st.status = exists ? usb_redir_success : usb_redir_inval;
        st.interface = h->interface;
        st.alt = exists ? c->altSettings_[h->interface] : 0xff;
        usbredirparser_send_alt_setting_status(c->parser_, id, &st);
    }
    static void cancel(void *priv, uint64_t id)
    {
        Connection *c = Connection::self(priv);
        for (auto &[ep, queue] : c->pending_) {
            auto it = std::find_if(queue.begin(), queue.end(), [id](const Connection::Pending &p) { return p.id == id; });
            if (it != queue.end()) {
                uint8_t endpoint = it->endpoint;
                queue.erase(it);
                c->stats_.cancelled++;
                c->sendBulk(id, endpoint, usb_redir_cancelled, 0, nullptr, 0);
                return;
            }
        }
        // Already answered: nothing to cancel.
    }
    static void control(void *priv, uint64_t id, struct usb_redir_control_packet_header *h, uint8_t *data,
                        int len)
    {
        Connection *c = Connection::self(priv);
        c->serveControl(id, h, data, len);
        usbredirparser_free_packet_data(c->parser_, data);
        c->retryPending();
    }
    static void bulk(void *priv, uint64_t id, struct usb_redir_bulk_packet_header *h, uint8_t *data, int len)
    {
        Connection *c = Connection::self(priv);
        c->serveBulk(id, h, data, len);
        usbredirparser_free_packet_data(c->parser_, data);
    }
    // Transfers this device has no endpoints for: refused.
    static void iso(void *priv, uint64_t id, struct usb_redir_iso_packet_header *h, uint8_t *data, int len)
    {
        (void)len;
        Connection *c = Connection::self(priv);
        usbredirparser_free_packet_data(c->parser_, data);
        struct usb_redir_iso_packet_header r = *h;
        r.status = usb_redir_inval;
        r.length = 0;
        usbredirparser_send_iso_packet(c->parser_, id, &r, nullptr, 0);
    }
    static void interrupt(void *priv, uint64_t id, struct usb_redir_interrupt_packet_header *h, uint8_t *data,
                          int len)
    {
        (void)len;
        Connection *c = Connection::self(priv);
        usbredirparser_free_packet_data(c->parser_, data);
        struct usb_redir_interrupt_packet_header r = *h;
        r.status = usb_redir_inval;
        r.length = 0;
        usbredirparser_send_interrupt_packet(c->parser_, id, &r, nullptr, 0);
    }
    static void bufferedBulk(void *priv, uint64_t, struct usb_redir_buffered_bulk_packet_header *, uint8_t *data, int)
    {
        usbredirparser_free_packet_data(Connection::self(priv)->parser_, data);
    }
    static void startIso(void *priv, uint64_t id, struct usb_redir_start_iso_stream_header *h)
    {
        struct usb_redir_iso_stream_status_header st {usb_redir_inval, h->endpoint};
        usbredirparser_send_iso_stream_status(Connection::self(priv)->parser_, id, &st);
    }
    static void stopIso(void *priv, uint64_t id, struct usb_redir_stop_iso_stream_header *h)
    {
        struct usb_redir_iso_stream_status_header st {usb_redir_inval, h->endpoint};
        usbredirparser_send_iso_stream_status(Connection::self(priv)->parser_, id, &st);
    }
    static void startInterrupt(void *priv, uint64_t id, struct usb_redir_start_interrupt_receiving_header *h)
    {
        struct usb_redir_interrupt_receiving_status_header st {usb_redir_inval, h->endpoint};
        usbredirparser_send_interrupt_receiving_status(Connection::self(priv)->parser_, id, &st);
    }
    static void stopInterrupt(void *priv, uint64_t id, struct usb_redir_stop_interrupt_receiving_header *h)
    {
        struct usb_redir_interrupt_receiving_status_header st {usb_redir_success, h->endpoint};
        usbredirparser_send_interrupt_receiving_status(Connection::self(priv)->parser_, id, &st);
    }
    static void allocStreams(void *priv, uint64_t id, struct usb_redir_alloc_bulk_streams_header *h)
    {
        struct usb_redir_bulk_streams_status_header st {};
        st.endpoints = h->endpoints;
        st.no_streams = 0;
        st.status = usb_redir_inval;
        usbredirparser_send_bulk_streams_status(Connection::self(priv)->parser_, id, &st);
    }
    static void freeStreams(void *priv, uint64_t id, struct usb_redir_free_bulk_streams_header *h)
    {
        struct usb_redir_bulk_streams_status_header st {};
        st.endpoints = h->endpoints;
        st.status = usb_redir_success;
        usbredirparser_send_bulk_streams_status(Connection::self(priv)->parser_, id, &st);
    }
    static void startBulkReceiving(void *priv, uint64_t id, struct usb_redir_start_bulk_receiving_header *h)
    {
        struct usb_redir_bulk_receiving_status_header st {};
        st.stream_id = h->stream_id;
        st.endpoint = h->endpoint;
        st.status = usb_redir_inval;
        usbredirparser_send_bulk_receiving_status(Connection::self(priv)->parser_, id, &st);
    }
    static void stopBulkReceiving(void *priv, uint64_t id, struct usb_redir_stop_bulk_receiving_header *h)
    {
        struct usb_redir_bulk_receiving_status_header st {};
        st.stream_id = h->stream_id;
        st.endpoint = h->endpoint;
        st.status = usb_redir_success;
        usbredirparser_send_bulk_receiving_status(Connection::self(priv)->parser_, id, &st);
    }
    static void filterReject(void *) {}
    static void filterFilter(void *, struct usbredirfilter_rule *rules, int) { free(rules); }
    static void disconnectAck(void *) {}
};

Connection::Connection(usbdev::UsbDeviceModel &model, int fd, int wakeFd, int verbose)
    : model_(model), fd_(fd), wakeFd_(wakeFd), verbose_(verbose)
{
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    if (wakeFd_ < 0) {
        wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        ownWakeFd_ = true;
        int wfd = wakeFd_;
        model_.setWakeup([wfd] {
            uint64_t one = 1;
            ssize_t r = ::write(wfd, &one, sizeof one);
            (void)r;
        });
    }
    table_ = parseConfiguration(model_.configurationDescriptor());
    if (!table_.valid)
        log(usbredirparser_error, "the model's configuration descriptor is malformed");

    parser_ = usbredirparser_create();
    parser_->priv = this;
    parser_->log_func = Callbacks::log;
    parser_->read_func = Callbacks::read;
    parser_->write_func = Callbacks::write;
    parser_->hello_func = Callbacks::hello;
    parser_->reset_func = Callbacks::reset;
    parser_->set_configuration_func = Callbacks::setConfiguration;
    parser_->get_configuration_func = Callbacks::getConfiguration;
    parser_->set_alt_setting_func = Callbacks::setAltSetting;
    parser_->get_alt_setting_func = Callbacks::getAltSetting;
    parser_->cancel_data_packet_func = Callbacks::cancel;
    parser_->control_packet_func = Callbacks::control;
    parser_->bulk_packet_func = Callbacks::bulk;
    parser_->iso_packet_func = Callbacks::iso;
    parser_->interrupt_packet_func = Callbacks::interrupt;
    parser_->buffered_bulk_packet_func = Callbacks::bufferedBulk;
    parser_->start_iso_stream_func = Callbacks::startIso;
    parser_->stop_iso_stream_func = Callbacks::stopIso;
    parser_->start_interrupt_receiving_func = Callbacks::startInterrupt;
    parser_->stop_interrupt_receiving_func = Callbacks::stopInterrupt;
    parser_->alloc_bulk_streams_func = Callbacks::allocStreams;
    parser_->free_bulk_streams_func = Callbacks::freeStreams;
    parser_->start_bulk_receiving_func = Callbacks::startBulkReceiving;
    parser_->stop_bulk_receiving_func = Callbacks::stopBulkReceiving;
    parser_->filter_reject_func = Callbacks::filterReject;
    parser_->filter_filter_func = Callbacks::filterFilter;
    parser_->device_disconnect_ack_func = Callbacks::disconnectAck;

    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    // QEMU's xHCI needs the last three; 32-bit lengths let one packet carry a whole large transfer.
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_init(parser_, "viscana usbredir-device", caps, USB_REDIR_CAPS_SIZE,
                        usbredirparser_fl_usb_host);
    flush();
}

Connection::~Connection()
{
    if (parser_)
        usbredirparser_destroy(parser_);
    ::close(fd_);
    // The next peer meets a freshly reset device.
    model_.reset();
    if (ownWakeFd_) {
        model_.setWakeup(nullptr);
        ::close(wakeFd_);
    }
}

void Connection::log(int level, const std::string &text) const
{
    if (level <= usbredirparser_warning || level - usbredirparser_warning <= verbose_)
        fprintf(stderr, "usbredir-device: %s\n", text.c_str());
}

uint8_t Connection::statusOf(Result r)
{
    switch (r) {
    case Result::Ok: return usb_redir_success;
    case Result::Stall: stats_.stalls++; return usb_redir_stall;
    case Result::Gone: return usb_redir_ioerror;
    case Result::Pending: return usb_redir_timeout;
    }
    return usb_redir_ioerror;
}

void Connection::announce()
{
    Bytes dev = model_.deviceDescriptor();
    if (dev.size() < 18 || !table_.valid) {
        log(usbredirparser_error, "not announcing a device with malformed descriptors");
        return;
    }
    struct usb_redir_interface_info_header ii {};
    ii.interface_count = uint32_t(table_.interfaces.size());
    for (size_t i = 0; i < table_.interfaces.size(); ++i) {
        ii.interface[i] = table_.interfaces[i].number;
        ii.interface_class[i] = table_.interfaces[i].cls;
        ii.interface_subclass[i] = table_.interfaces[i].subclass;
        ii.interface_protocol[i] = table_.interfaces[i].protocol;
    }
    struct usb_redir_ep_info_header ei {};
    for (int i = 0; i < 32; ++i) {
        ei.type[i] = usb_redir_type_invalid;
        ei.interface[i] = 0;
    }
    ei.type[0] = ei.type[16] = usb_redir_type_control;
    ei.max_packet_size[0] = ei.max_packet_size[16] = dev[7];
    for (const auto &e : table_.endpoints) {
        int i = epIndex(e.address);
        ei.type[i] = e.type;  // the USB transfer types and usbredir's share their numbers
        ei.interval[i] = e.interval;
        ei.interface[i] = e.interface;
        ei.max_packet_size[i] = e.maxPacket;
    }
    struct usb_redir_device_connect_header dc {};
    switch (model_.speed()) {
    case usbdev::Speed::Full: dc.speed = usb_redir_speed_full; break;
    case usbdev::Speed::High: dc.speed = usb_redir_speed_high; break;
    case usbdev::Speed::Super: dc.speed = usb_redir_speed_super; break;
    }
    dc.device_class = dev[4];
    dc.device_subclass = dev[5];
    dc.device_protocol = dev[6];
    dc.vendor_id = uint16_t(dev[8] | (dev[9] << 8));
    dc.product_id = uint16_t(dev[10] | (dev[11] << 8));
    dc.device_version_bcd = uint16_t(dev[12] | (dev[13] << 8));
    usbredirparser_send_interface_info(parser_, &ii);
    usbredirparser_send_ep_info(parser_, &ei);
    usbredirparser_send_device_connect(parser_, &dc);
    connected_ = true;
    configuration_ = 1;
    altSettings_.clear();
    char text[64];
    snprintf(text, sizeof text, "device %04x:%04x announced", dc.vendor_id, dc.product_id);
    log(usbredirparser_info, text);
}

void Connection::disconnectDevice()
{
    wantConnected_ = false;
    if (!connected_)
        return;
    // The peer drops its own queue of this device's transfers; none is answered any more.
    pending_.clear();
    usbredirparser_send_device_disconnect(parser_);
    connected_ = false;
    model_.reset();
    flush();
}

void Connection::connectDevice()
{
    wantConnected_ = true;
    if (helloSeen_ && !connected_) {
        announce();
        flush();
    }
}

void Connection::deviceGone()
{
    if (!connected_)
        return;
    log(usbredirparser_info, "the device has gone");
    // The queues are emptied by pump() once no caller walks them any more.
    usbredirparser_send_device_disconnect(parser_);
    connected_ = false;
}

Result Connection::standardRequest(const SetupPacket &s, Bytes &data)
{
    const bool in = s.bmRequestType & 0x80;
    const uint8_t recipient = s.bmRequestType & 0x1f;
    switch (s.bRequest) {
    case 0x06:  // GET_DESCRIPTOR
        if (!in)
            return Result::Stall;
        switch (s.wValue >> 8) {
        case kDescDevice: data = model_.deviceDescriptor(); return Result::Ok;
        case kDescConfiguration:
            if ((s.wValue & 0xff) != 0)
                return Result::Stall;
            data = model_.configurationDescriptor();
            return Result::Ok;
        case kDescString:
            data = model_.stringDescriptor(uint8_t(s.wValue & 0xff));
            return data.empty() ? Result::Stall : Result::Ok;
        default:  // device qualifier, other speed, BOS: a high-speed-only device has none
            return Result::Stall;
        }
    case 0x00:  // GET_STATUS
        if (!in)
            return Result::Stall;
        data = {0, 0};
        return Result::Ok;
    case 0x01:  // CLEAR_FEATURE
        if (recipient == 2 && s.wValue == 0) {  // ENDPOINT_HALT
            halted_.erase(uint8_t(s.wIndex & 0xff));
            return model_.clearHalt(uint8_t(s.wIndex & 0xff));
        }
        return Result::Ok;
    case 0x03:  // SET_FEATURE
        return Result::Ok;
    case 0x08:  // GET_CONFIGURATION
        data = {configuration_};
        return Result::Ok;
    case 0x09: {  // SET_CONFIGURATION
        Result r = model_.setConfiguration(uint8_t(s.wValue));
        if (r == Result::Ok)
            configuration_ = uint8_t(s.wValue);
        return r;
    }
    case 0x0a:  // GET_INTERFACE
        data = {altSettings_[uint8_t(s.wIndex)]};
        return Result::Ok;
    case 0x0b: {  // SET_INTERFACE
        Result r = model_.setInterface(uint8_t(s.wIndex), uint8_t(s.wValue));
        if (r == Result::Ok)
            altSettings_[uint8_t(s.wIndex)] = uint8_t(s.wValue);
        return r;
    }
    default:
        return Result::Stall;
    }
}

void Connection::serveControl(uint64_t id, const struct usb_redir_control_packet_header *h, const uint8_t *data,
                              int len)
{
    stats_.controlRequests++;
    SetupPacket s;
    s.bmRequestType = h->requesttype;
    s.bRequest = h->request;
    s.wValue = h->value;
    s.wIndex = h->index;
    s.wLength = h->length;
    const bool in = s.bmRequestType & 0x80;
    Bytes buf;
    if (!in && data && len > 0)
        buf.assign(data, data + len);
    Result r;
    if ((s.bmRequestType & 0x60) == 0)
        r = standardRequest(s, buf);
    else
        r = model_.control(s, buf);
    if (r == Result::Pending) {
        log(usbredirparser_warning, "a control request left pending is answered as a stall");
        r = Result::Stall;
    }
    struct usb_redir_control_packet_header reply = *h;
    reply.status = statusOf(r);
    if (r != Result::Ok) {
        reply.length = 0;
        usbredirparser_send_control_packet(parser_, id, &reply, nullptr, 0);
    } else if (in) {
        if (buf.size() > s.wLength)
            buf.resize(s.wLength);
        reply.length = uint16_t(buf.size());
        usbredirparser_send_control_packet(parser_, id, &reply, buf.data(), int(buf.size()));
    } else {
        reply.length = uint16_t(len);
        usbredirparser_send_control_packet(parser_, id, &reply, nullptr, 0);
    }
    if (r == Result::Gone)
        deviceGone();
}

void Connection::sendBulk(uint64_t id, uint8_t endpoint, uint8_t status, uint32_t length, const uint8_t *data,
                          int dataLen)
{
    struct usb_redir_bulk_packet_header h {};
    h.endpoint = endpoint;
    h.status = status;
    h.length = uint16_t(length & 0xffff);
    h.length_high = uint16_t(length >> 16);
    h.stream_id = 0;
    usbredirparser_send_bulk_packet(parser_, id, &h, const_cast<uint8_t *>(data), dataLen);
}

bool Connection::tryBulk(const Pending &p)
{
    if ((p.endpoint & 0x80) && haltNextIn_) {
        haltNextIn_ = false;
        halted_.insert(p.endpoint);
    }
    if (halted_.count(p.endpoint)) {
        stats_.stalls++;
        sendBulk(p.id, p.endpoint, usb_redir_stall, 0, nullptr, 0);
        return true;
    }
    if (p.endpoint & 0x80) {
        Bytes out;
        Result r = model_.bulkIn(p.endpoint, p.length, out);
        if (r == Result::Pending)
            return false;
        if (r == Result::Ok) {
            if (out.size() > p.length) {
                log(usbredirparser_warning, "the model answered more than was asked for; cut");
                out.resize(p.length);
            }
            stats_.bulkIn++;
            stats_.bulkInBytes += out.size();
            sendBulk(p.id, p.endpoint, usb_redir_success, uint32_t(out.size()), out.data(), int(out.size()));
        } else {
            sendBulk(p.id, p.endpoint, statusOf(r), 0, nullptr, 0);
        }
        if (r == Result::Gone)
            deviceGone();
        return true;
    }
    Result r = model_.bulkOut(p.endpoint, p.data.data(), p.data.size());
    if (r == Result::Pending)
        return false;
    if (r == Result::Ok) {
        stats_.bulkOut++;
        stats_.bulkOutBytes += p.data.size();
    }
    sendBulk(p.id, p.endpoint, statusOf(r), r == Result::Ok ? uint32_t(p.data.size()) : 0, nullptr, 0);
    if (r == Result::Gone)
        deviceGone();
    return true;
}

void Connection::serveBulk(uint64_t id, const struct usb_redir_bulk_packet_header *h, const uint8_t *data, int len)
{
    Pending p;
    p.id = id;
    p.endpoint = h->endpoint;
    p.length = uint32_t(h->length) | (uint32_t(h->length_high) << 16);
    if (!(h->endpoint & 0x80) && data && len > 0)
        p.data.assign(data, data + len);
    if (!connected_) {
        sendBulk(id, p.endpoint, usb_redir_ioerror, 0, nullptr, 0);
        return;
    }
    auto &queue = pending_[p.endpoint];
    // Transfers on one endpoint complete in the order they were sent.
    if (!queue.empty() || !tryBulk(p))
        queue.push_back(std::move(p));
    if (!(h->endpoint & 0x80))
        retryPending();  // an OUT transfer (a command) may have made answers ready
}

void Connection::retryPending()
{
    bool progress = true;
    while (progress && connected_) {
        progress = false;
        for (auto &[ep, queue] : pending_) {
            while (!queue.empty() && connected_ && tryBulk(queue.front())) {
                queue.pop_front();
                progress = true;
            }
            if (!connected_)
                break;
        }
    }
}

void Connection::dropPending(uint8_t status)
{
    for (auto &[ep, queue] : pending_)
        for (const auto &p : queue)
            sendBulk(p.id, p.endpoint, status, 0, nullptr, 0);
    pending_.clear();
}

void Connection::flush()
{
    while (alive_ && usbredirparser_has_data_to_write(parser_)) {
        int before = usbredirparser_has_data_to_write(parser_);
        if (usbredirparser_do_write(parser_) < 0) {
            alive_ = false;
            break;
        }
        if (usbredirparser_has_data_to_write(parser_) == before)
            break;  // the socket is full: the rest goes when poll says it may
    }
}

bool Connection::pump(int timeoutMs)
{
    if (!alive_)
        return false;
    bool anyPending = std::any_of(pending_.begin(), pending_.end(), [](const auto &q) { return !q.second.empty(); });
    if (anyPending && (timeoutMs < 0 || timeoutMs > kRetryMs))
        timeoutMs = kRetryMs;
    struct pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (usbredirparser_has_data_to_write(parser_))
        fds[0].events |= POLLOUT;
    int n = poll(fds, 2, timeoutMs);
    if (n < 0 && errno != EINTR) {
        alive_ = false;
        return false;
    }
    if (n > 0 && (fds[1].revents & POLLIN)) {
        uint64_t count;
        ssize_t r = ::read(wakeFd_, &count, sizeof count);
        (void)r;
    }
    if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
        if (usbredirparser_do_read(parser_) < 0) {
            alive_ = false;
            return false;
        }
    }
    retryPending();
    if (!connected_)
        pending_.clear();  // the peer drops a detached device's transfers itself
    flush();
    return alive_;
}

}  // namespace usbredir
