#include "picture.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

namespace vcam {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kSubRows = 4;  // coverage samples per pixel row; columns are covered exactly

int lerp(int a, int b, double t)
{
    return static_cast<int>(std::lround(a + (b - a) * t));
}

Rgb mixColours(Rgb a, Rgb b, double t)
{
    return rgb(lerp(redOf(a), redOf(b), t), lerp(greenOf(a), greenOf(b), t), lerp(blueOf(a), blueOf(b), t),
               lerp(alphaOf(a), alphaOf(b), t));
}

void blend(Rgb &dst, Rgb src, double coverage)
{
    const double a = coverage * alphaOf(src) / 255.0;
    if (a >= 0.999) {
        dst = src | 0xFF000000u;
        return;
    }
    dst = rgb(lerp(redOf(dst), redOf(src), a), lerp(greenOf(dst), greenOf(src), a),
              lerp(blueOf(dst), blueOf(src), a));
}

std::vector<PointF> ellipsePoints(PointF c, double rx, double ry, double from, double to, int steps)
{
    std::vector<PointF> pts;
    for (int i = 0; i <= steps; ++i) {
        const double a = from + (to - from) * i / steps;
        pts.push_back({c.x + rx * std::cos(a), c.y + ry * std::sin(a)});
    }
    return pts;
}

int arcSteps(double radius, double angle)
{
    return std::clamp(static_cast<int>(std::ceil(radius * angle / 2)), 3, 128);
}

}  // namespace

Rgb fromHsv(int h, int s, int v)
{
    h = ((h % 360) + 360) % 360;
    const double sf = std::clamp(s, 0, 255) / 255.0, vf = std::clamp(v, 0, 255) / 255.0;
    const double c = vf * sf, hp = h / 60.0;
    const double x = c * (1 - std::fabs(std::fmod(hp, 2.0) - 1));
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(hp)) {
    case 0: r = c; g = x; break;
    case 1: r = x; g = c; break;
    case 2: g = c; b = x; break;
    case 3: g = x; b = c; break;
    case 4: r = x; b = c; break;
    default: r = c; b = x; break;
    }
    const double m = vf - c;
    return rgb(static_cast<int>(std::lround((r + m) * 255)), static_cast<int>(std::lround((g + m) * 255)),
               static_cast<int>(std::lround((b + m) * 255)));
}

Picture::Picture(int width, int height, Rgb fill)
    : width_(std::max(0, width)), height_(std::max(0, height)),
      pixels_(static_cast<size_t>(width_) * static_cast<size_t>(height_), fill)
{
}

Picture Picture::copy(int x, int y, int w, int h) const
{
    const int x0 = std::clamp(x, 0, width_), y0 = std::clamp(y, 0, height_);
    const int x1 = std::clamp(x + w, x0, width_), y1 = std::clamp(y + h, y0, height_);
    Picture out(x1 - x0, y1 - y0);
    for (int yy = y0; yy < y1; ++yy)
        std::copy(line(yy) + x0, line(yy) + x1, out.line(yy - y0));
    return out;
}

Paint linearGradient(PointF from, PointF to, Rgb at0, Rgb at1)
{
    const double dx = to.x - from.x, dy = to.y - from.y, len2 = dx * dx + dy * dy;
    return Paint([=](double x, double y) {
        const double t = len2 > 0 ? std::clamp(((x - from.x) * dx + (y - from.y) * dy) / len2, 0.0, 1.0) : 0.0;
        return mixColours(at0, at1, t);
    });
}

Paint radialGradient(PointF centre, double radius, Rgb at0, Rgb at1)
{
    return Paint([=](double x, double y) {
        const double d = std::hypot(x - centre.x, y - centre.y);
        return mixColours(at0, at1, radius > 0 ? std::min(1.0, d / radius) : 1.0);
    });
}

void fillRect(Picture &img, int x, int y, int w, int h, Rgb colour)
{
    const int x0 = std::max(0, x), y0 = std::max(0, y);
    const int x1 = std::min(img.width(), x + w), y1 = std::min(img.height(), y + h);
    for (int yy = y0; yy < y1; ++yy)
        std::fill(img.line(yy) + x0, img.line(yy) + std::max(x0, x1), colour);
}

