// The Setup API scan on a system without the camera (Wine): the device list can be taken, every path
// it gives has the USB device interface form, and no camera interface has a driver.
#include "access.h"
#include "usb_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring lower(std::wstring s)
{
    for (wchar_t &c : s)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

TEST(WindowsScanTest, ListsUsbDeviceInterfacePaths)
{
    std::vector<std::wstring> paths{L"kept"};
    std::wstring error;
    ASSERT_TRUE(viscana::platform::usbDevicePaths(paths, error));
    EXPECT_TRUE(error.empty());
    ASSERT_GE(paths.size(), 1u);
    EXPECT_EQ(paths.front(), L"kept");  // appended to, not replaced
    for (size_t i = 1; i < paths.size(); ++i) {
        const std::wstring p = lower(paths[i]);
        EXPECT_EQ(p.rfind(L"\\\\?\\usb#", 0), 0u);
        EXPECT_NE(p.find(L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"), std::wstring::npos);
    }
}

TEST(WindowsScanTest, NoCameraInterfaceHasADriver)
{
    const struct {
        const wchar_t *id, *suffix;
    } cases[] = {
        {L"VID_2CE3", L"0000"}, {L"VID_2CE3", L"0001"}, {L"vid_0329", L"0000"}, {L"VID_3301", L"0001"},
        {L"", L""},  // an empty key matches every instance; the answer still comes from a driver key
    };
    for (const auto &c : cases) {
        std::vector<std::wstring> lines;
        const bool answer = viscana::platform::deviceDriverInstalled(
            c.id, c.suffix, [&](const std::wstring &line) { lines.push_back(line); });
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), std::wstring(L"查找 ID:") + c.id);
        if (*c.id) {
            EXPECT_FALSE(answer) << "no camera is present";
        }
    }
}

TEST(WindowsScanTest, ElevationAnswerIsZeroOrOne)
{
    const int answer = viscana::platform::isAdministrator({L"0329", L"2CE3", L"3301"});
    EXPECT_TRUE(answer == 0 || answer == 1) << answer;
}

}  // namespace
