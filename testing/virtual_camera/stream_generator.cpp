#include "stream_generator.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace vcam {

namespace {

constexpr int kMinSide = 80;
constexpr int kGrid = 8;  // 8x8 blocks: 32 bits of the number, then the 32 complemented bits
constexpr int kSmallBlock = 8;  // pixels per block of the small grid
constexpr Rgb kBlack = 0xFF101010u;
constexpr Rgb kWhite = 0xFFF0F0F0u;
constexpr Rgb kDigit = 0xFFFFE040u;

// Block size: a multiple of 8 so blocks sit on the JPEG 8x8 grid.
int blockSize(int width, int height)
{
    return std::max(8, (std::min(width, height) / 20) & ~7);
}

// Seven-segment digit d at (x, y), `s` pixels per segment thickness, 3s wide and 5s high.
void drawDigit(Picture &img, int d, int x, int y, int s, Rgb colour = kDigit)
{
    // Segments a b c d e f g as bits 0..6.
    static const uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
    const uint8_t m = kSegments[d % 10];
    if (m & 0x01) fillRect(img, x, y, 3 * s, s, colour);  // a
    if (m & 0x02) fillRect(img, x + 2 * s, y, s, 3 * s, colour);      // b
    if (m & 0x04) fillRect(img, x + 2 * s, y + 2 * s, s, 3 * s, colour);  // c
    if (m & 0x08) fillRect(img, x, y + 4 * s, 3 * s, s, colour);      // d
    if (m & 0x10) fillRect(img, x, y + 2 * s, s, 3 * s, colour);      // e
    if (m & 0x20) fillRect(img, x, y, s, 3 * s, colour);              // f
    if (m & 0x40) fillRect(img, x, y + 2 * s, 3 * s, s, colour);      // g
}

uint32_t hash3(uint32_t a, uint32_t b, uint32_t c)
{
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

}  // namespace

StreamGenerator::StreamGenerator(StreamOptions options) : options_(options), rng_(options.seed) {}

void StreamGenerator::setOptions(const StreamOptions &options)
{
    options_ = options;
    rng_.seed(options.seed);
}

Frame StreamGenerator::nextFrame(bool photo)
{
    return buildFrame(options_, next_++, photo, &rng_);
}

Bytes StreamGenerator::nextFrames(int count, std::vector<Frame> *frames)
{
    Bytes stream;
    for (int i = 0; i < count; ++i) {
        Frame f = nextFrame();
        for (const Bytes &p : f.packets)
            stream.insert(stream.end(), p.begin(), p.end());
        if (frames)
            frames->push_back(std::move(f));
    }
    return stream;
}

Picture StreamGenerator::picture(uint32_t number, int width, int height)
{
    width = std::max(width, kMinSide);
    height = std::max(height, kMinSide);
    Picture img(width, height);

    // Background: a gradient that drifts with the frame number, with a little fixed-pattern noise so that
    // the JPEG has a realistic size.
    for (int y = 0; y < height; ++y) {
        Rgb *line = img.line(y);
        for (int x = 0; x < width; ++x) {
            const int noise = static_cast<int>(hash3(static_cast<uint32_t>(x), static_cast<uint32_t>(y), 7) & 31) - 16;
            const int r = std::clamp(40 + (x * 160) / width + noise, 0, 255);
            const int g = std::clamp(40 + (y * 160) / height + noise, 0, 255);
            const int b = std::clamp(static_cast<int>((number * 7 + static_cast<uint32_t>(x + y)) & 0xFF) / 2 + 60 + noise, 0, 255);
            line[x] = rgb(r, g, b);
        }
    }

    drawFrameNumber(img, number);
    return img;
}

void StreamGenerator::drawFrameNumber(Picture &img, uint32_t number, int digitSegment, bool smallGrid)
{
    const int width = img.width(), height = img.height();
    if (width < kMinSide || height < kMinSide)
        return;
    // Machine-readable number: 8x8 blocks at one block from the corner.
    const int B = smallGrid ? kSmallBlock : blockSize(width, height);
    fillRect(img, B / 2, B / 2, (kGrid + 1) * B, (kGrid + 1) * B, 0xFF808080u);
    for (int bit = 0; bit < 64; ++bit) {
        const int row = bit / kGrid, col = bit % kGrid;
        const bool one = bit < 32 ? ((number >> (31 - bit)) & 1u) : !((number >> (63 - bit)) & 1u);
        fillRect(img, B + col * B, B + row * B, B, B, one ? kWhite : kBlack);
    }

    // Human-readable number: seven-segment digits right of the grid, as large as the room allows.
    const std::string digits = std::to_string(number);
    int x = B * (kGrid + 2);
    const int room = width - x - B;
    const int n = static_cast<int>(digits.size());
    const int s = digitSegment > 0 ? digitSegment : std::max(2, std::min(B * kGrid / 5, room / (4 * n - 1)));
    for (char c : digits) {
        if (x + 3 * s > width)
            break;
        drawDigit(img, c - '0', x, B, s);
        x += 4 * s;
    }
}

void StreamGenerator::drawText(Picture &img, const std::string &text, int x, int y, int s, Rgb colour)
{
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            drawDigit(img, c - '0', x, y, s, colour);
            x += 4 * s;
        } else if (c == ':') {
            fillRect(img, x, y + s, s, s, colour);
            fillRect(img, x, y + 3 * s, s, s, colour);
            x += 2 * s;
        } else if (c == '.') {
            fillRect(img, x, y + 4 * s, s, s, colour);
            x += 2 * s;
        } else {
            x += 2 * s;
        }
    }
}

