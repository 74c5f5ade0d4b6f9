#include "camera_proto.h"
#include "camera_proto_testing.h"

#include <cstdio>
#include <cstring>

namespace {

// The process-wide parser. Zero-initialised before main; the buffers are allocated on first use and
// never freed (only the test hook below resets it).
struct Parser {
    bool initialised;
    uint8_t *carry;            // VS_PACKET_MAX bytes
    int carry_len;
    uint8_t *frame;            // VS_FRAME_BUF_LEN bytes
    int frame_pos;
    vs_frameinfo_t *info;
    uint8_t last_frame_id;
    int photo_requests;
    vs_frame_cb_t frame_cb;
    void *user;
    uint8_t backbuf[VS_REPLY_BUF_LEN];
    int backbuflen;
    vs_devinfo_t devinfo;
    int devinfoflag;
    long long skipped;
};

Parser g_parser;

bool isMagicPair(const uint8_t *p)
{
    return (p[0] == VS_MAGIC_A && p[1] == VS_MAGIC_B) || (p[0] == VS_MAGIC_B && p[1] == VS_MAGIC_A);
}

bool isImageChunk(uint8_t cid)
{
    return cid == CID_IMAGE_DATA || cid == CID_IMAGE_DATA_B;
}

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void ensureCarry()
{
    if (!g_parser.carry)
        g_parser.carry = new uint8_t[VS_PACKET_MAX];
}

void ensureFrame()
{
    if (!g_parser.frame)
        g_parser.frame = new uint8_t[VS_FRAME_BUF_LEN];
    if (!g_parser.info)
        g_parser.info = new vs_frameinfo_t{};
}

// Keeps a copy of a non-image packet as the last reply. A packet longer than the reply buffer is kept
// cut to the buffer's size (and says so), and backbuflen gives the number of bytes actually held.
void storeReply(const uint8_t *pkt, int size)
{
    const int n = size < VS_REPLY_BUF_LEN ? size : VS_REPLY_BUF_LEN;
    if (n < size)
        std::printf("reply of %d bytes kept as %d\n", size, n);
    std::memcpy(g_parser.backbuf, pkt, static_cast<size_t>(n));
    g_parser.backbuflen = n;
}

void takeChunkFields(uint8_t flags, uint32_t value)
{
    g_parser.info->flag0 = flags & 0x01;
    g_parser.info->flags_high = (flags >> 5) & 0x07;
    g_parser.info->value = value;
}

// Frame reassembly for one image chunk. `hdr` holds the chunk's first 12 bytes (header and fixed
// fields); its JPEG bytes are given in up to two parts (a chunk completed from the carry buffer is taken
// from there and from the new read without being gathered first).
void dispatchImageChunk(const uint8_t *hdr, int length, const uint8_t *a, int na, const uint8_t *b, int nb)
{
    // A chunk whose fixed fields do not fit is malformed: it is refused as a whole, nothing is copied.
    if (length < VS_CHUNK_FIXED) {
        std::printf("image chunk length=%d too short, dropped\n", length);
        return;
    }
    Parser &p = g_parser;
    const uint8_t frameId = hdr[5];
    const uint8_t flags = hdr[7];
    const uint32_t value = le32(hdr + 8);

    if (flags & VS_CHUNK_PHOTO_BIT)
        ++p.photo_requests;

    if (frameId != p.last_frame_id) {
        if (p.frame_pos > 0) {
            if (p.frame_pos > 4 && p.frame[0] == 0xFF && p.frame[1] == 0xD8 && jpeg_end_ok(p.frame, p.frame_pos)) {
                p.info->data = p.frame;
                p.info->len = p.frame_pos;
                if (p.photo_requests > 0) {
                    p.info->haspic = 1;
                    --p.photo_requests;
                } else {
                    p.info->haspic = 0;
                }
                if (p.frame_cb)
                    p.frame_cb(p.info, p.user);
            }
            p.frame_pos = 0;
        }
        takeChunkFields(flags, value);
    } else if (p.frame_pos == 0) {
        takeChunkFields(flags, value);
    }
    p.last_frame_id = frameId;

    const int n = length - VS_CHUNK_FIXED;  // == na + nb
    if (p.frame_pos + n > VS_FRAME_BUF_LEN) {
        std::printf("error len\n");
        p.frame_pos = 0;
    } else {
        if (na > 0)
            std::memcpy(p.frame + p.frame_pos, a, static_cast<size_t>(na));
        if (nb > 0)
            std::memcpy(p.frame + p.frame_pos + na, b, static_cast<size_t>(nb));
        p.frame_pos += n;
    }
}

void dispatchAllInfo(const uint8_t *pkt, int size, int length)
{
    Parser &p = g_parser;
    std::printf("CID_GET_ALLINFO\n");
    std::printf("pro->length=%d\n", length);
    std::printf("vs_devinfo_t=%d\n", static_cast<int>(sizeof(vs_devinfo_t)));
    if (length >= static_cast<int>(sizeof(vs_devinfo_t))) {
        std::memcpy(&p.devinfo, pkt + 6, sizeof(vs_devinfo_t));
        p.devinfoflag = 2;
        std::printf("devinfoflag=%d\n", p.devinfoflag);
    }
    const vs_devinfo_t &d = p.devinfo;
    // The texts are fixed 16-byte fields that need not end with a zero byte.
    std::printf("devinfo.fw_info.vendor=%.16s\n", d.fw_info.vendor);
    std::printf("devinfo.fw_info.product=%.16s\n", d.fw_info.product);
    std::printf("devinfo.fw_info.version=%.16s\n", d.fw_info.version);
    std::printf("devinfo.cam_info.cam_num=%d\n", d.cam_info.cam_num);
    std::printf("devinfo.cam_info.cam_cur=%d\n", d.cam_info.cam_cur);
    std::printf("devinfo.cam_info.res_cur=%d\n", static_cast<int>(d.cam_info.res_cur));
    for (int i = 0; i < d.cam_info.cam_num && i < 8; ++i)
        std::printf("devinfo.cam_info.res_list[%d]=%d\n", i, static_cast<int>(d.cam_info.res_list[i]));
    std::printf("devinfo.capacity=%d\n", static_cast<int>(d.capacity));
    std::printf("devinfo.version=%d\n", d.version);
    storeReply(pkt, size);
    std::printf("backbuflen=%d\n", p.backbuflen);
}

void dispatchSwitchCamera(const uint8_t *pkt, int size, int length)
{
    Parser &p = g_parser;
    // Body bytes the packet does not carry (length below 3) read as zero.
    auto body = [&](int offset) -> uint8_t { return offset < size ? pkt[offset] : 0; };
    const uint8_t cam = body(6);
    const uint16_t res = static_cast<uint16_t>(body(7) | (body(8) << 8));
    std::printf("CID_SWITCH_CAMERA\n");
    std::printf("pro_rt->length=%d\n", length);
    std::printf("cam_num=%d,cam_res=%d\n", cam, body(7));
    std::printf("cam_num=%d,cam_res=%d\n", cam, static_cast<int>(res));
    storeReply(pkt, size);
    p.devinfo.cam_info.cam_cur = cam;
    p.devinfo.cam_info.res_cur = res;
    std::printf("backbuflen=%d\n", p.backbuflen);
}

}  // namespace

