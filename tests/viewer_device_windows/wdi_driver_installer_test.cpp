// The libwdi binding under Wine: against the stand-in library built beside this test, without the
// library, and against a library that lacks the entry points; and the device-change message test.
#include "device_events.h"
#include "wdi_driver_installer.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace viscana::platform;

namespace {

template <typename Fn>
Fn entry(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

struct StandIn {
    HMODULE module = LoadLibraryW(L"libwdi.dll");
    void reset(int list, int prepare, int install)
    {
        entry<void (*)(int, int, int)>(module, "standin_reset")(list, prepare, install);
    }
    void add(unsigned short vid, unsigned short pid)
    {
        entry<void (*)(unsigned short, unsigned short)>(module, "standin_add_device")(vid, pid);
    }
    std::string log() { return entry<const char *(*)()>(module, "standin_log")(); }
    int liveLists() { return entry<int (*)()>(module, "standin_live_lists")(); }
    ~StandIn() { FreeLibrary(module); }
};

}  // namespace

TEST(WdiDriverInstallerTest, DrivesTheLibraryThroughItsEntryPoints)
{
    StandIn standIn;
    ASSERT_NE(standIn.module, nullptr);
    standIn.reset(0, 0, 0);
    standIn.add(0x8087, 0x0A2B);
    standIn.add(0x2CE3, 0x3301);
    {
        WdiDriverInstaller installer;
        ASSERT_TRUE(installer.loaded()) << installer.loadError();
        std::vector<DriverDevice> devices;
        ASSERT_EQ(installer.createList(devices), kInstallOk);
        ASSERT_EQ(devices.size(), 2u);
        EXPECT_EQ(devices[0].vid, 0x8087);
        EXPECT_EQ(devices[1].vid, 0x2CE3);
        EXPECT_EQ(devices[1].pid, 0x3301);
        EXPECT_EQ(devices[1].description, "device 2CE3");
        installer.setLogLevel(kInstallLogLevelError);
        EXPECT_EQ(installer.prepareDriver(devices[1], "usb_driver", "libusb_device.inf"), kInstallOk);
        EXPECT_EQ(installer.installDriver(devices[1], "usb_driver", "libusb_device.inf"), kInstallOk);
        installer.destroyList();
        EXPECT_EQ(installer.errorText(-4), "stand-in error -4");
    }
    EXPECT_EQ(standIn.log(),
              "create_list all=0 hubs=0 trim=0\n"
              "log_level 3\n"
              "prepare 2CE3 usb_driver libusb_device.inf type=0 rest-zero=1\n"
              "install 2CE3 usb_driver libusb_device.inf options=null\n"
              "destroy_list\n");
    EXPECT_EQ(standIn.liveLists(), 0);
}

TEST(WdiDriverInstallerTest, ErrorsOfTheLibraryComeBackAsTheyAre)
{
    StandIn standIn;
    ASSERT_NE(standIn.module, nullptr);
    std::vector<DriverDevice> devices;

    standIn.reset(0, 0, 0);  // no device at all
    {
        WdiDriverInstaller installer;
        EXPECT_EQ(installer.createList(devices), kInstallErrorNoDevice);
        EXPECT_TRUE(devices.empty());
    }
    standIn.reset(-11, 0, 0);
    {
        WdiDriverInstaller installer;
        EXPECT_EQ(installer.createList(devices), -11);
    }
    standIn.reset(0, -17, -3);
    standIn.add(0x0329, 1);
    {
        WdiDriverInstaller installer;
        ASSERT_EQ(installer.createList(devices), kInstallOk);
        EXPECT_EQ(installer.prepareDriver(devices[0], "usb_driver", "libusb_device.inf"), -17);
        EXPECT_EQ(installer.installDriver(devices[0], "usb_driver", "libusb_device.inf"), -3);
        // The destructor gives the list back.
    }
    EXPECT_EQ(standIn.liveLists(), 0);
}

TEST(WdiDriverInstallerTest, MissingOrIncompleteLibraryIsAClearError)
{
    struct Case {
        const wchar_t *library;
        const char *reason;
    };
    for (const Case &c : {Case{L"no-such-libwdi.dll", "no-such-libwdi.dll could not be loaded (Windows error 126)"},
                          Case{L"kernel32.dll", "kernel32.dll lacks wdi_create_list, wdi_destroy_list"}}) {
        WdiDriverInstaller installer(c.library);
        EXPECT_FALSE(installer.loaded());
        EXPECT_NE(installer.loadError().find(c.reason), std::string::npos) << installer.loadError();
        std::vector<DriverDevice> devices;
        EXPECT_EQ(installer.createList(devices), kInstallErrorNotFound);
        DriverDevice device{0x2CE3, 0x3301, "", &devices};
        EXPECT_EQ(installer.prepareDriver(device, "usb_driver", "libusb_device.inf"), kInstallErrorNotFound);
        EXPECT_EQ(installer.installDriver(device, "usb_driver", "libusb_device.inf"), kInstallErrorNotFound);
        EXPECT_EQ(installer.errorText(kInstallErrorNotFound), installer.loadError());
        installer.setLogLevel(3);
        installer.destroyList();
    }
}

TEST(DeviceEventsWindowsTest, EveryDeviceChangeMessageCounts)
{
    MSG msg{};
    for (WPARAM kind : {WPARAM(0x8000), WPARAM(0x8004), WPARAM(0x0007), WPARAM(0)}) {
        msg.message = 537;
        msg.wParam = kind;
        EXPECT_TRUE(isDeviceChangeMessage(&msg)) << kind;
    }
    for (UINT other : {UINT(WM_PAINT), UINT(WM_CLOSE), UINT(536), UINT(538)}) {
        msg.message = other;
        EXPECT_FALSE(isDeviceChangeMessage(&msg)) << other;
    }
    EXPECT_FALSE(isDeviceChangeMessage(nullptr));
    DeviceEventSource source;
    EXPECT_EQ(source.descriptor(), -1);
    EXPECT_EQ(source.drain(), 0);
}
