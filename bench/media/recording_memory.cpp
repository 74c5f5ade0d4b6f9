// Recordings fed in real time through the frame converter, as the stream thread feeds it, while the
// converter decodes every frame for the live view (whose last picture is held here, as the window holds
// it).
//
//   bench_media_memory [--size WIDTHxHEIGHT] [--seconds N] [--fps N] [--works N] [--content scene|noise]
//
// Prints, per recording, the frames fed, dropped and written; the resident memory before and during
// the recordings, the largest backlog, the frames the live view skipped, the process CPU, and how long
// the files took to finish after the last frame.

#include "image_conver_module.h"
#include "synthetic_frames.h"
#include "video_frames.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QTimer>

#include <QPixmap>


#include <cstdlib>
#include <ctime>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

using namespace mediabench;

namespace {

struct Options {
    QSize size{1280, 720};
    int seconds = 60;
    int fps = 25;
    int works = 1;
    bool noise = false;
};

bool parse(int argc, char **argv, Options &options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray key(argv[i]);
        const QByteArray value(argv[i + 1]);
        if (key == "--size") {
            const QList<QByteArray> parts = value.split('x');
            if (parts.size() != 2)
                return false;
            options.size = QSize(parts.at(0).toInt(), parts.at(1).toInt());
        } else if (key == "--seconds") {
            options.seconds = value.toInt();
        } else if (key == "--fps") {
            options.fps = value.toInt();
        } else if (key == "--works") {
            options.works = value.toInt();
        } else if (key == "--content" && (value == "scene" || value == "noise")) {
            options.noise = value == "noise";
        } else {
            return false;
        }
    }
    return (argc % 2) == 1 && options.size.width() > 0 && options.size.height() > 0 && options.seconds > 0 &&
           options.fps > 0 && options.works >= 1 && options.works <= 8;
}

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int countFrames(const QString &path)
{
    VideoFrameReader reader;
    if (!reader.open(path))
        return -1;
    int frames = 0;
    while (!reader.next().isNull())
        ++frames;
    return frames;
}

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s [--size WIDTHxHEIGHT] [--seconds N] [--fps N]\n", argv[0]);
        return 2;
    }
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &msg) {
        if (msg.contains(QLatin1String("dropped frames")))
            std::fprintf(stderr, "log: %s\n", qPrintable(msg));
    });

    const QVector<QByteArray> frames = makeSceneFrames(options.size, 2 * options.fps, options.noise);
    ImageConverModule *converter = ImageConverModule::instance();
    QTemporaryDir dir;
    const long baselineKiB = residentKiB();
    double load[3] = {};
    getloadavg(load, 3);
    const double cpu0 = processCpuSeconds();
    const quint64 skipped0 = converter->skippedDisplayFrames();

    // The live view: the window keeps the newest picture.
    QPixmap shown;
    int pictures = 0;
    QObject::connect(converter, &ImageConverModule::newImage, &app, [&](const QPixmap &pixmap) {
        shown = pixmap;
        ++pictures;
    });

    QVector<int> workIds;
    QVector<QString> files;
    QVector<QSharedPointer<ConverToVideoModule>> works;
    for (int w = 0; w < options.works; ++w) {
        const int workId = w + 1;
        files << dir.filePath(QStringLiteral("memory-%1.mp4").arg(workId));
        converter->startVideoWork(files.last(), options.size, workId);
        workIds << workId;
        works << converter->videoWork(workId);
    }

    // The stream thread's part: one frame every 1/fps seconds, as a fresh heap array.
    const int total = options.seconds * options.fps;
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        const auto period = std::chrono::microseconds(1000000 / options.fps);
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < total; ++i) {
            const QByteArray &jpeg = frames.at(i % frames.size());
            char *copy = new char[static_cast<size_t>(jpeg.size())];
            std::memcpy(copy, jpeg.constData(), static_cast<size_t>(jpeg.size()));
            emit converter->converBufToImage(copy, jpeg.size());
            next += period;
            std::this_thread::sleep_until(next);
        }
        feeding = false;
    });

    // Peak resident memory per ten seconds of recording, to show whether it keeps growing.
    long peakKiB = baselineKiB;
    int peakBacklog = 0;
    QVector<long> windowPeakKiB;
    QElapsedTimer recording;
    recording.start();
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const long now = residentKiB();
        peakKiB = qMax(peakKiB, now);
        for (const auto &work : works)
            peakBacklog = qMax(peakBacklog, work->pendingFrames());
        const int window = static_cast<int>(recording.elapsed() / 10000);
        if (windowPeakKiB.size() <= window)
            windowPeakKiB.resize(window + 1);
        windowPeakKiB[window] = qMax(windowPeakKiB[window], now);
    });
    sampler.start(50);

    QElapsedTimer drain;
    QTimer stopper;
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (feeding)
            return;
        stopper.stop();
        drain.start();
        for (int workId : workIds) {
            converter->pauseVideoWork(workId, true);
            converter->stopVideoWork(workId);
        }
    });
    stopper.start(20);

    QTimer finished;
    QObject::connect(&finished, &QTimer::timeout, [&] {
        if (!drain.isValid())
            return;
        for (int workId : workIds) {
            if (!converter->videoWork(workId).isNull())
                return;
        }
        app.quit();
    });
    finished.start(20);
    app.exec();
    feeder.join();

    const double cpu = processCpuSeconds() - cpu0;
    // The recording waits a fixed second between closing its file and ending.
    const double drainSeconds = drain.nsecsElapsed() / 1e9 - 1.0;
    std::printf("size %dx%d, %s, %d s at %d fps, %d recording(s), load average before %.2f %.2f %.2f\n",
                options.size.width(), options.size.height(), options.noise ? "noise" : "scene", options.seconds,
                options.fps, options.works, load[0], load[1], load[2]);
    for (int w = 0; w < works.size(); ++w) {
        std::printf("recording %d: fed %d frames, dropped %llu, written %d\n", workIds.at(w), total,
                    static_cast<unsigned long long>(works.at(w)->droppedFrames()), countFrames(files.at(w)));
    }
    std::printf("live view: %d pictures, %llu frames skipped; process CPU %.0f%% of one core\n", pictures,
                static_cast<unsigned long long>(converter->skippedDisplayFrames() - skipped0),
                100.0 * cpu / (recording.nsecsElapsed() / 1e9));
    std::printf("jpeg %.0f KiB/frame; resident memory: %.1f MiB before, %.1f MiB peak (+%.1f MiB), "
                "process peak %.1f MiB\n",
                frames.at(0).size() / 1024.0, baselineKiB / 1024.0, peakKiB / 1024.0,
                (peakKiB - baselineKiB) / 1024.0, peakResidentKiB() / 1024.0);
    std::printf("peak resident memory per 10 s (MiB):");
    for (long kib : windowPeakKiB)
        std::printf(" %.0f", kib / 1024.0);
    std::printf("\n");
    std::printf("largest backlog %d frames; file finished %.1f s after the last frame\n", peakBacklog,
                drainSeconds);
    return 0;
}