void proto_make_command(uint8_t cid, uint8_t out[VS_CMD_LEN])
{
    out[0] = VS_MAGIC_B;
    out[1] = VS_MAGIC_A;
    out[2] = cid;
    out[3] = 0;
    out[4] = 0;
}

int proto_packet_size(const uint8_t *hdr)
{
    const int length = le16(hdr + 3);
    return length + (isImageChunk(hdr[2]) ? 5 : 6);
}

void proto_init(const vs_proto_cb_t *cb)
{
    std::printf("to init-1\n");
    Parser &p = g_parser;
    if (p.initialised)
        return;
    if (cb) {
        p.frame_cb = cb->frame_cb;
        p.user = cb->user;
    }
    ensureCarry();
    p.carry_len = 0;
    p.initialised = true;
}

int proto_check(const uint8_t *buf, int n)
{
    if (n <= 0)
        return PROTO_NEED_MORE;
    if (n == 1)
        return (buf[0] == VS_MAGIC_A || buf[0] == VS_MAGIC_B) ? PROTO_NEED_MORE : PROTO_NOT_START;
    const bool magic = isMagicPair(buf);
    if (n < VS_HEADER_LEN)
        return magic ? PROTO_NEED_MORE : PROTO_NOT_START;
    if (!magic)
        return PROTO_NOT_START;
    const int total = proto_packet_size(buf);
    if (total > VS_PACKET_MAX)
        return PROTO_TOO_LONG;
    if (n < total)
        return PROTO_INCOMPLETE;
    return PROTO_COMPLETE;
}

