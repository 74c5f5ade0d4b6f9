// The stand-in libusb under Wine, reached the way the viewer reaches the real one: this program links the
// real libusb import library and loads the stand-in DLL that sits beside it. CTest sets VCAM_SIZE,
// VCAM_FPS and VCAM_PHOTO_FRAMES.
#include "standin_control.h"
#include "stream_generator.h"
#include "usb_scan.h"

#include <libusb-1.0/libusb.h>

#include <dbt.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint16_t kVid = 0x2CE3, kPid = 0x3301;

struct Frame {
    std::vector<uint8_t> jpeg;
    bool photo = false;
    uint32_t value = 0;
};

// Cuts bulk reads into the camera's packets and joins the image chunks of each frame.
class StreamReader {
public:
    void feed(const uint8_t *data, int n)
    {
        buffer_.insert(buffer_.end(), data, data + n);
        size_t pos = 0;
        while (buffer_.size() - pos >= 5) {
            const uint8_t *p = buffer_.data() + pos;
            ASSERT_EQ(p[0], 0xAA) << "packet start";
            const int cid = p[2], len = p[3] | p[4] << 8;
            const bool chunk = cid == 0x07 || cid == 0x0A;
            const size_t size = static_cast<size_t>(len) + (chunk ? 5 : 6);
            if (buffer_.size() - pos < size)
                break;
            if (!chunk) {
                replies.push_back(cid);
            } else {
                if (current_.jpeg.empty()) {
                    current_.photo = (p[7] & 0x02) != 0;
                    current_.value = static_cast<uint32_t>(p[8] | p[9] << 8 | p[10] << 16 | p[11] << 24);
                }
                current_.jpeg.insert(current_.jpeg.end(), p + 12, p + size);
                const size_t j = current_.jpeg.size();
                if (j >= 2 && current_.jpeg[j - 2] == 0xFF && current_.jpeg[j - 1] == 0xD9) {
                    frames.push_back(std::move(current_));
                    current_ = Frame{};
                }
            }
            pos += size;
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(pos));
    }

    std::vector<int> replies;
    std::vector<Frame> frames;

private:
    std::vector<uint8_t> buffer_;
    Frame current_;
};

// The viewer's open sequence, then the handshake and the two commands.
libusb_device_handle *openAndStart(StreamReader &reader)
{
    libusb_device_handle *h = libusb_open_device_with_vid_pid(nullptr, kVid, kPid);
    if (!h)
        return nullptr;
    EXPECT_EQ(libusb_claim_interface(h, 1), 0);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 1, 0), 0);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 0, 0), 0);
    EXPECT_EQ(libusb_clear_halt(h, 0x01), 0);
    EXPECT_EQ(libusb_clear_halt(h, 0x81), 0);
    EXPECT_EQ(libusb_reset_device(h), 0);

    uint8_t hello[6] = {0xFF, 0x55, 0xFF, 0x55, 0xEE, 0x10};
    uint8_t reply[64] = {};
    int n = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, hello, 6, &n, 1000), 0);
    EXPECT_EQ(n, 6);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, reply, sizeof reply, &n, 1000), 0);
    EXPECT_EQ(std::vector<uint8_t>(reply, reply + n), (std::vector<uint8_t>{0xFF, 0x55, 0x02, 0x00, 0xEE, 0x10}));

    EXPECT_EQ(libusb_set_interface_alt_setting(h, 1, 1), 0);
    for (uint8_t cid : {0x05, 0x06}) {
        uint8_t cmd[5] = {0xBB, 0xAA, cid, 0, 0};
        EXPECT_EQ(libusb_bulk_transfer(h, 0x02, cmd, 5, &n, 1000), 0);
    }
    (void)reader;
    return h;
}

// Reads 0x82 until `count` frames are complete; returns the first failing libusb result, else 0.
int readFrames(libusb_device_handle *h, StreamReader &reader, size_t count)
{
    std::vector<uint8_t> buf(16384);
    while (reader.frames.size() < count) {
        int n = 0;
        const int r = libusb_bulk_transfer(h, 0x82, buf.data(), static_cast<int>(buf.size()), &n, 2000);
        if (r != 0)
            return r;
        reader.feed(buf.data(), n);
    }
    return 0;
}

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(libusb_init(nullptr), 0); }
    void TearDown() override { libusb_exit(nullptr); }
};

