#pragma once
// The camera command protocol: packet framing, the two commands the viewer sends, the device
// information record, and the process-wide stream parser that cuts successive bulk reads into packets
// and reassembles the image chunks into JPEG frames.
//
// This file and camera_proto.cpp use nothing but the C++ standard library; the only output is the
// printf trace on standard output. That keeps the parser cheap to fuzz and to benchmark.

#include <cstddef>
#include <cstdint>

// ---- Packet -------------------------------------------------------------------------------------

// First two bytes of every packet; both orders are accepted on input.
inline constexpr uint8_t VS_MAGIC_A = 0xAA;
inline constexpr uint8_t VS_MAGIC_B = 0xBB;

// Command codes.
inline constexpr uint8_t CID_GET_ALLINFO = 0x05;
inline constexpr uint8_t CID_OPEN_STREAM = 0x06;
inline constexpr uint8_t CID_IMAGE_DATA = 0x07;
inline constexpr uint8_t CID_IMAGE_DATA_B = 0x0A;
inline constexpr uint8_t CID_SWITCH_CAMERA = 0x0B;

inline constexpr int VS_HEADER_LEN = 5;        // magic, cid, length
inline constexpr int VS_PACKET_MAX = 2048;     // a packet longer than this is not a packet
inline constexpr int VS_CMD_LEN = 5;           // commands sent by the viewer: header only
inline constexpr int VS_CHUNK_FIXED = 7;       // fixed fields of an image chunk body (offsets 5..11)
inline constexpr int VS_CHUNK_DATA_OFFSET = 12;  // JPEG bytes of an image chunk start here
inline constexpr int VS_REPLY_BUF_LEN = 1024;  // copy of the last non-image packet
inline constexpr int VS_FRAME_BUF_LEN = 512000;  // frame accumulator
inline constexpr int VS_CHUNK_PHOTO_BIT = 0x02;  // image chunk flag: photo button pressed

#pragma pack(push, 1)
// Packet header, all fields little-endian. The body follows at offset 5 (image chunks, commands) or 6
// (the camera's other packets, which carry one extra byte that `length` does not count).
struct vs_proto_t {
    uint8_t magic[2];
    uint8_t cid;
    uint16_t length;
};
#pragma pack(pop)
static_assert(sizeof(vs_proto_t) == VS_HEADER_LEN, "vs_proto_t is the 5-byte packet header");

// Fills `out` with the 5-byte command for `cid`: BB AA, the code, and a length of 0.
void proto_make_command(uint8_t cid, uint8_t out[VS_CMD_LEN]);

// Total size of a packet received from the camera with this header: length + 5 for image chunks
// (0x07, 0x0A), length + 6 for every other code. `hdr` must hold at least 5 bytes.
int proto_packet_size(const uint8_t *hdr);

// ---- Device information record ------------------------------------------------------------------

#pragma pack(push, 1)
struct vs_fw_info_t {
    char vendor[16];
    char product[16];
    char version[16];
};
struct vs_cam_info_t {
    uint8_t cam_num;
    uint8_t cam_cur;
    uint16_t res_cur;
    uint16_t res_list[8];
};
// The camera's device information, 98 bytes, packed, little-endian (the reply body of
// CID_GET_ALLINFO, taken over as it is).
struct vs_devinfo_t {
    uint8_t version;
    vs_fw_info_t fw_info;
    uint8_t reserved[25];
    vs_cam_info_t cam_info;
    uint32_t capacity;
};
#pragma pack(pop)
static_assert(sizeof(vs_devinfo_t) == 98, "vs_devinfo_t is 98 bytes");
static_assert(offsetof(vs_devinfo_t, fw_info) == 1, "vs_devinfo_t layout");
static_assert(offsetof(vs_devinfo_t, reserved) == 49, "vs_devinfo_t layout");
static_assert(offsetof(vs_devinfo_t, cam_info) == 74, "vs_devinfo_t layout");
static_assert(offsetof(vs_devinfo_t, capacity) == 94, "vs_devinfo_t layout");

// ---- Frames -------------------------------------------------------------------------------------

// One complete frame, handed to the frame callback. `data` points into the parser's accumulator,
// which is reused as soon as the callback returns: the callback must copy what it keeps.
struct vs_frameinfo_t {
    uint8_t *data;
    int len;
    uint32_t value;            // the 32-bit value at offset 8 of the frame's first chunk
    unsigned haspic : 1;       // the camera's photo request belongs to this frame
    unsigned flag0 : 1;        // bit 0 of the first chunk's flags
    unsigned flags_high : 3;   // bits 5 to 7 of the first chunk's flags
};

// Frame callback; its return value is ignored.
typedef int (*vs_frame_cb_t)(vs_frameinfo_t *info, void *user);

struct vs_proto_cb_t {
    vs_frame_cb_t frame_cb;
    void *user;
};

// ---- Stream parser (one for the whole process) --------------------------------------------------

// proto_check results.
enum {
    PROTO_NEED_MORE = 1,   // a possible header is cut short
    PROTO_NOT_START = 2,   // not a packet start
    PROTO_INCOMPLETE = 3,  // packet incomplete
    PROTO_TOO_LONG = 4,    // announced size above 2048
    PROTO_COMPLETE = 5,    // packet complete
};

// Sets the parser up with the frame callback (the record may be null). Prints "to init-1\n"; only
// the first call has any effect.
void proto_init(const vs_proto_cb_t *cb);
// Feeds one bulk read.
void proto_input(const uint8_t *buf, int n);
// Classifies the start of `buf` (see the PROTO_ results).
int proto_check(const uint8_t *buf, int n);
// Completes the packet held in the carry buffer from `buf`; returns the number of input bytes used.
int proto_carry(const uint8_t *buf, int n);
// Handles one complete packet of `size` bytes (its total size as proto_packet_size gives it).
void proto_dispatch(const uint8_t *pkt, int size);
// True when `buf` ends, after any run of trailing zero bytes, with FF D9.
bool jpeg_end_ok(const uint8_t *buf, int n);

// Read-only view of the parser state, for diagnostics and tests.
struct vs_proto_state_t {
    bool initialised;
    const uint8_t *carry;        // 2048 bytes once allocated
    int carry_len;
    const uint8_t *frame;        // 512000 bytes once allocated
    int frame_pos;
    uint8_t last_frame_id;
    int photo_requests;
    const uint8_t *backbuf;      // 1024 bytes
    int backbuflen;
    vs_devinfo_t devinfo;
    int devinfoflag;
    long long skipped;
};
vs_proto_state_t proto_state();
