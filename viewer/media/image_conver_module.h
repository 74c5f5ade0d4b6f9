#pragma once

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPixmap>
#include <QSharedPointer>
#include <QSize>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>

#include "conver_to_video_module.h"
#include "jpeg_picture.h"

// The process-wide frame converter. It takes every JPEG frame from the stream thread, decodes it in a
// thread of its own for the live view (newImage) and hands an undecoded copy to every recording under
// way. It keeps the registry of recordings ("works", keyed by work id) and relays the camera's photo
// request (ButtonPhoto).
//
// A frame passed with converBufToImage is a heap array made with new char[]; ownership passes with the
// signal and the conversion thread frees it with delete[].
//
// When the conversion thread falls behind the camera, the live view shows the newest frame: a frame that
// has waited kStaleFrameMs or longer while a newer one waits behind it is not decoded for display (it
// is counted in skippedDisplayFrames()). Every frame still goes to every recording.
//
// The live view is decoded at the size it is shown (setDisplaySize), not at the camera's full size. The
// JPEG bytes of the picture shown last are kept (shownFrame), so that a photo is still the camera's
// full frame.
//
// newImage is emitted in the application's (GUI) thread. At most one decoded picture waits for that
// thread: a newer picture replaces a waiting one (counted in supersededPictures() and
// skippedDisplayFrames()), so a GUI thread that stalls holds up no more than one picture.
class ImageConverModule : public QObject {
    Q_OBJECT

public:
    // Two frame periods at 25 frames per second: a frame that waits this long while a newer one waits
    // too is late for the live view. A thread only briefly held up (the machine busy for a moment)
    // still shows every frame.
    static constexpr int kStaleFrameMs = 80;

    // The process-wide object, created by the first call (from any thread). It is destroyed while the
    // application object is being destroyed, after the event loop has ended; everything that emits to it
    // (the stream thread) must have stopped by then.
    static ImageConverModule *instance();

    // Starts a recording into savePath with frames of the given size; its file is created before this
    // returns. Returns workId, -1 when a work with that id is already under way, or kFileNotCreated
    // when the file cannot be created (why in *failure); nothing is started then.
    static constexpr int kFileNotCreated = -2;
    int startVideoWork(const QString &savePath, const QSize &size, int workId,
                       Mp4Writer::Failure *failure = nullptr);
    // condition true lets the work write frames, false holds them back.
    void pauseVideoWork(int workId, bool condition);
    void stopVideoWork(int workId);
    // Gives every work under way its own copy of the frame, in ascending work id order.
    void dispatchFrame(const char *data, int len);

    // The work registered under workId, or null.
    QSharedPointer<ConverToVideoModule> videoWork(int workId) const;

    // Frames not shown in the live view because newer frames were waiting, since the start: not decoded
    // (the conversion thread was behind) or decoded and replaced before the GUI thread took them.
    quint64 skippedDisplayFrames() const { return m_skippedFrames.load(); }
    // Of them, pictures replaced while waiting for the GUI thread.
    quint64 supersededPictures() const { return m_supersededPictures.load(); }

    // The size, in device pixels, the live view is shown at (any thread); an empty size decodes the
    // frames at full size. Takes effect from the next frame.
    void setDisplaySize(QSize size);
    QSize displaySize() const;

    // The undecoded frame whose picture newImage delivered last (empty before the first).
    struct Frame {
        std::shared_ptr<const char> bytes;
        int len = 0;
        bool isNull() const { return !bytes || len <= 0; }
    };
    Frame shownFrame() const;

signals:
    void converBufToImage(char *data, int len);
    void newImage(QPixmap pixmap);
    void ButtonPhoto(int mark);

private slots:
    void on_ImageConverModule_converBufToImage(char *data, int len);
    void videWorkFinishSlots(uint workId);
    void videWorkTimeOutSlots(uint workId);

private:
    ImageConverModule();
    ~ImageConverModule() override;
    static void destroyInstance();

    using Clock = std::chrono::steady_clock;
    // In the emitting thread, before the frame is queued: when it was handed over.
    void noteHandOver(const char *data, int len);
    // In the conversion thread: takes the frame's note; true when it is stale for the live view.
    bool takeHandOver(const char *data);

    // In the conversion thread: hands a picture to the GUI thread, replacing one still waiting there.
    void offerPicture(const QPixmap &picture, const Frame &frame);
    // In the GUI thread: takes the waiting picture and emits newImage with it.
    void deliverPicture();

    QThread m_thread;
    mutable QMutex m_mutex;
    QMap<int, QSharedPointer<ConverToVideoModule>> m_works;

    // Set while the object is being destroyed: frames still queued are then freed without decoding.
    std::atomic<bool> m_closing{false};

    // Frames handed over and not yet taken up by the conversion thread, oldest first.
    struct HandOver {
        const char *data;
        Clock::time_point at;
    };
    std::mutex m_handOverMutex;
    std::deque<HandOver> m_handOvers;

    JpegPictureDecoder m_decoder;  // used in the conversion thread only
    std::atomic<quint64> m_skippedFrames{0};
    std::atomic<quint64> m_supersededPictures{0};
    std::atomic<quint64> m_displaySize{0};  // width << 32 | height

    // The picture waiting for the GUI thread, and the frame of the one delivered last.
    struct Picture {
        QPixmap picture;
        Frame frame;
    };
    mutable std::mutex m_pictureMutex;
    bool m_pictureWaiting = false;
    Picture m_waiting;
    Frame m_shownFrame;
    // Lives in the GUI thread: deliveries are queued to it.
    QObject m_courier;
    quint64 m_skipRun = 0;  // frames skipped since the last one shown (conversion thread)
    quint64 m_replaceRun = 0;  // pictures replaced since one was last taken (conversion thread)
};
