#pragma once

#include <QElapsedTimer>
#include <QFuture>
#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QPixmap>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <memory>

#include "camera_device_info.h"
#include "countdown_clock.h"

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

class AboutUI;
class LiveView;
class NoticeBar;
class QPushButton;
class QTimer;
class ShowTime;
class ThreadInDrive;
class ThreadUSB;
class Thread_TimeQlabel;
class usb_listener;

// The program's only top-level window: frameless and black, with the camera's live picture in
// "label_showImage", the capture controls, the recording clock and the window chrome. It owns the
// stream thread (M_thread), listens to the frame converter for pictures and photo requests, and reacts
// to devices coming and going.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // 1 when the process may reach the camera as it is (see viscana::platform::isAdministrator).
    int isAdministrator();

    // Device scan and driver state.
    bool GetUsbDevicePaths(QStringList &paths, QString &error);
    static CameraDeviceInfo ParseDevicePath(const QString &path);
    int ScanDiverNumber();
    bool CheckDeviceDriver(const QString &id, const QString &suffix);

    // Driver installation.
    void KillProcess(const QString &name);
    void InstallDriverTask();

signals:
    void signal_USB_deviceExists_If();

private slots:
    void on_btnCameraCtrl_clicked();
    void on_btnscan_clicked();
    void slots_ThreadInDrive_In_Error(QString Error);
    void slots_ThreadInDrive_In_End();
    void onThreadFinished();
    void onM_thread_ThreadFinished();
    void Slots_GetSetTimerText(QString Text);
    void slots_USBInsertionMessage();
    void slots_USBUnplugMessage();
    void slots_In_Image(int Error);
    void on_pushButton_4_clicked();
    void on_pushButton_5_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_MAX_clicked();
    void on_pushButton_Mix_clicked();
    void updateImageSlot(QPixmap pixMap);
    void HomeButtonPhoto(int Mark);
    void on_pushButton_3_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_clicked();
    void on_pushButton_story_clicked();
    void on_pushButton_7_clicked();
    void slots_Main_finished(QString Mp4Path);
    void on_pushButton_9_clicked();
    void on_pushButton_8_clicked();

public:
    // Replaces the clock that paces photo countdowns (tests put in one that does not sleep).
    void setCountdownClock(std::unique_ptr<CountdownClock> clock);
    // Stops every recording and waits, at most timeoutMs, until their files are finished. Returns
    // whether they all were.
    bool finishRecordings(int timeoutMs);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    // Closing by any way (window manager, termination signal) finishes the recordings first.
    void closeEvent(QCloseEvent *event) override;

private:
    // Creates the stream thread for m_vid/m_pid, connects its end (and, when watchImages is set, its
    // read reports) to the window and starts it.
    void startStreamThread(bool watchImages);
    // Ends the stream thread held in M_thread and waits for it: its reads time out, so the wait ends
    // even when the camera has gone. Then releases it and clears the live view.
    void stopStreamThread();
    // Tells the stream thread to stop before the window goes (run from the destructor, while M_thread
    // still exists).
    void onWindowDestroyed();
    // The no-camera picture in the live view, at its natural size.
    void showNoCamera();
    // The newest photo in the capture folder as the thumbnail.
    void showNewestCapture();

    // Captures (mainwindow_capture.cpp).
    QString captureFolder(const QString &sub);
    // Whether the live view holds a camera frame (not the no-camera picture, not nothing).
    bool hasLiveFrame() const;
    int savePhoto(const QString &path);
    void takePhotoNow(bool afterCountdown);
    int takeCountdownPhoto(int seconds);
    // Stops the clock and every recording and puts the controls back to photo mode; returns the work
    // ids it stopped.
    QList<uint> stopRecording();
    // Hides the window and finishes the recordings, once (mainwindow_chrome.cpp).
    void closeSequence();
    static int closeWaitMs();
    // Deletes the open About panel (a press outside it, or Esc).
    void closeAboutPanel();

    // Notices, keys and tooltips (mainwindow_notices.cpp).
    void setUpNoticesAndKeys();
    // Shows `text` over the live view for a few seconds (and logs it).
    void notify(const QString &text);
    // A photo that was not saved; `failure` is a capture::WriteFailure.
    void notifyPhotoNotSaved(int failure);
    // A recording that could not start (started false) or stopped early; `failure` is an
    // Mp4Writer::Failure.
    void notifyRecordingFailure(bool started, int failure);
    // Once the captures have moved to the Pictures folder, says where to.
    void notifyFallbackFolder();
    // The recording reports that its file could not be written further.
    void onRecordingFailed(uint workId, int failure);
    // Every half second while a stream runs: data without a picture shown for two seconds is told.
    void watchFramesShown();
    // The newest capture that can be read, as the thumbnail (folder newest first).
    bool showThumbnailOf(const QString &folder, const QStringList &files);
    // The tooltips that follow the window's state (countdown, pause, newest capture).
    void refreshToolTips();
    // What a key does: the button's click, when the button is there to press.
    static void pressIfOffered(QPushButton *button);

    // Presence and driver set-up (viewer/device/presence.cpp, driver_install.cpp).
    // Starts InstallDriverTask on the global thread pool unless a task exists; logs `line` when it starts.
    void startDriverInstallation(const char *line, bool resetCount);
    // Ends the stream thread in M_thread, waits for it and releases it, logging `line` first.
    void endStreamThread(const char *line, const char *runningLine);
    // Quits the installation thread, waits for it and deletes it.
    void endInstallThread();
    // Cancels the installation task, waits for it and forgets it; logs `line` first.
    void endInstallTask(const char *line);
    // The closing steps of the installation task (called in the task's thread).
    void closeInstallTask();
    friend struct PresenceTestAccess;

    Ui::MainWindow *ui;
    usb_listener *m_usbListener;
    QSharedPointer<ThreadUSB> M_thread;
    ThreadInDrive *m_threadInDrive;
    Thread_TimeQlabel *m_timeThread;
    std::atomic<bool> m_streamRestartPending;
    std::atomic<int> m_driverInstalling;
    int m_Countdown_Number;
    int m_Time_Number;
    AboutUI *m_aboutUi;
    ShowTime *m_showTime;
    uint16_t m_vid;
    uint16_t m_pid;
    std::atomic<int> m_InDriveNumber;  // also read and counted by the installation task
    int m_captureMode;
    int m_recordState;
    QMap<QString, CameraDeviceInfo> m_devices;
    QFuture<void> *m_Mounting_Driver;
    QList<uint> m_videoWorkIds;

    std::unique_ptr<CountdownClock> m_countdownClock{new EventLoopCountdownClock};
    NoticeBar *m_notice = nullptr;
    QTimer *m_frameWatch = nullptr;
    QElapsedTimer m_sinceFrame;          // since the last picture shown, or since the stream started
    const void *m_watchedStream = nullptr;
    quint64 m_bytesAtFrame = 0;          // the stream's bytes when that picture was shown
    quint64 m_bytesAtTick = 0;           // the stream's bytes at the watch's last look
    bool m_framesNoticeShown = false;
    bool m_liveFrameShown = false;       // a picture was shown since the watch's last look
    bool m_liveFrame = false;
    LiveView *m_liveView = nullptr;  // owned by "label_showImage"
    bool m_closing = false;
};