TEST_F(StandinTest, ListsOneCameraWithItsDescriptors)
{
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_device *dev = list[0];
    ASSERT_EQ(list[1], nullptr);
    libusb_device_descriptor desc{};
    ASSERT_EQ(libusb_get_device_descriptor(dev, &desc), 0);
    EXPECT_EQ(desc.idVendor, kVid);
    EXPECT_EQ(desc.idProduct, kPid);
    EXPECT_EQ(libusb_get_bus_number(dev), 1);
    uint8_t path[8] = {};
    EXPECT_EQ(libusb_get_port_numbers(dev, path, sizeof path), 1);
    EXPECT_EQ(path[0], 1);

    libusb_config_descriptor *cfg = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &cfg), 0);
    ASSERT_EQ(cfg->bNumInterfaces, 2);
    // (interface, alternate setting) -> endpoints, read through libusb's structures.
    std::vector<std::vector<int>> settings;
    for (int i = 0; i < cfg->bNumInterfaces; ++i)
        for (int a = 0; a < cfg->interface[i].num_altsetting; ++a) {
            const libusb_interface_descriptor &s = cfg->interface[i].altsetting[a];
            EXPECT_EQ(s.bInterfaceClass, 0xFF);
            std::vector<int> row = {s.bInterfaceNumber, s.bAlternateSetting};
            for (int e = 0; e < s.bNumEndpoints; ++e) {
                row.push_back(s.endpoint[e].bEndpointAddress);
                EXPECT_EQ(s.endpoint[e].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
            }
            settings.push_back(row);
        }
    EXPECT_EQ(settings, (std::vector<std::vector<int>>{{0, 0, 0x81, 0x01}, {1, 0}, {1, 1, 0x82, 0x02}}));
    libusb_free_config_descriptor(cfg);

    libusb_device_handle *h = nullptr;
    ASSERT_EQ(libusb_open(dev, &h), 0);
    EXPECT_EQ(libusb_get_device(h), dev);
    unsigned char text[64];
    EXPECT_GT(libusb_get_string_descriptor_ascii(h, desc.iProduct, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "Virtual Camera");
    libusb_close(h);
    libusb_free_device_list(list, 1);

    EXPECT_EQ(libusb_open_device_with_vid_pid(nullptr, kVid, 0x0001), nullptr);
    EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_NO_DEVICE), "LIBUSB_ERROR_NO_DEVICE");
}

TEST_F(StandinTest, StreamsJpegFramesAtTheConfiguredSizeWithThePhotoFlag)
{
    StreamReader reader;
    libusb_device_handle *h = openAndStart(reader);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(readFrames(h, reader, 3), 0);
    EXPECT_EQ(reader.replies, (std::vector<int>{0x05, 0x06}));
    for (uint32_t i = 0; i < 3; ++i) {
        const Frame &f = reader.frames[i];
        EXPECT_EQ(f.value, i);
        EXPECT_EQ(f.photo, i == 1) << "VCAM_PHOTO_FRAMES=1";
        const std::optional<vcam::Picture> picture = vcam::decodeJpeg(f.jpeg.data(), f.jpeg.size());
        ASSERT_TRUE(picture.has_value());
        EXPECT_EQ(picture->width(), 640);
        EXPECT_EQ(picture->height(), 480);
        EXPECT_EQ(vcam::StreamGenerator::decodeFrameNumber(*picture), std::optional<uint32_t>(i));
    }
    libusb_close(h);
}

TEST_F(StandinTest, RefusesWhatTheRealLibraryRefuses)
{
    libusb_device_handle *h = libusb_open_device_with_vid_pid(nullptr, kVid, kPid);
    ASSERT_NE(h, nullptr);
    uint8_t buf[512];
    int n = -1;
    struct Case {
        const char *what;
        int result;
        int expected;
    };
    const Case before[] = {
        {"transfer on an unclaimed interface", libusb_bulk_transfer(h, 0x81, buf, 512, &n, 100), LIBUSB_ERROR_NOT_FOUND},
        {"setting of an unclaimed interface", libusb_set_interface_alt_setting(h, 1, 1), LIBUSB_ERROR_NOT_FOUND},
        {"claim of a missing interface", libusb_claim_interface(h, 2), LIBUSB_ERROR_NOT_FOUND},
    };
    for (const Case &c : before)
        EXPECT_EQ(c.result, c.expected) << c.what;
    ASSERT_EQ(libusb_claim_interface(h, 1), 0);
    ASSERT_EQ(libusb_set_interface_alt_setting(h, 1, 1), 0);
    // Streaming endpoints without a command: nothing comes, and the read ends at its time-out.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_bulk_transfer(h, 0x82, buf, 512, &n, 200), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(n, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 1, 2), LIBUSB_ERROR_NOT_FOUND);
    libusb_close(h);
}

