// The stand-in camera's settings from the environment: defaults, every variable, and clear refusals.
#include "standin_config.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

struct Case {
    std::map<std::string, std::string> env;
    const char *refusal;  // nullptr: accepted
};

bool read(const std::map<std::string, std::string> &env, standin::Settings &s, std::string &error)
{
    return standin::readSettings(
        [&](const char *name) {
            const auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        },
        s, error);
}

TEST(StandinConfig, DefaultsAreTheViewersCameraAt720pAnd25Fps)
{
    standin::Settings s;
    std::string error;
    ASSERT_TRUE(read({}, s, error));
    EXPECT_EQ(s.camera.stream.width, 1280);
    EXPECT_EQ(s.camera.stream.height, 720);
    EXPECT_EQ(s.camera.fps, 25);
    EXPECT_EQ(s.camera.vendorId, 0x2CE3);
    EXPECT_EQ(s.camera.productId, 0x3301);
    EXPECT_EQ(s.camera.stream.scene, vcam::Scene::Camera);
    EXPECT_TRUE(s.plugged);
    EXPECT_TRUE(s.driver);
    EXPECT_TRUE(s.photoFrames.empty());
}

TEST(StandinConfig, EveryVariableIsReadAndBadValuesAreRefusedByName)
{
    const Case cases[] = {
        {{{"VCAM_SIZE", "1920x1080"}, {"VCAM_FPS", "60"}, {"VCAM_VID", "0329"}, {"VCAM_PID", "ABCD"},
          {"VCAM_SCENE", "noise"}, {"VCAM_PHOTO_FRAMES", "0,7,12"}, {"VCAM_PLUGGED", "0"}, {"VCAM_DRIVER", "0"}},
         nullptr},
        {{{"VCAM_SIZE", "640x480"}}, nullptr},
        {{{"VCAM_SIZE", "320x240"}}, "VCAM_SIZE=320x240 is refused: expected WxH from 640x480 to 1920x1080"},
        {{{"VCAM_SIZE", "3840x2160"}}, "VCAM_SIZE=3840x2160"},
        {{{"VCAM_SIZE", "1280*720"}}, "VCAM_SIZE=1280*720"},
        {{{"VCAM_SIZE", "x720"}}, "VCAM_SIZE=x720"},
        {{{"VCAM_SIZE", "1280x720x3"}}, "VCAM_SIZE=1280x720x3"},
        {{{"VCAM_FPS", "0"}}, "VCAM_FPS=0 is refused: expected a whole number from 1 to 60"},
        {{{"VCAM_FPS", "25.5"}}, "VCAM_FPS=25.5"},
        {{{"VCAM_FPS", "-5"}}, "VCAM_FPS=-5"},
        {{{"VCAM_VID", "12345"}}, "VCAM_VID=12345 is refused: expected four hexadecimal digits"},
        {{{"VCAM_PID", "zz"}}, "VCAM_PID=zz"},
        {{{"VCAM_SCENE", "beach"}}, "VCAM_SCENE=beach"},
        {{{"VCAM_PHOTO_FRAMES", "3,,4"}}, "VCAM_PHOTO_FRAMES=3,,4"},
        {{{"VCAM_PHOTO_FRAMES", ""}}, "VCAM_PHOTO_FRAMES="},
        {{{"VCAM_PLUGGED", "yes"}}, "VCAM_PLUGGED=yes"},
        {{{"VCAM_DRIVER", "2"}}, "VCAM_DRIVER=2 is refused: expected 0 or 1"},
    };
    for (const Case &c : cases) {
        standin::Settings s;
        std::string error;
        const bool ok = read(c.env, s, error);
        if (!c.refusal) {
            EXPECT_TRUE(ok) << error;
            continue;
        }
        EXPECT_FALSE(ok) << c.refusal;
        EXPECT_EQ(error.rfind(c.refusal, 0), 0u) << error;
    }

    standin::Settings s;
    std::string error;
    ASSERT_TRUE(read(cases[0].env, s, error));
    EXPECT_EQ(s.camera.stream.width, 1920);
    EXPECT_EQ(s.camera.fps, 60);
    EXPECT_EQ(s.camera.vendorId, 0x0329);
    EXPECT_EQ(s.camera.productId, 0xABCD);
    EXPECT_EQ(s.camera.stream.scene, vcam::Scene::Noise);
    EXPECT_EQ(s.photoFrames, (std::vector<uint32_t>{0, 7, 12}));
    EXPECT_FALSE(s.plugged);
    EXPECT_FALSE(s.driver);
}

}  // namespace
