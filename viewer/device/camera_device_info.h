#pragma once

#include <QString>

// The parts of a USB device interface path such as \\?\USB#VID_2CE3&PID_3301#5&1&0&2#{GUID}.
struct CameraDeviceInfo {
    QString vid;       // VID_2CE3
    QString pid;       // PID_3301
    QString instance;  // 5&1&0&2
    QString path;      // the whole path
};