// A hidden top-level window that counts WM_DEVICECHANGE broadcasts, as the viewer's window gets them.
std::atomic<int> g_devnodeChanges{0};

LRESULT CALLBACK recordDeviceChange(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_DEVICECHANGE && wParam == DBT_DEVNODES_CHANGED)
        ++g_devnodeChanges;
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

bool pumpUntil(int changes)
{
    for (int i = 0; i < 500 && g_devnodeChanges < changes; ++i) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        Sleep(10);
    }
    return g_devnodeChanges >= changes;
}

// Runs vcam-control.exe from beside this program; returns its exit status.
int control(const char *command)
{
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring dir(exe);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    std::wstring line = L"\"" + dir + L"vcam-control.exe\" " + std::wstring(command, command + std::strlen(command));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    WaitForSingleObject(pi.hProcess, 20000);
    DWORD status = 99;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return static_cast<int>(status);
}

// What the viewer's own Setup API scan and driver check find: the camera while it is plugged in.
struct ScanView {
    std::vector<std::wstring> cameras;  // device interface paths naming the camera's ids
    bool driver0 = false, driver1 = false;
};

ScanView scan()
{
    ScanView view;
    std::vector<std::wstring> paths;
    std::wstring error;
    EXPECT_TRUE(viscana::platform::usbDevicePaths(paths, error));
    for (const std::wstring &p : paths)
        if (p.find(L"vid_2ce3&pid_3301") != std::wstring::npos)
            view.cameras.push_back(p);
    const auto quiet = [](const std::wstring &) {};
    view.driver0 = viscana::platform::deviceDriverInstalled(L"VID_2ce3", L"0000", quiet);
    view.driver1 = viscana::platform::deviceDriverInstalled(L"VID_2ce3", L"0001", quiet);
    return view;
}

TEST_F(StandinTest, UnplugAndReplugEndTransfersAndTellTheWindows)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = recordDeviceChange;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"StandinTestWindow";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                                  wc.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    g_devnodeChanges = 0;

    const ScanView plugged = scan();
    ASSERT_EQ(plugged.cameras.size(), 1u);
    EXPECT_EQ(plugged.cameras[0], L"\\\\?\\usb#vid_2ce3&pid_3301#vcam1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    EXPECT_TRUE(plugged.driver0);
    EXPECT_TRUE(plugged.driver1);

    StreamReader reader;
    libusb_device_handle *h = openAndStart(reader);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(readFrames(h, reader, 1), 0);
    const uint8_t firstAddress = libusb_get_device_address(libusb_get_device(h));

    // A read blocked with no time-out ends when the camera goes.
    std::atomic<int> blocked{1};
    std::thread reader2([&] {
        uint8_t buf[64];
        int n = 0;
        libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 0);  // answered at once: the handshake
        int r = 0;
        do
            r = libusb_bulk_transfer(h, 0x82, buf, sizeof buf, &n, 0);
        while (r == 0);
        blocked = r;
    });
    ASSERT_EQ(control("unplug"), 0);
    reader2.join();
    EXPECT_EQ(blocked, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(pumpUntil(1)) << "WM_DEVICECHANGE after unplug";
    libusb_device **list = nullptr;
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), 0);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(libusb_open_device_with_vid_pid(nullptr, kVid, kPid), nullptr);
    const ScanView unplugged = scan();
    EXPECT_TRUE(unplugged.cameras.empty()) << "the Setup API no longer lists it";
    EXPECT_FALSE(unplugged.driver0);

    ASSERT_EQ(control("plug"), 0);
    EXPECT_EQ(scan().cameras.size(), 1u);
    EXPECT_TRUE(pumpUntil(2)) << "WM_DEVICECHANGE after plug";
    uint8_t buf[16];
    int n = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 100), LIBUSB_ERROR_NO_DEVICE)
        << "a handle of the unplugged device stays dead";
    libusb_close(h);

    StreamReader again;
    libusb_device_handle *h2 = openAndStart(again);
    ASSERT_NE(h2, nullptr);
    EXPECT_NE(libusb_get_device_address(libusb_get_device(h2)), firstAddress);
    EXPECT_EQ(readFrames(h2, again, 1), 0);
    libusb_close(h2);
    DestroyWindow(window);

    EXPECT_EQ(control("dance"), 2);
}

}  // namespace
