#pragma once
// One connection to one camera: the constructor opens the camera, performs the start-up handshake and
// opens the image stream; the thread body reads the stream, feeds every read to the stream parser and
// hands each finished JPEG frame to the process-wide ImageConverModule.
//
// The constructor, pause, resume, stopStream and the destructor belong to the owner's thread (the GUI
// thread); run and frame_callback run in the stream thread.

#include "camera_proto.h"
#include "usb_transport.h"

#include <QMutex>
#include <QThread>

#include <atomic>
#include <cstdint>

class ThreadUSB : public QThread {
    Q_OBJECT

public:
    // Opens the camera vid:pid; blocks for the whole open (up to six transfers of 1000 ms). A failed
    // open leaves an object without a device, whose run ends at once.
    ThreadUSB(QObject *parent, uint16_t vid, uint16_t pid);
    // Ends a stream that is still running (see stopStream) and waits for the thread, then closes the
    // camera and ends this object's use of libusb.
    ~ThreadUSB() override;

    // Holds the stream: waits for the read in progress and its parsing, keeps the pause lock until
    // resume and puts interface 1 back to its idle setting. A second pause without resume only logs.
    void pause();
    // Restarts a paused stream. When the camera no longer answers, the camera is closed and the
    // thread ends. Without a pause before it, it only logs.
    void resume();
    // Ends the stream for good: the run loop leaves after the read in progress (at most the read
    // time-out of 3000 ms), emits signals_In_Image(1) and the thread finishes. Returns at once; the
    // owner waits with wait() or for finished. Also ends a paused stream.
    void stopStream();

    // Bytes the stream has delivered so far (any thread): the window tells data that arrives without
    // a picture to show from a camera that sends nothing.
    quint64 bytesRead() const { return m_bytesRead.load(); }

    // Parser callback, in the stream thread: a heap copy of the frame goes to the converter, and a
    // frame with the camera's photo request also raises ButtonPhoto.
    static int frame_callback(vs_frameinfo_t *info, void *user);

    static const uint8_t HANDSHAKE_CMD[6];
    static const uint8_t HANDSHAKE_REPLY[6];

signals:
    // 0 after every stream read, 1 when the stream has ended or did not start.
    void signals_In_Image(int Error);

protected:
    void run() override;

private:
    void failureExit(libusb_device **list);
    bool openFallback();
    bool stopRequested() const;

    std::atomic<bool> m_streaming{false};
    QMutex m_mutex;  // the pause lock
    uint16_t m_vid;
    uint16_t m_pid;
    vs_usbdev_t *m_dev;

    // Whether this object holds a reference to libusb's default context, so that it is ended once.
    bool m_libStarted = false;
    // Set by pause, cleared by resume (owner's thread only): the owner holds the pause lock.
    bool m_paused = false;
    // Set while pause waits for the lock: the run loop then leaves the lock alone after its read.
    std::atomic<bool> m_pausePending{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<quint64> m_bytesRead{0};
};
