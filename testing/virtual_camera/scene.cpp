#include "scene.h"

#include "stream_generator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace vcam {

namespace {

constexpr double kPi = 3.14159265358979323846;
// The top-left square that holds the small block grid of the frame number, with its margin.
constexpr int kNumberArea = 88;

uint32_t mix(uint32_t a, uint32_t b)
{
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

// Smooth noise in [0, 1): values on a lattice of `cell` pixels, blended with a smooth step.
double valueNoise(double x, double y, int cell, uint32_t seed)
{
    const double fx = x / cell, fy = y / cell;
    const int ix = static_cast<int>(std::floor(fx)), iy = static_cast<int>(std::floor(fy));
    const double tx = fx - ix, ty = fy - iy;
    auto at = [&](int i, int j) {
        return (mix(mix(static_cast<uint32_t>(i), static_cast<uint32_t>(j)), seed) & 0xFFFF) / 65536.0;
    };
    const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
    const double a = at(ix, iy) + (at(ix + 1, iy) - at(ix, iy)) * sx;
    const double b = at(ix, iy + 1) + (at(ix + 1, iy + 1) - at(ix, iy + 1)) * sx;
    return a + (b - a) * sy;
}

double fractalNoise(double x, double y, int cell, uint32_t seed)
{
    double sum = 0, weight = 0, w = 1;
    for (int octave = 0; octave < 4 && cell >= 2; ++octave, cell /= 2, w *= 0.5) {
        sum += w * valueNoise(x, y, cell, seed + static_cast<uint32_t>(octave));
        weight += w;
    }
    return sum / weight;
}

int clampByte(double v)
{
    return std::clamp(static_cast<int>(v), 0, 255);
}

// The landscape the camera pans across: twice as wide as the picture, drawn once per picture size.
Picture makePanorama(int width, int height)
{
    const int W = 2 * width, H = height;
    Picture img(W, H);
    const int horizon = static_cast<int>(H * 0.45);
    const int cloudCell = std::max(8, H / 6), grassCell = std::max(4, H / 90);

    for (int y = 0; y < H; ++y) {
        Rgb *line = img.line(y);
        for (int x = 0; x < W; ++x) {
            if (y < horizon) {
                // Sky: deep blue above, pale at the horizon, with soft clouds.
                const double t = static_cast<double>(y) / horizon;
                double r = 70 + 120 * t, g = 120 + 90 * t, b = 200 + 40 * t;
                const double c = fractalNoise(x, y * 2.0, cloudCell, 11);
                const double cloud = std::clamp((c - 0.55) * 4.0, 0.0, 1.0);
                r += (245 - r) * cloud;
                g += (245 - g) * cloud;
                b += (250 - b) * cloud;
                line[x] = rgb(clampByte(r), clampByte(g), clampByte(b));
            } else {
                // Meadow: grass texture, darker towards the viewer.
                const double t = static_cast<double>(y - horizon) / (H - horizon);
                const double n = fractalNoise(x, y * 1.5, grassCell * 4, 23) - 0.5;
                const double fine = (mix(static_cast<uint32_t>(x), static_cast<uint32_t>(y)) & 15) - 7.5;
                line[x] = rgb(clampByte(90 - 30 * t + 60 * n + fine), clampByte(140 - 40 * t + 70 * n + fine),
                              clampByte(60 - 20 * t + 30 * n + fine / 2));
            }
        }
    }

    // Distant hills on the horizon.
    std::vector<PointF> hills = {{0, static_cast<double>(horizon)}};
    for (int x = 0; x <= W; x += 8)
        hills.push_back({static_cast<double>(x), horizon - H * 0.12 * fractalNoise(x, 0, std::max(16, W / 8), 31)});
    hills.push_back({static_cast<double>(W), horizon + 2.0});
    hills.push_back({0, horizon + 2.0});
    fillPolygon(img, hills,
                linearGradient({0, horizon - H * 0.12}, {0, static_cast<double>(horizon)}, rgb(100, 130, 150),
                               rgb(80, 115, 100)));

    // The road, with its dashed centre line.
    const double roadTop = H * 0.74, roadBottom = H * 0.86;
    fillRectF(img, 0, roadTop, W, roadBottom - roadTop, rgb(78, 78, 84));
    fillRectF(img, 0, roadTop, W, H * 0.006, rgb(200, 200, 190));
    for (int x = 0; x < W; x += width / 8)
        fillRectF(img, x, (roadTop + roadBottom) / 2 - H * 0.004, width / 16.0, H * 0.008, rgb(235, 235, 220));

    // Houses and trees along the road.
    const double base = roadTop - H * 0.01;
    const int step = std::max(60, width / 5);
    for (int i = 0, x = step / 3; x < W - step / 2; ++i, x += step) {
        const uint32_t h = mix(static_cast<uint32_t>(i), 77);
        if (h % 3 != 0) {
            const double hw = step * (0.45 + (h & 7) / 40.0), hh = H * (0.12 + ((h >> 3) & 7) / 100.0);
            const double left = x, top = base - hh, right = x + hw, centre = x + hw / 2;
            fillRectF(img, left, top, hw, hh,
                      fromHsv(static_cast<int>((h >> 6) % 60), 60 + static_cast<int>((h >> 12) % 80), 200));
            fillPolygon(img, {{left - hw * 0.08, top}, {centre, top - hh * 0.5}, {right + hw * 0.08, top}},
                        rgb(150, 50 + static_cast<int>((h >> 9) % 40), 40));
            const double win = hw / 7;
            for (int row = 0; row < 2; ++row)
                for (int col = 0; col < 3; ++col)
                    fillRectF(img, left + win * (1 + 2 * col), top + hh * (0.15 + 0.42 * row), win, hh * 0.25,
                              ((h >> (col + 3 * row)) & 1) ? rgb(250, 230, 150) : rgb(60, 80, 110));
            fillRectF(img, centre - win / 2, base - hh * 0.4, win, hh * 0.4, rgb(90, 60, 40));
        } else {
            const double r = step * 0.22;
            fillRectF(img, x + r - r * 0.12, base - r * 1.2, r * 0.24, r * 1.2, rgb(90, 65, 40));
            fillEllipse(img, {x + r, base - r * 1.9}, r, r * 1.1,
                        radialGradient({x + r * 0.8, base - r * 2.0}, r * 1.3, rgb(70, 150, 60), rgb(30, 80, 30)));
        }
    }
    return img;
}

std::shared_ptr<const Picture> panorama(int width, int height)
{
    static std::mutex mutex;
    static std::map<std::pair<int, int>, std::shared_ptr<const Picture>> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto &slot = cache[{width, height}];
    if (!slot)
        slot = std::make_shared<const Picture>(makePanorama(width, height));
    return slot;
}

// A small table of light sensor noise, added with a different offset in every frame.
const int8_t *sensorNoise()
{
    static const auto table = [] {
        static int8_t t[65536];
        for (uint32_t i = 0; i < 65536; ++i)
            t[i] = static_cast<int8_t>(static_cast<int>(mix(i, 5) % 7) - 3);
        return t;
    }();
    return table;
}

void drawTraffic(Picture &img, uint32_t number, int width, int height)
{
    const double roadBottom = height * 0.86;
    // A car driving left along the near lane, its wheels turning.
    const double carW = width * 0.16, carH = height * 0.07;
    const double span = width + carW * 2;
    const double cx = width + carW - std::fmod(number * width / 90.0, span);
    const double cy = roadBottom - carH * 0.9;
    const Rgb body = rgb(200, 30, 30), glass = rgb(170, 210, 240);
    fillRoundedRect(img, cx, cy, carW, carH * 0.6, carH * 0.15, body);
    fillRoundedRect(img, cx + carW * 0.2, cy - carH * 0.35, carW * 0.55, carH * 0.45, carH * 0.2, body);
    fillRectF(img, cx + carW * 0.26, cy - carH * 0.28, carW * 0.2, carH * 0.3, glass);
    fillRectF(img, cx + carW * 0.5, cy - carH * 0.28, carW * 0.2, carH * 0.3, glass);
    const double wr = carH * 0.25;
    for (double wx : {cx + carW * 0.22, cx + carW * 0.78}) {
        const PointF c{wx, cy + carH * 0.6};
        fillEllipse(img, c, wr, wr, rgb(25, 25, 25));
        const double a = -static_cast<double>(number) * 0.5;
        for (int k = 0; k < 3; ++k) {
            const double ang = a + k * kPi / 3;
            drawLine(img, {c.x - wr * 0.7 * std::cos(ang), c.y - wr * 0.7 * std::sin(ang)},
                     {c.x + wr * 0.7 * std::cos(ang), c.y + wr * 0.7 * std::sin(ang)}, std::max(1.0, wr / 5),
                     rgb(200, 200, 200));
        }
    }
}

void drawWindmill(Picture &img, uint32_t number, int width, int height)
{
    const PointF hub{width * 0.82, height * 0.30};
    const double len = height * 0.13;
    const Rgb white = rgb(235, 235, 235);
    fillPolygon(img,
                {{hub.x - len * 0.05, hub.y}, {hub.x + len * 0.05, hub.y}, {hub.x + len * 0.12, height * 0.47},
                 {hub.x - len * 0.12, height * 0.47}},
                white);
    const double a = number * 2 * kPi / 75;  // one turn in three seconds at 25 frames a second
    for (int k = 0; k < 3; ++k) {
        const double ang = a + k * 2 * kPi / 3;
        const PointF tip{hub.x + len * std::cos(ang), hub.y + len * std::sin(ang)};
        const PointF side{len * 0.08 * -std::sin(ang), len * 0.08 * std::cos(ang)};
        fillPolygon(img, {hub, {tip.x + side.x, tip.y + side.y}, {tip.x - side.x * 0.3, tip.y - side.y * 0.3}},
                    white);
    }
    fillEllipse(img, hub, len * 0.06, len * 0.06, rgb(120, 120, 120));
}

void drawBall(Picture &img, uint32_t number, int width, int height)
{
    const double r = height * 0.045;
    const double period = 2.0 * (width - 2 * r);
    double x = std::fmod(number * width / 60.0, period);
    if (x > period / 2)
        x = period - x;
    const double ground = height * 0.70;
    const double y = ground - r - std::fabs(std::sin(number * kPi / 20)) * height * 0.22;
    fillEllipse(img, {r + x, ground}, r, r * 0.25, rgb(0, 0, 0, 60));
    fillEllipse(img, {r + x, y}, r, r,
                radialGradient({r + x - r * 0.4, y - r * 0.4}, r * 1.4, rgb(255, 250, 200), rgb(230, 140, 0)));
}

void addSensorNoise(Picture &img, uint32_t number)
{
    const int8_t *noise = sensorNoise();
    uint32_t k = number * 7919u;
    for (int y = 0; y < img.height(); ++y) {
        Rgb *line = img.line(y);
        for (int x = 0; x < img.width(); ++x, ++k) {
            const int n = noise[k & 0xFFFF];
            const Rgb c = line[x];
            line[x] = rgb(std::clamp(redOf(c) + n, 0, 255), std::clamp(greenOf(c) + n, 0, 255),
                          std::clamp(blueOf(c) + n, 0, 255));
        }
    }
}

// The time of day at the bottom right, light figures on a dark box.
void drawTime(Picture &img, std::chrono::milliseconds time)
{
    const long long ms = ((time.count() % 86400000) + 86400000) % 86400000;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3600000),
                  static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
    const std::string text = buf;
    const int s = std::max(2, img.height() / 120);
    const int w = StreamGenerator::textWidth(text, s), h = 5 * s;
    // Only where it stays clear of the number's block grid at the top left.
    if (w + 8 * s > img.width() - kNumberArea)
        return;
    const int x = img.width() - w - 4 * s, y = img.height() - h - 4 * s;
    fillRectF(img, x - 2 * s, y - 2 * s, w + 3 * s, h + 4 * s, rgb(0, 0, 0, 150));
    StreamGenerator::drawText(img, text, x, y, s, 0xFFFFFFFFu);
}

Picture cameraScene(uint32_t number, int width, int height, std::chrono::milliseconds time)
{
    const std::shared_ptr<const Picture> world = panorama(width, height);
    Picture img(width, height);
    // The camera pans slowly to the right, round the landscape.
    const int W = world->width();
    const int offset = static_cast<int>((number * 2u) % static_cast<uint32_t>(W));
    const int first = std::min(width, W - offset);
    for (int y = 0; y < height; ++y) {
        const Rgb *src = world->line(y);
        Rgb *dst = img.line(y);
        std::copy(src + offset, src + offset + first, dst);
        std::copy(src, src + (width - first), dst + first);
    }
    drawWindmill(img, number, width, height);
    drawBall(img, number, width, height);
    drawTraffic(img, number, width, height);
    addSensorNoise(img, number);
    StreamGenerator::drawFrameNumber(img, number, std::max(2, height / 100), true);
    drawTime(img, time);
    return img;
}

Picture noiseScene(uint32_t number, int width, int height, std::chrono::milliseconds time)
{
    Picture img(width, height);
    uint32_t state = mix(number, 99) | 1u;
    for (int y = 0; y < height; ++y) {
        Rgb *line = img.line(y);
        for (int x = 0; x < width; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            line[x] = 0xFF000000u | (state & 0xFFFFFFu);
        }
    }
    // A calm margin round the number's block grid, so that the encoder's colour averaging does not
    // carry noise into the blocks.
    fillRect(img, 0, 0, kNumberArea, kNumberArea, rgb(128, 128, 128));
    StreamGenerator::drawFrameNumber(img, number, std::max(2, height / 100), true);
    drawTime(img, time);
    return img;
}

}  // namespace

Picture renderScene(Scene scene, uint32_t number, int width, int height, std::chrono::milliseconds time)
{
    width = std::max(width, 80);
    height = std::max(height, 80);
    switch (scene) {
    case Scene::Camera:
        return cameraScene(number, width, height, time);
    case Scene::Noise:
        return noiseScene(number, width, height, time);
    case Scene::Pattern:
        break;
    }
    return StreamGenerator::picture(number, width, height);
}

std::chrono::milliseconds localTimeOfDay()
{
    using namespace std::chrono;
    const system_clock::time_point now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm local{};
    {
        static std::mutex mutex;  // localtime shares one result buffer
        std::lock_guard<std::mutex> lock(mutex);
        if (const std::tm *tm = std::localtime(&t))
            local = *tm;
    }
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()) % 1000;
    return hours(local.tm_hour) + minutes(local.tm_min) + seconds(local.tm_sec) + ms;
}

}  // namespace vcam
