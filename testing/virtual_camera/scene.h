#pragma once
// Pictures that look like a camera's: a landscape the camera pans across, with traffic, a turning wheel,
// a bouncing ball, light sensor noise, the frame number and the time of day. And the worst case for a
// JPEG encoder: fresh noise in every pixel of every frame. Both carry the machine-readable frame number of
// StreamGenerator::picture, so decodeFrameNumber works on them too.

#include "picture.h"

#include <chrono>
#include <cstdint>

namespace vcam {

enum class Scene {
    Pattern,  // the test picture of StreamGenerator::picture (a gradient and the number)
    Camera,   // a moving landscape with detail, the frame number and the time
    Noise,    // random pixels, new in every frame
};

// `timeOfDay` (since midnight) is printed in the picture as hh:mm:ss.zzz; the rest depends on `number`
// only, so the same number and time always give the same picture.
Picture renderScene(Scene scene, uint32_t number, int width, int height, std::chrono::milliseconds timeOfDay);

// The local time of day now.
std::chrono::milliseconds localTimeOfDay();

}  // namespace vcam
