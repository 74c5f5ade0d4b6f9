#pragma once
// One process for the window tests: the virtual USB bus (made before any libusb_init), the GUI
// application and the frame converter; the access test answers what the test sets.

#include "log_capture.h"
#include "mainwindow.h"
#include "virtual_camera.h"

#include <QLabel>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

namespace windowtest {

vcam::VirtualUsbBus &bus();

// What viscana::platform::isAdministrator answers in this program (1 unless a test sets 0).
void setAdministrator(int answer);

// A camera on the virtual bus, plugged, streaming the test pattern at 25 fps.
vcam::CameraConfig cameraConfig(uint16_t vid = 0x2CE3, uint16_t pid = 0x3301, const char *serial = "");

// A window built by the test; closeWindow ends its stream and lets the converter drain before the
// window goes.
std::unique_ptr<MainWindow> openWindow();
void closeWindow(std::unique_ptr<MainWindow> &window);

QLabel *liveView(MainWindow &window);
// The frame number carried by the picture the live view shows, if any.
std::optional<uint32_t> shownFrame(MainWindow &window);

// Whether `lines` holds lines containing each of `texts`, in this order (other lines may come between).
// Returns the first text not found in order, or an empty text.
QString missingInOrder(const QStringList &lines, const QStringList &texts);

}  // namespace windowtest
