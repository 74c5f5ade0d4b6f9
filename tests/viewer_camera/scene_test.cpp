// The virtual camera's scenes: each carries its frame number through JPEG at every size, the camera
// scene moves and shows the time, and the noise scene is the worst case for the encoder.
#include "test_support.h"

#include "scene.h"

using vcam::Picture;
using vcam::Scene;
using vcam::StreamGenerator;

namespace {

constexpr std::chrono::milliseconds kNoon{((12 * 60 + 34) * 60 + 56) * 1000 + 789};

int differingPixels(const Picture &a, const Picture &b)
{
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            n += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
    return n;
}

TEST(SceneTest, FrameNumberSurvivesJpegInEveryScene)
{
    const std::pair<int, int> sizes[] = {{80, 80}, {320, 240}, {1280, 720}, {1920, 1080}};
    for (Scene scene : {Scene::Camera, Scene::Noise, Scene::Pattern}) {
        for (auto [w, h] : sizes) {
            for (uint32_t n : {0u, 99u, 123456u}) {
                const Picture picture = vcam::renderScene(scene, n, w, h, kNoon);
                ASSERT_EQ(picture.width(), w);
                ASSERT_EQ(picture.height(), h);
                const vcam::Bytes jpeg = StreamGenerator::encodeJpeg(picture, 80);
                const auto got = StreamGenerator::decodeFrameNumber(jpeg.data(), static_cast<int>(jpeg.size()));
                ASSERT_TRUE(got.has_value()) << static_cast<int>(scene) << " " << w << "x" << h << " #" << n;
                EXPECT_EQ(*got, n);
            }
        }
    }
}

TEST(SceneTest, CameraSceneMovesAndShowsTheTime)
{
    const Picture a = vcam::renderScene(Scene::Camera, 10, 640, 360, kNoon);
    // The same number and time give the same picture.
    EXPECT_EQ(a, vcam::renderScene(Scene::Camera, 10, 640, 360, kNoon));
    // The next frame has moved: more than the sensor noise and the number changed.
    const Picture b = vcam::renderScene(Scene::Camera, 11, 640, 360, kNoon);
    EXPECT_GT(differingPixels(a, b), a.width() * a.height() / 4);
    // Another time changes only the clock in the bottom right corner.
    const Picture c = vcam::renderScene(Scene::Camera, 10, 640, 360, kNoon + std::chrono::hours(1));
    const int cx = a.width() / 2, cy = a.height() * 3 / 4, cw = a.width() / 2, ch = a.height() / 4;
    EXPECT_GT(differingPixels(a.copy(cx, cy, cw, ch), c.copy(cx, cy, cw, ch)), 0);
    EXPECT_EQ(a.copy(0, 0, a.width(), a.height() / 2), c.copy(0, 0, c.width(), c.height() / 2));
}

// Camera-like pictures compress like a camera's; noise does not compress at all.
TEST(SceneTest, NoiseIsTheHeavyCase)
{
    const vcam::Bytes camera = StreamGenerator::encodeJpeg(vcam::renderScene(Scene::Camera, 5, 1280, 720, kNoon), 80);
    const vcam::Bytes noise = StreamGenerator::encodeJpeg(vcam::renderScene(Scene::Noise, 5, 1280, 720, kNoon), 80);
    EXPECT_GT(camera.size(), 40u * 1024);  // detail, not a flat picture
    EXPECT_GT(noise.size(), 3 * camera.size());
}

// The generator builds its frames from the scene it is given.
TEST(SceneTest, StreamOptionsChooseTheScene)
{
    vcam::StreamOptions o;
    o.width = 320;
    o.height = 240;
    o.scene = Scene::Noise;
    const vcam::Frame noisy = StreamGenerator::buildFrame(o, 3, false, nullptr);
    o.scene = Scene::Pattern;
    const vcam::Frame plain = StreamGenerator::buildFrame(o, 3, false, nullptr);
    EXPECT_GT(noisy.jpeg.size(), 2 * plain.jpeg.size());
    EXPECT_EQ(StreamGenerator::decodeFrameNumber(noisy.jpeg.data(), static_cast<int>(noisy.jpeg.size())), 3u);
}

}  // namespace
