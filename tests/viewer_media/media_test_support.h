#pragma once

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QtTest/qtestsystem.h>

#include <tuple>

#include "log_capture.h"

namespace mediatest {

// A JPEG of the given size, filled with colour, with a small mark that moves with index so that
// successive frames differ.
QByteArray makeJpeg(QSize size, QColor colour, int index = 0);

// Makes a baseline JPEG's header claim a side x side picture; false when it has no baseline header.
bool claimPictureSize(QByteArray &jpeg, int side);

// A heap copy of bytes, made the way the stream thread makes frame arrays (new char[]).
char *heapFrame(const QByteArray &bytes);

// What ffprobe reports about the first video stream of a file.
struct VideoFacts {
    bool ok = false;
    QString codec;
    QString frameRate;  // as a fraction, e.g. "25/1"
    int width = 0;
    int height = 0;
    int frames = -1;
};
VideoFacts probeVideo(const QString &path);

// The blue, green and red values of the centre pixel of a video's first frame.
struct Bgr {
    int b = -1, g = -1, r = -1;
};
Bgr firstFrameCentre(const QString &path);

using LogCapture = testsupport::LogCapture;

// Records the arguments of every emission of one signal. Emissions from other threads are queued into
// the thread that made the recorder, so the record is only touched there.
template <typename... Args>
class SignalLog {
public:
    template <typename Sender, typename Signal>
    SignalLog(Sender *sender, Signal signal)
    {
        QObject::connect(
            sender, signal, &m_context, [this](Args... args) { m_calls.append(std::make_tuple(args...)); },
            Qt::QueuedConnection);
    }

    int count() const { return m_calls.size(); }
    const QList<std::tuple<Args...>> &calls() const { return m_calls; }
    bool waitForCount(int n, int timeoutMs)
    {
        return QTest::qWaitFor([&] { return m_calls.size() >= n; }, timeoutMs);
    }

private:
    QObject m_context;
    QList<std::tuple<Args...>> m_calls;
};

}  // namespace mediatest
