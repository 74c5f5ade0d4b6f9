#pragma once
// The byte stream of the virtual camera, usable without any USB: generated test pictures that carry
// their frame number, encoded as real JPEG, cut into image chunks, plus the camera's replies and
// helpers to split a stream into bulk reads.
//
// The frame number is drawn twice into every picture: as large seven-segment digits a person can read,
// and as an 8x8 grid of black and white blocks (the 32 bits of the number, then their complement) in
// the top-left corner that decodeFrameNumber() reads back, robust to JPEG compression.
//
// No GUI library: the pictures are vcam::Picture and JPEG is libjpeg-turbo's, so the generator also
// runs in the stand-in libusb of the Windows tests. qt_picture.h converts for Qt programs.

#include "camera_proto.h"
#include "picture.h"
#include "scene.h"

#include <cstdint>
#include <optional>
#include <string>
#include <random>
#include <vector>

namespace vcam {

struct StreamOptions {
    int width = 320;              // at least 80
    int height = 240;             // at least 80
    int jpegQuality = 80;
    int chunkPayload = 2000;      // JPEG bytes per image chunk (chunk length - 7), 1 to 2036
    bool randomChunkSizes = false;  // payload sizes drawn from 1 to chunkPayload
    enum class ChunkCid { Data, DataB, Alternate } chunkCid = ChunkCid::Data;  // 0x07, 0x0A or both
    uint8_t firstFrameId = 1;     // frame id of frame number 0; ids count up with the number
    int trailingZeros = 0;        // zero bytes after the JPEG end marker of every frame
    bool magicAB = true;          // the camera's packets start AA BB (false: BB AA)
    uint8_t chunkFlags = 0;       // flag bits (bit 0, bits 5 to 7) of every chunk
    uint32_t seed = 1;            // for random chunk sizes
    Scene scene = Scene::Pattern; // what the pictures show
};

// One generated frame.
struct Frame {
    uint32_t number = 0;
    uint8_t id = 0;
    bool photo = false;
    Bytes jpeg;                   // with the trailing zeros, as the parser delivers it
    std::vector<Bytes> packets;   // the image chunks
};

class StreamGenerator {
public:
    explicit StreamGenerator(StreamOptions options = {});

    const StreamOptions &options() const { return options_; }
    void setOptions(const StreamOptions &options);

    // The next frame (numbers count from 0); `photo` sets the photo-button flag on its first chunk.
    Frame nextFrame(bool photo = false);
    uint32_t nextNumber() const { return next_; }
    void setNextNumber(uint32_t n) { next_ = n; }

    // The whole byte stream of `count` further frames.
    Bytes nextFrames(int count, std::vector<Frame> *frames = nullptr);

    // Pure building blocks (thread-safe).
    static Frame buildFrame(const StreamOptions &options, uint32_t number, bool photo, std::mt19937 *rng);
    static Picture picture(uint32_t number, int width, int height);
    // The machine-readable number (an 8x8 block grid at the top-left corner; with smallGrid of blocks
    // 8 pixels wide, else as large as the picture allows) and the number in seven-segment digits right
    // of it, `digitSegment` pixels thick (0: as large as the room allows). decodeFrameNumber reads both
    // grid sizes.
    static void drawFrameNumber(Picture &image, uint32_t number, int digitSegment = 0, bool smallGrid = false);
    // Digits, ':' and '.' as seven-segment figures with segments `s` pixels thick, from (x, y).
    static void drawText(Picture &image, const std::string &text, int x, int y, int s, Rgb colour);
    static int textWidth(const std::string &text, int s);
    static Bytes encodeJpeg(const Picture &image, int quality);
    static std::optional<uint32_t> decodeFrameNumber(const Picture &image);
    static std::optional<uint32_t> decodeFrameNumber(const uint8_t *jpeg, int len);

    // Packets.
    static Bytes packet(uint8_t cid, const Bytes &body, bool magicAB = true, bool extraByte = true,
                        uint8_t extra = 0);
    static Bytes imageChunk(uint8_t cid, uint8_t frameId, uint8_t flags, uint32_t value, const uint8_t *data,
                            int n, bool magicAB = true);
    static Bytes devInfoReply(const vs_devinfo_t &info, int length = 98, bool magicAB = true);
    static Bytes openStreamReply(bool magicAB = true);
    static Bytes switchCamera(uint8_t cam, uint16_t res, bool magicAB = true);
    static vs_devinfo_t defaultDevInfo();

    // Cuts `stream` into reads of 1 to maxRead bytes at random.
    static std::vector<Bytes> randomReads(const Bytes &stream, std::mt19937 &rng, int maxRead = 4092);
    // Cuts `stream` into reads of `size` bytes (the last one shorter).
    static std::vector<Bytes> fixedReads(const Bytes &stream, int size = 4092);

private:
    StreamOptions options_;
    uint32_t next_ = 0;
    std::mt19937 rng_;
};

}  // namespace vcam