int StreamGenerator::textWidth(const std::string &text, int s)
{
    int w = 0;
    for (char c : text)
        w += (c >= '0' && c <= '9') ? 4 * s : 2 * s;
    return w;
}

Bytes StreamGenerator::encodeJpeg(const Picture &image, int quality)
{
    return vcam::encodeJpeg(image, quality);
}

namespace {

std::optional<uint32_t> readGrid(const Picture &img, int B)
{
    if (B + kGrid * B > std::min(img.width(), img.height()))
        return std::nullopt;
    uint64_t bits = 0;
    for (int bit = 0; bit < 64; ++bit) {
        const int row = bit / kGrid, col = bit % kGrid;
        // Mean grey level of the inner half of the block.
        long sum = 0;
        int count = 0;
        for (int y = B + row * B + B / 4; y < B + row * B + 3 * B / 4; ++y) {
            const Rgb *line = img.line(y);
            for (int x = B + col * B + B / 4; x < B + col * B + 3 * B / 4; ++x) {
                sum += grayOf(line[x]);
                ++count;
            }
        }
        bits = (bits << 1) | ((count && sum / count >= 128) ? 1u : 0u);
    }
    const auto number = static_cast<uint32_t>(bits >> 32);
    const auto check = static_cast<uint32_t>(bits & 0xFFFFFFFFu);
    if (check != ~number)
        return std::nullopt;
    return number;
}

}  // namespace

std::optional<uint32_t> StreamGenerator::decodeFrameNumber(const Picture &img)
{
    if (img.isNull() || img.width() < kMinSide || img.height() < kMinSide)
        return std::nullopt;
    const int B = blockSize(img.width(), img.height());
    if (const auto number = readGrid(img, B))
        return number;
    // The scenes draw the grid with the smallest blocks.
    return B != kSmallBlock ? readGrid(img, kSmallBlock) : std::nullopt;
}

std::optional<uint32_t> StreamGenerator::decodeFrameNumber(const uint8_t *jpeg, int len)
{
    if (!jpeg || len <= 0)
        return std::nullopt;
    const std::optional<Picture> img = decodeJpeg(jpeg, static_cast<size_t>(len));
    return img ? decodeFrameNumber(*img) : std::nullopt;
}

Frame StreamGenerator::buildFrame(const StreamOptions &o, uint32_t number, bool photo, std::mt19937 *rng)
{
    Frame f;
    f.number = number;
    f.id = static_cast<uint8_t>(o.firstFrameId + number);
    f.photo = photo;
    const Picture image = o.scene == Scene::Pattern
                              ? picture(number, o.width, o.height)
                              : renderScene(o.scene, number, o.width, o.height, localTimeOfDay());
    f.jpeg = encodeJpeg(image, o.jpegQuality);
    if (o.trailingZeros > 0)
        f.jpeg.insert(f.jpeg.end(), static_cast<size_t>(o.trailingZeros), 0);

    const int maxPayload = std::clamp(o.chunkPayload, 1, VS_PACKET_MAX - VS_CHUNK_DATA_OFFSET);
    const uint8_t *data = f.jpeg.data();
    const int total = static_cast<int>(f.jpeg.size());
    int pos = 0;
    int index = 0;
    while (pos < total) {
        int n = maxPayload;
        if (o.randomChunkSizes && rng)
            n = std::uniform_int_distribution<int>(1, maxPayload)(*rng);
        n = std::min(n, total - pos);
        uint8_t cid = CID_IMAGE_DATA;
        if (o.chunkCid == StreamOptions::ChunkCid::DataB ||
            (o.chunkCid == StreamOptions::ChunkCid::Alternate && (index & 1)))
            cid = CID_IMAGE_DATA_B;
        uint8_t flags = o.chunkFlags & static_cast<uint8_t>(~VS_CHUNK_PHOTO_BIT);
        if (photo && index == 0)
            flags |= VS_CHUNK_PHOTO_BIT;
        f.packets.push_back(imageChunk(cid, f.id, flags, number, data + pos, n, o.magicAB));
        pos += n;
        ++index;
    }
    return f;
}

