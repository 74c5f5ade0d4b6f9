#pragma once
// The whole road of a frame in one process: the virtual camera behind the real libusb, a ThreadUSB and
// the process-wide ImageConverModule. The test bed and the GUI application are made once per process;
// each test gets a fresh stream parser and watches one ThreadUSB through a StreamWatch.

#include "image_conver_module.h"
#include "thread_usb.h"
#include "log_capture.h"
#include "virtual_camera.h"

#include <QObject>
#include <QPixmap>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

// Set in ThreadSanitizer builds (gcc and clang).
#if defined(__SANITIZE_THREAD__)
#define STREAMTEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define STREAMTEST_TSAN 1
#endif
#endif

namespace streamtest {

vcam::VirtualUsbBus &bus();

using LogCapture = testsupport::LogCapture;

// What one ThreadUSB and the converter did, as the GUI thread sees it. Signals from other threads are
// queued into the GUI thread; two counters are kept at the moment of emission in the emitting thread.
class StreamWatch {
public:
    // Without watchConverter only the thread is watched: connections made to the converter while
    // another stream feeds it would change its connection list under that stream.
    explicit StreamWatch(ThreadUSB *thread, bool watchConverter = true);
    ~StreamWatch();

    std::vector<int> inImage;                  // signals_In_Image values, in order
    int finished = 0;
    std::vector<std::optional<uint32_t>> numbers;  // frame number read back from each newImage picture
    std::vector<QSize> sizes;
    int photos = 0;                            // ButtonPhoto(1)
    int otherPhotoMarks = 0;

    // Frames the stream thread handed to the converter, counted as they are emitted.
    int framesSent() const { return m_sent.load(); }
    // Frames the converter left out of the live view (newer ones were waiting) since the watch began.
    int framesSkipped() const;
    // CPU time used so far by the stream thread (once it has started).
    double streamThreadCpu() const;

    bool waitForPictures(size_t n, int timeoutMs);
    bool waitForFinished(int timeoutMs);
    // Lets every frame already handed to the converter reach the GUI thread.
    void drainConverter();

private:
    QObject m_context;
    std::atomic<int> m_sent{0};
    quint64 m_skippedAtStart = 0;
    std::atomic<bool> m_clockReady{false};
    clockid_t m_clock{};
};

// A camera at the usual identifiers, plugged.
vcam::CameraConfig cameraConfig(int width = 320, int height = 240, double fps = 50);

}  // namespace streamtest