int proto_carry(const uint8_t *buf, int n)
{
    Parser &p = g_parser;
    ensureCarry();
    int used = 0;
    for (;;) {
        switch (proto_check(p.carry, p.carry_len)) {
        case PROTO_NEED_MORE:
            if (used >= n)
                return used;
            p.carry[p.carry_len++] = buf[used++];
            if (used < n)
                continue;
            return used;
        case PROTO_INCOMPLETE: {
            const int total = proto_packet_size(p.carry);
            const int need = total - p.carry_len;
            const int avail = n - used;
            if (avail > need) {
                if (isImageChunk(p.carry[2]) && total > VS_CHUNK_DATA_OFFSET) {
                    // Complete the fixed fields in the carry buffer; the JPEG bytes go from the held part
                    // and from the input straight into the frame (one copy instead of two).
                    const int head = p.carry_len < VS_CHUNK_DATA_OFFSET ? VS_CHUNK_DATA_OFFSET - p.carry_len : 0;
                    std::memcpy(p.carry + p.carry_len, buf + used, static_cast<size_t>(head));
                    p.carry_len += head;
                    used += head;
                    ensureFrame();
                    const int rest = need - head;
                    dispatchImageChunk(p.carry, le16(p.carry + 3), p.carry + VS_CHUNK_DATA_OFFSET,
                                       p.carry_len - VS_CHUNK_DATA_OFFSET, buf + used, rest);
                    used += rest;
                } else {
                    std::memcpy(p.carry + p.carry_len, buf + used, static_cast<size_t>(need));
                    p.carry_len = total;
                    used += need;
                    proto_dispatch(p.carry, total);
                }
                p.carry_len = 0;
                return used;
            }
            // A packet completed exactly by the end of the input is dispatched at the next read.
            std::memcpy(p.carry + p.carry_len, buf + used, static_cast<size_t>(avail));
            p.carry_len += avail;
            used += avail;
            return used;
        }
        case PROTO_COMPLETE:
            proto_dispatch(p.carry, proto_packet_size(p.carry));
            p.carry_len = 0;
            return used;
        default:  // not a packet start, or too long: the held bytes are dropped
            p.skipped += p.carry_len;
            p.carry_len = 0;
            return used;
        }
    }
}

void proto_input(const uint8_t *buf, int n)
{
    if (!buf || n <= 0)
        return;
    Parser &p = g_parser;
    ensureCarry();
    int pos = 0;
    if (p.carry_len > 0)
        pos = proto_carry(buf, n);
    while (pos < n) {
        const uint8_t *at = buf + pos;
        const int rest = n - pos;
        switch (proto_check(at, rest)) {
        case PROTO_NEED_MORE:
        case PROTO_INCOMPLETE:
            // rest is below the packet's total size, so at most VS_PACKET_MAX - 1 bytes.
            std::memcpy(p.carry, at, static_cast<size_t>(rest));
            p.carry_len = rest;
            return;
        case PROTO_COMPLETE: {
            const int total = proto_packet_size(at);
            proto_dispatch(at, total);
            pos += total;
            break;
        }
        default:
            ++p.skipped;
            ++pos;
            break;
        }
    }
}

void proto_dispatch(const uint8_t *pkt, int size)
{
    if (!pkt || size < VS_HEADER_LEN)
        return;
    ensureFrame();
    const uint8_t cid = pkt[2];
    const int length = le16(pkt + 3);
    switch (cid) {
    case CID_GET_ALLINFO:
        dispatchAllInfo(pkt, size, length);
        break;
    case CID_OPEN_STREAM:
        std::printf("CID_OPEN_STREAM\n");
        storeReply(pkt, size);
        std::printf("backbuflen=%d\n", g_parser.backbuflen);
        break;
    case CID_SWITCH_CAMERA:
        dispatchSwitchCamera(pkt, size, length);
        break;
    case CID_IMAGE_DATA:
    case CID_IMAGE_DATA_B:
        dispatchImageChunk(pkt, length, pkt + VS_CHUNK_DATA_OFFSET, size - VS_CHUNK_DATA_OFFSET, nullptr, 0);
        break;
    default:
        break;
    }
}

bool jpeg_end_ok(const uint8_t *buf, int n)
{
    if (!buf || n < 2)
        return false;
    int i = n;  // bytes left
    while (i > 3 && buf[i - 1] == 0)
        --i;
    if (buf[i - 1] == 0)
        return false;
    return buf[i - 1] == 0xD9 && buf[i - 2] == 0xFF;
}

vs_proto_state_t proto_state()
{
    const Parser &p = g_parser;
    vs_proto_state_t s{};
    s.initialised = p.initialised;
    s.carry = p.carry;
    s.carry_len = p.carry_len;
    s.frame = p.frame;
    s.frame_pos = p.frame_pos;
    s.last_frame_id = p.last_frame_id;
    s.photo_requests = p.photo_requests;
    s.backbuf = p.backbuf;
    s.backbuflen = p.backbuflen;
    s.devinfo = p.devinfo;
    s.devinfoflag = p.devinfoflag;
    s.skipped = p.skipped;
    return s;
}

void proto_reset_for_testing()
{
    // The buffers are kept (a parser that was set up once keeps them for good); everything else returns
    // to its state before the first proto_init.
    Parser &p = g_parser;
    uint8_t *carry = p.carry;
    uint8_t *frame = p.frame;
    vs_frameinfo_t *info = p.info;
    p = Parser{};
    p.carry = carry;
    p.frame = frame;
    p.info = info;
    if (info)
        *info = vs_frameinfo_t{};
}