void fillPolygon(Picture &img, const std::vector<PointF> &pts, const Paint &paint)
{
    if (pts.size() < 3 || img.isNull())
        return;
    double minX = pts[0].x, maxX = pts[0].x, minY = pts[0].y, maxY = pts[0].y;
    for (const PointF &p : pts) {
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    const int x0 = std::max(0, static_cast<int>(std::floor(minX)));
    const int x1 = std::min(img.width() - 1, static_cast<int>(std::ceil(maxX)));
    const int y0 = std::max(0, static_cast<int>(std::floor(minY)));
    const int y1 = std::min(img.height() - 1, static_cast<int>(std::ceil(maxY)));
    if (x0 > x1 || y0 > y1)
        return;
    std::vector<double> cover(static_cast<size_t>(x1 - x0 + 2));
    std::vector<double> xs;
    for (int y = y0; y <= y1; ++y) {
        std::fill(cover.begin(), cover.end(), 0.0);
        bool any = false;
        for (int s = 0; s < kSubRows; ++s) {
            const double sy = y + (s + 0.5) / kSubRows;
            xs.clear();
            for (size_t i = 0; i < pts.size(); ++i) {
                const PointF &a = pts[i], &b = pts[(i + 1) % pts.size()];
                if ((a.y <= sy) != (b.y <= sy))
                    xs.push_back(a.x + (sy - a.y) * (b.x - a.x) / (b.y - a.y));
            }
            std::sort(xs.begin(), xs.end());
            // Even-odd rule; each span adds its exact horizontal coverage.
            for (size_t i = 0; i + 1 < xs.size(); i += 2) {
                const double xa = std::clamp(xs[i], static_cast<double>(x0), x1 + 1.0);
                const double xb = std::clamp(xs[i + 1], static_cast<double>(x0), x1 + 1.0);
                if (xb <= xa)
                    continue;
                any = true;
                const int ia = static_cast<int>(xa), ib = static_cast<int>(xb);
                if (ia == ib) {
                    cover[static_cast<size_t>(ia - x0)] += xb - xa;
                    continue;
                }
                cover[static_cast<size_t>(ia - x0)] += ia + 1 - xa;
                for (int k = ia + 1; k < ib; ++k)
                    cover[static_cast<size_t>(k - x0)] += 1;
                cover[static_cast<size_t>(ib - x0)] += xb - ib;
            }
        }
        if (!any)
            continue;
        Rgb *line = img.line(y);
        for (int x = x0; x <= x1; ++x) {
            const double c = cover[static_cast<size_t>(x - x0)] / kSubRows;
            if (c > 0.002)
                blend(line[x], paint.at(x + 0.5, y + 0.5), std::min(1.0, c));
        }
    }
}

void fillRectF(Picture &img, double x, double y, double w, double h, const Paint &paint)
{
    fillPolygon(img, {{x, y}, {x + w, y}, {x + w, y + h}, {x, y + h}}, paint);
}

void fillEllipse(Picture &img, PointF c, double rx, double ry, const Paint &paint)
{
    if (rx <= 0 || ry <= 0)
        return;
    std::vector<PointF> pts = ellipsePoints(c, rx, ry, 0, 2 * kPi, arcSteps(std::max(rx, ry), 2 * kPi));
    pts.pop_back();
    fillPolygon(img, pts, paint);
}

void fillRoundedRect(Picture &img, double x, double y, double w, double h, double radius, const Paint &paint)
{
    const double r = std::clamp(radius, 0.0, std::min(w, h) / 2);
    const int steps = arcSteps(r, kPi / 2);
    std::vector<PointF> pts;
    const PointF corners[4] = {{x + w - r, y + r}, {x + w - r, y + h - r}, {x + r, y + h - r}, {x + r, y + r}};
    for (int k = 0; k < 4; ++k) {
        const double from = -kPi / 2 + k * kPi / 2;
        const std::vector<PointF> arc = ellipsePoints(corners[k], r, r, from, from + kPi / 2, steps);
        pts.insert(pts.end(), arc.begin(), arc.end());
    }
    fillPolygon(img, pts, paint);
}

void drawLine(Picture &img, PointF a, PointF b, double width, Rgb colour)
{
    const double dx = b.x - a.x, dy = b.y - a.y, len = std::hypot(dx, dy);
    if (len <= 0)
        return;
    // Square caps: the line extends half its width past both ends.
    const double ux = dx / len * width / 2, uy = dy / len * width / 2;
    fillPolygon(img,
                {{a.x - ux - uy, a.y - uy + ux}, {b.x + ux - uy, b.y + uy + ux}, {b.x + ux + uy, b.y + uy - ux},
                 {a.x - ux + uy, a.y - uy - ux}},
                colour);
}

Bytes encodeJpeg(const Picture &picture, int quality)
{
    if (picture.isNull())
        return {};
    tjhandle tj = tjInitCompress();
    if (!tj)
        return {};
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    // 0xAARRGGBB words are B, G, R, A in memory on the little-endian targets this runs on.
    const int rc = tjCompress2(tj, reinterpret_cast<const unsigned char *>(picture.line(0)), picture.width(),
                               picture.width() * 4, picture.height(), TJPF_BGRX, &buffer, &size, TJSAMP_420,
                               std::clamp(quality, 1, 100), 0);
    Bytes out;
    if (rc == 0)
        out.assign(buffer, buffer + size);
    tjFree(buffer);
    tjDestroy(tj);
    return out;
}

std::optional<Picture> decodeJpeg(const uint8_t *jpeg, size_t length)
{
    if (!jpeg || length < 4 || length > 0x7FFFFFFFu)
        return std::nullopt;
    tjhandle tj = tjInitDecompress();
    if (!tj)
        return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    std::optional<Picture> out;
    auto *src = const_cast<unsigned char *>(jpeg);  // turbojpeg 2.x takes a non-const pointer
    if (tjDecompressHeader3(tj, src, static_cast<unsigned long>(length), &width, &height, &subsampling,
                            &colourspace) == 0 &&
        width > 0 && height > 0 && width <= 16384 && height <= 16384) {
        Picture p(width, height);
        const int rc = tjDecompress2(tj, src, static_cast<unsigned long>(length),
                                     reinterpret_cast<unsigned char *>(p.line(0)), width, width * 4, height,
                                     TJPF_BGRX, 0);
        // A warning (a cut-short file, say) still leaves a picture, as image readers show one.
        if (rc == 0 || tjGetErrorCode(tj) == TJERR_WARNING) {
            for (int y = 0; y < height; ++y)
                for (Rgb *px = p.line(y), *end = px + width; px != end; ++px)
                    *px |= 0xFF000000u;
            out = std::move(p);
        }
    }
    tjDestroy(tj);
    return out;
}

}  // namespace vcam
