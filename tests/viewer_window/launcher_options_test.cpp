// The command line of viscana-virtual: its own options are taken out and checked, the rest goes to the
// viewer unchanged; a bad value is refused with a reason.
#include "launcher_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

LauncherOptions parse(std::vector<const char *> args)
{
    args.insert(args.begin(), "viscana-virtual");
    return parseLauncherOptions(static_cast<int>(args.size()), args.data());
}

TEST(LauncherOptionsTest, OwnOptionsAreTakenTheRestGoesToTheViewer)
{
    const LauncherOptions d = parse({});
    EXPECT_EQ(d.width, 1280);
    EXPECT_EQ(d.height, 720);
    EXPECT_EQ(d.fps, 25);
    EXPECT_EQ(d.scene, "camera");
    EXPECT_EQ(d.recordAfter, -1);
    EXPECT_TRUE(d.error.empty());

    const LauncherOptions o =
        parse({"-platform", "offscreen", "--size", "640x480", "--fps", "30", "--scene", "noise", "--quality", "60",
               "--record-after", "3", "x"});
    EXPECT_TRUE(o.error.empty()) << o.error;
    EXPECT_EQ(o.width, 640);
    EXPECT_EQ(o.height, 480);
    EXPECT_EQ(o.fps, 30);
    EXPECT_EQ(o.quality, 60);
    EXPECT_EQ(o.scene, "noise");
    EXPECT_EQ(o.recordAfter, 3);
    EXPECT_EQ(o.viewerArgs, (std::vector<std::string>{"viscana-virtual", "-platform", "offscreen", "x"}));
}

TEST(LauncherOptionsTest, BadValuesAreRefused)
{
    const std::vector<std::vector<const char *>> bad = {
        {"--size"},           {"--size", "1280"},   {"--size", "79x100"}, {"--size", "100x5000"},
        {"--size", "12ax7"},  {"--fps", "0"},       {"--fps", "121"},     {"--fps", "2.5"},
        {"--quality", "101"}, {"--scene", "beach"}, {"--scene"},        {"--record-after", "-1"},
        {"--record-after"},
    };
    for (const auto &args : bad) {
        const LauncherOptions o = parse(args);
        EXPECT_FALSE(o.error.empty()) << args.front() << " " << (args.size() > 1 ? args[1] : "");
    }
}

}  // namespace
