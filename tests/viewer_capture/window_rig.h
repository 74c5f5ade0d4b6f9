#pragma once
// A main window on the virtual camera: the test bed and the GUI application are made once per process;
// each test plugs a fresh camera, points the capture folder into a temporary folder and builds a window
// that finds the camera and streams from it.

#include "countdown_clock.h"
#include "log_capture.h"
#include "mainwindow.h"
#include "virtual_camera.h"

#include <QLabel>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace windowtest {

vcam::VirtualUsbBus &bus();

// A countdown clock that does not sleep: each wait handles pending events once and runs the hook.
class StepClock : public CountdownClock {
public:
    void wait(int ms) override;
    QList<int> waits;
    std::function<void(int)> onWait;  // with the number of the wait, from 1
};

// Takes the desktop's "open" requests for file URLs instead of a file browser.
class OpenRecorder : public QObject {
    Q_OBJECT
public:
    OpenRecorder();
    ~OpenRecorder() override;
    QList<QUrl> opened;
public slots:
    void openUrl(const QUrl &url) { opened << url; }
};

// What ffprobe reports about the first video stream of a file.
struct VideoFacts {
    bool ok = false;
    QString codec;
    QString frameRate;
    int width = 0;
    int height = 0;
    int frames = -1;
};
VideoFacts probeVideo(const QString &path);

class CaptureWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs the camera and builds the window; false when it does not stream.
    bool openWindow(bool withCamera = true);
    bool waitForLiveFrame(int timeoutMs = 20000);

    QString programDir() const { return m_tmp.filePath("program"); }
    QString picturesDir() const { return m_tmp.filePath("pictures"); }
    QString cameraDir() const { return programDir() + "/Camera"; }
    QStringList captures(const QString &folder, const char *suffix) const;

    template <typename T>
    T *child(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QPushButton *button(const char *name) const { return child<QPushButton>(name); }
    QLabel *label(const char *name) const { return child<QLabel>(name); }
    // The picture a label holds (null when none).
    QPixmap picture(const char *name) const;

    QTemporaryDir m_tmp;
    testsupport::LogCapture m_log;
    std::unique_ptr<vcam::VirtualCamera> m_cam;
    std::unique_ptr<MainWindow> m_window;
    StepClock *m_clock = nullptr;  // owned by the window
};

}  // namespace windowtest
