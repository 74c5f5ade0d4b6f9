// The shell "open" request behind the thumbnail click, without Qt. Only refusals are checked here: an
// existing folder would start a file browser.
#include "shell_open.h"

#include <gtest/gtest.h>

namespace {

TEST(ShellOpenTest, MissingTargetsAreRefusedWithTheShellsError)
{
    const char *missing[] = {"", "C:\\no-such-folder-viscana\\", "C:\\no-such-folder-viscana\\photo.jpg"};
    for (const char *path : missing) {
        const long long result = shellOpenAnsi(path);
        EXPECT_LE(result, 32) << path;
        EXPECT_GE(result, 0) << path;
    }
    EXPECT_LE(shellOpenAnsi(nullptr), 32);
}

}  // namespace
