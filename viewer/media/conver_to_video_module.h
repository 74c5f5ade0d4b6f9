#pragma once

#include <QObject>
#include <QSize>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "mp4_writer.h"

class QTimer;

// One recording ("work"): writes the JPEG frames it is given into one MP4 file (H264, 25 fps, through
// Mp4Writer) from a thread of its own, holds frames back while paused, stops itself when frames stop arriving and reports
// when it has finished.
//
// The owner drives it only through its signals (startVideo, newImageData, pauseVudeo, stopVideo), which
// are delivered queued into the recording thread. A frame array passed with newImageData is a heap
// array made with new char[]; the receiving slot owns it and frees it with delete[].
class ConverToVideoModule : public QObject {
    Q_OBJECT

public:
    // Frames a recording may have waiting before further frames are refused (about two seconds of
    // camera frames), and the backlog at which it takes frames again.
    static constexpr int kBacklogLimit = 50;
    static constexpr int kBacklogResume = kBacklogLimit / 2;
    // The same by size, for large frames (a 32-bit process runs several recordings in 2 GiB).
    static constexpr qint64 kBacklogByteLimit = 48LL << 20;
    static constexpr qint64 kBacklogByteResume = kBacklogByteLimit / 2;

    ConverToVideoModule(uint workId, int timeoutMs, QObject *parent = nullptr);
    ~ConverToVideoModule() override;

    // Creates the recording's file at once, in the caller's thread, before startVideo is emitted (which
    // then keeps this file). False when it cannot be created: no file is left and failure() says why.
    bool openFile(const QString &savePath, const QSize &size);
    // Why the file could not be opened or written (set before workFailed is emitted).
    Mp4Writer::Failure failure() const;

    ConverToVideoModule(const ConverToVideoModule &) = delete;
    ConverToVideoModule &operator=(const ConverToVideoModule &) = delete;

    // Hands one copy of the frame to this recording through newImageData. While the recording's backlog
    // is full the frame is not copied but counted as dropped, and false is returned; the recording takes
    // frames again once it has worked its backlog down to kBacklogResume (and kBacklogByteResume). Called by the frame dispatcher.
    bool queueFrameCopy(const char *data, int len);

    // Frames handed over by queueFrameCopy that the recording thread has not taken up yet.
    int pendingFrames() const;
    // Frames refused by queueFrameCopy because the backlog was full, over the life of the recording.
    quint64 droppedFrames() const;

signals:
    void startVideo(QString savePath, QSize size);
    void stopVideo();
    void pauseVudeo(bool condition);
    void newImageData(char *data, int len);
    void workStart(uint workId);
    void workFinish(uint workId);
    // The file could not be written further (a full disk): it has been finished with what it holds
    // and later frames are dropped; the owner stops the recording.
    void workFailed(uint workId, int failure);
    void trigTimeOut(uint workId);

private slots:
    void on_ConverToVideoModule_startVideo(QString savePath, QSize size);
    void on_ConverToVideoModule_stopVideo();
    void on_ConverToVideoModule_pauseVudeo(bool condition);
    void on_ConverToVideoModule_newImageData(char *data, int len);

private:
    void openWriter();
    void writeFrame(const char *data, int len);
    void restartWatchdog();
    void takeFromBacklog(char *data);
    void logDropBurstLocked();

    QThread m_thread;
    bool m_recording = false;
    Mp4Writer *m_writer = nullptr;
    int m_fps = 25;
    QSize m_size;
    QString m_savePath;
    uint m_workId = 0;
    int m_quitDelayMs = 1000;
    int m_timeoutMs = 0;
    QTimer *m_watchdog = nullptr;

    // Frames handed over but not yet taken up by the recording thread. They are owned through this set
    // until the slot takes them, so frames still queued when the recording ends are freed too.
    mutable std::mutex m_backlogMutex;
    std::unordered_map<char *, int> m_backlog;  // frame and its length
    qint64 m_backlogBytes = 0;
    bool m_droppingFrames = false;
    std::atomic<int> m_failure{static_cast<int>(Mp4Writer::Failure::None)};
    quint64 m_burstDrops = 0;
    quint64 m_droppedFrames = 0;
};