Bytes StreamGenerator::packet(uint8_t cid, const Bytes &body, bool magicAB, bool extraByte, uint8_t extra)
{
    Bytes p;
    p.reserve(body.size() + 6);
    p.push_back(magicAB ? VS_MAGIC_A : VS_MAGIC_B);
    p.push_back(magicAB ? VS_MAGIC_B : VS_MAGIC_A);
    p.push_back(cid);
    p.push_back(static_cast<uint8_t>(body.size() & 0xFF));
    p.push_back(static_cast<uint8_t>((body.size() >> 8) & 0xFF));
    if (extraByte)
        p.push_back(extra);
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

Bytes StreamGenerator::imageChunk(uint8_t cid, uint8_t frameId, uint8_t flags, uint32_t value, const uint8_t *data,
                                  int n, bool magicAB)
{
    Bytes body;
    body.reserve(static_cast<size_t>(n) + VS_CHUNK_FIXED);
    body.push_back(frameId);
    body.push_back(0);  // not interpreted by the viewer
    body.push_back(flags);
    for (int i = 0; i < 4; ++i)
        body.push_back(static_cast<uint8_t>(value >> (8 * i)));
    if (n > 0)
        body.insert(body.end(), data, data + n);
    return packet(cid, body, magicAB, /*extraByte=*/false);
}

Bytes StreamGenerator::devInfoReply(const vs_devinfo_t &info, int length, bool magicAB)
{
    Bytes body(static_cast<size_t>(std::max(0, length)), 0);
    std::memcpy(body.data(), &info, std::min(body.size(), sizeof info));
    return packet(CID_GET_ALLINFO, body, magicAB);
}

Bytes StreamGenerator::openStreamReply(bool magicAB)
{
    return packet(CID_OPEN_STREAM, Bytes{0x00}, magicAB);
}

Bytes StreamGenerator::switchCamera(uint8_t cam, uint16_t res, bool magicAB)
{
    return packet(CID_SWITCH_CAMERA, Bytes{cam, static_cast<uint8_t>(res & 0xFF), static_cast<uint8_t>(res >> 8)},
                  magicAB);
}

vs_devinfo_t StreamGenerator::defaultDevInfo()
{
    vs_devinfo_t d{};
    d.version = 1;
    std::strncpy(d.fw_info.vendor, "Viscana", sizeof d.fw_info.vendor);
    std::strncpy(d.fw_info.product, "VirtualCamera", sizeof d.fw_info.product);
    std::strncpy(d.fw_info.version, "1.0.0", sizeof d.fw_info.version);
    d.cam_info.cam_num = 2;
    d.cam_info.cam_cur = 0;
    d.cam_info.res_cur = 0;
    d.cam_info.res_list[0] = 1;
    d.cam_info.res_list[1] = 2;
    d.capacity = 0;
    return d;
}

std::vector<Bytes> StreamGenerator::randomReads(const Bytes &stream, std::mt19937 &rng, int maxRead)
{
    std::vector<Bytes> reads;
    size_t pos = 0;
    while (pos < stream.size()) {
        const size_t n = std::min(stream.size() - pos,
                                  static_cast<size_t>(std::uniform_int_distribution<int>(1, maxRead)(rng)));
        reads.emplace_back(stream.begin() + static_cast<long>(pos), stream.begin() + static_cast<long>(pos + n));
        pos += n;
    }
    return reads;
}

std::vector<Bytes> StreamGenerator::fixedReads(const Bytes &stream, int size)
{
    std::vector<Bytes> reads;
    for (size_t pos = 0; pos < stream.size(); pos += static_cast<size_t>(size)) {
        const size_t n = std::min(stream.size() - pos, static_cast<size_t>(size));
        reads.emplace_back(stream.begin() + static_cast<long>(pos), stream.begin() + static_cast<long>(pos + n));
    }
    return reads;
}

}  // namespace vcam
