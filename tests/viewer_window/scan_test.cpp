// The camera scan: splitting device interface paths, the window's scan into its camera list, and the
// Linux device scan against virtual cameras (path form, identifiers, interface drivers).
#include "window_rig.h"

#include "usb_scan.h"
#include "usb_scan_linux.h"

#include <QComboBox>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace windowtest;

namespace {

class ScanTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        closeWindow(m_window);
        m_cameras.clear();
        setAdministrator(1);
    }

    vcam::VirtualCamera &plug(vcam::CameraConfig config)
    {
        m_cameras.push_back(std::make_unique<vcam::VirtualCamera>(bus(), std::move(config)));
        m_cameras.back()->plug();
        return *m_cameras.back();
    }

    std::unique_ptr<MainWindow> m_window;
    std::vector<std::unique_ptr<vcam::VirtualCamera>> m_cameras;
};

TEST(ParseDevicePathTest, SplitsWindowsFormPaths)
{
    const struct {
        const char *path, *vid, *pid, *instance;
    } cases[] = {
        {R"(\\?\USB#VID_2CE3&PID_3301#5&1&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed})", "VID_2CE3", "PID_3301",
         "5&1&0&2"},
        {R"(\\?\usb#vid_0329&pid_0001&mi_00#7&2a1b&0&0000#{GUID})", "vid_0329", "pid_0001", "7&2a1b&0&0000"},
        {R"(\\?\usb#vid_2ce3&pid_3301##{GUID})", "vid_2ce3", "pid_3301", ""},
        // Malformed paths leave the parts they lack empty.
        {R"(\\?\usb#vid_2ce3)", "vid_2ce3", "", ""},
        {"no separators at all", "", "", ""},
        {"", "", "", ""},
    };
    for (const auto &c : cases) {
        const CameraDeviceInfo info = MainWindow::ParseDevicePath(QString::fromUtf8(c.path));
        EXPECT_EQ(info.vid, QLatin1String(c.vid)) << c.path;
        EXPECT_EQ(info.pid, QLatin1String(c.pid)) << c.path;
        EXPECT_EQ(info.instance, QLatin1String(c.instance)) << c.path;
        EXPECT_EQ(info.path, QString::fromUtf8(c.path));
    }
}

// Every USB device becomes a path of the Windows form with its ids and serial number.
TEST_F(ScanTest, LinuxPathsHaveTheWindowsForm)
{
    plug(cameraConfig(0x2CE3, 0x3301, "SN#7 x"));
    plug(cameraConfig(0x1D6B, 0x0002, "HUB1"));
    std::vector<std::wstring> paths;
    std::wstring error;
    ASSERT_TRUE(viscana::platform::usbDevicePaths(paths, error));
    EXPECT_EQ(paths, (std::vector<std::wstring>{
                         LR"(\\?\usb#vid_2ce3&pid_3301#SN_7_x#{a5dcbf10-6530-11d2-901f-00c04fb951ed})",
                         LR"(\\?\usb#vid_1d6b&pid_0002#HUB1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})"}));
    const CameraDeviceInfo info = MainWindow::ParseDevicePath(QString::fromStdWString(paths.front()));
    EXPECT_EQ(info.vid, "vid_2ce3");
    EXPECT_EQ(info.pid, "pid_3301");
    EXPECT_EQ(info.instance, "SN_7_x");
}

// An interface has its driver when it exists and the device node can be opened; the key holds the
// vendor part only, in either letter case.
TEST_F(ScanTest, LinuxDriverStateOfEachInterface)
{
    plug(cameraConfig(0x2CE3, 0x3301, "TWO"));
    vcam::CameraConfig single = cameraConfig(0x3301, 0x5678, "ONE");
    single.layout = vcam::Layout::SingleVendorSetting;
    plug(single);

    const struct {
        const wchar_t *id, *suffix;
        bool installed;
        const wchar_t *line;  // a line the check logs
    } cases[] = {
        {L"VID_2CE3", L"0000", true, L"找到设备  所有匹配一致"},
        {L"vid_2ce3", L"0001", true, L"找到设备  所有匹配一致"},
        {L"VID_2CE3", L"0002", false, L"没有序号 表示路径不一致"},
        {L"VID_3301", L"0000", true, L"找到设备  所有匹配一致"},
        {L"VID_3301", L"0001", false, L"没有序号 表示路径不一致"},  // a camera with one vendor interface
        {L"VID_0329", L"0000", false, L"查找 ID:VID_0329"},
    };
    for (const auto &c : cases) {
        std::vector<std::wstring> lines;
        const bool installed = viscana::platform::deviceDriverInstalled(
            c.id, c.suffix, [&](const std::wstring &line) { lines.push_back(line); });
        EXPECT_EQ(installed, c.installed) << QString::fromWCharArray(c.id).toStdString() << " "
                                          << QString::fromWCharArray(c.suffix).toStdString();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), std::wstring(L"查找 ID:") + c.id);
        EXPECT_NE(std::find(lines.begin(), lines.end(), std::wstring(c.line)), lines.end())
            << QString::fromWCharArray(c.line).toStdString();
    }

    const viscana::platform::DeviceAccess access = viscana::platform::usbDeviceAccess({L"2CE3", L"0329"});
    EXPECT_EQ(access.present, 1);
    EXPECT_EQ(access.accessible, 1);  // the tests run as root
}

// The scan button lists each camera once under its upper-case path and skips other devices; two paths
// that differ only in letter case are one camera.
TEST_F(ScanTest, ScanButtonListsCamerasByUpperCasePath)
{
    setAdministrator(0);  // no stream thread: the scan alone
    m_window = openWindow();
    plug(cameraConfig(0x2CE3, 0x3301, "cam-a"));
    plug(cameraConfig(0x2CE3, 0x3301, "CAM-A"));
    plug(cameraConfig(0x1D6B, 0x0002, "HUB"));
    plug(cameraConfig(0x0329, 0x0001, "b"));

    testsupport::LogCapture log;
    ASSERT_TRUE(QMetaObject::invokeMethod(m_window.get(), "on_btnscan_clicked"));
    auto *combo = m_window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    ASSERT_NE(combo, nullptr);
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    EXPECT_EQ(items, (QStringList{R"(\\?\USB#VID_0329&PID_0001#B#{A5DCBF10-6530-11D2-901F-00C04FB951ED})",
                                  R"(\\?\USB#VID_2CE3&PID_3301#CAM-A#{A5DCBF10-6530-11D2-901F-00C04FB951ED})"}));
    EXPECT_EQ(log.count("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}: "), 2);  // each entry with its instance
}

}  // namespace
