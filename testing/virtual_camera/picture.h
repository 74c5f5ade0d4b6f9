#pragma once
// The virtual camera's pictures without any GUI library: a 32-bit RGB raster (0xAARRGGBB per pixel, the
// layout Qt's Format_RGB32 uses, so an adapter can wrap it without conversion) and the few antialiased
// drawing operations the scenes need. JPEG coding goes through libjpeg-turbo. Built for Linux and
// for Windows alike.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace vcam {

using Bytes = std::vector<uint8_t>;
using Rgb = uint32_t;  // 0xAARRGGBB

constexpr Rgb rgb(int r, int g, int b, int a = 255)
{
    return static_cast<Rgb>((a & 0xFF) << 24 | (r & 0xFF) << 16 | (g & 0xFF) << 8 | (b & 0xFF));
}
constexpr int redOf(Rgb c) { return static_cast<int>((c >> 16) & 0xFF); }
constexpr int greenOf(Rgb c) { return static_cast<int>((c >> 8) & 0xFF); }
constexpr int blueOf(Rgb c) { return static_cast<int>(c & 0xFF); }
constexpr int alphaOf(Rgb c) { return static_cast<int>(c >> 24); }
// Grey level with the weights Qt's qGray uses.
constexpr int grayOf(Rgb c) { return (redOf(c) * 11 + greenOf(c) * 16 + blueOf(c) * 5) / 32; }
// Hue 0-359, saturation and value 0-255.
Rgb fromHsv(int h, int s, int v);

class Picture {
public:
    Picture() = default;
    Picture(int width, int height, Rgb fill = rgb(0, 0, 0));

    int width() const { return width_; }
    int height() const { return height_; }
    bool isNull() const { return pixels_.empty(); }
    Rgb *line(int y) { return pixels_.data() + static_cast<size_t>(y) * static_cast<size_t>(width_); }
    const Rgb *line(int y) const { return pixels_.data() + static_cast<size_t>(y) * static_cast<size_t>(width_); }
    Rgb pixel(int x, int y) const { return line(y)[x]; }
    // The part inside (x, y, w, h), clipped to the picture.
    Picture copy(int x, int y, int w, int h) const;

    bool operator==(const Picture &o) const
    {
        return width_ == o.width_ && height_ == o.height_ && pixels_ == o.pixels_;
    }
    bool operator!=(const Picture &o) const { return !(*this == o); }

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<Rgb> pixels_;
};

struct PointF {
    double x = 0, y = 0;
};

// What a shape is filled with: a colour (its alpha blends), or a colour for each pixel centre.
struct Paint {
    Paint(Rgb colour) : solid(colour) {}  // NOLINT: a colour is a paint
    explicit Paint(std::function<Rgb(double x, double y)> f) : shade(std::move(f)) {}
    Rgb at(double x, double y) const { return shade ? shade(x, y) : solid; }

    Rgb solid = 0;
    std::function<Rgb(double x, double y)> shade;
};

// Colour stops at 0 and 1, interpolated along the line from (x0, y0) to (x1, y1) / out from the centre.
Paint linearGradient(PointF from, PointF to, Rgb at0, Rgb at1);
Paint radialGradient(PointF centre, double radius, Rgb at0, Rgb at1);

// Solid rectangle on whole pixels, clipped; no blending.
void fillRect(Picture &picture, int x, int y, int w, int h, Rgb colour);
// Antialiased shapes (edge pixels get their covered share of the paint).
void fillPolygon(Picture &picture, const std::vector<PointF> &points, const Paint &paint);
void fillRectF(Picture &picture, double x, double y, double w, double h, const Paint &paint);
void fillEllipse(Picture &picture, PointF centre, double rx, double ry, const Paint &paint);
void fillRoundedRect(Picture &picture, double x, double y, double w, double h, double radius, const Paint &paint);
void drawLine(Picture &picture, PointF from, PointF to, double width, Rgb colour);

// JPEG at `quality` (1-100), 4:2:0; empty when the encoder fails.
Bytes encodeJpeg(const Picture &picture, int quality);
// The decoded picture; nullopt for bytes that are not a JPEG.
std::optional<Picture> decodeJpeg(const uint8_t *jpeg, size_t length);

}  // namespace vcam
