// Throughput of the media pipeline: the conversion thread's decode per frame, and the frames per second
// one recording writes from JPEG input (decode, colour conversion, H.264 encoding).
//
//   bench_media [--benchmark_filter=...]

#include "conver_to_video_module.h"
#include "synthetic_frames.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

using mediabench::makeCameraFrames;

const QVector<QByteArray> &framesFor(int width, int height)
{
    static QVector<QByteArray> frames720 = makeCameraFrames(QSize(1280, 720), 25);
    static QVector<QByteArray> frames1080 = makeCameraFrames(QSize(1920, 1080), 25);
    return width == 1920 && height == 1080 ? frames1080 : frames720;
}

// QImage::loadFromData alone.
void BM_DecodeJpeg(benchmark::State &state)
{
    const auto &frames = framesFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    int i = 0;
    for (auto _ : state) {
        const QByteArray &jpeg = frames.at(i++ % frames.size());
        QImage image;
        image.loadFromData(reinterpret_cast<const uchar *>(jpeg.constData()), jpeg.size());
        benchmark::DoNotOptimize(image.bits());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["jpeg_kib"] = frames.at(0).size() / 1024.0;
}

// What the conversion thread does per frame for the live view: decode, full copy, pixmap. The live view
// holds the previous picture until the next one replaces it, so one pixmap stays alive meanwhile.
void BM_ConversionFrame(benchmark::State &state)
{
    const auto &frames = framesFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    int i = 0;
    QPixmap shown;
    for (auto _ : state) {
        const QByteArray &jpeg = frames.at(i++ % frames.size());
        QImage image;
        image.loadFromData(reinterpret_cast<const uchar *>(jpeg.constData()), jpeg.size());
        QPixmap pixmap = QPixmap::fromImage(image.copy());
        benchmark::DoNotOptimize(pixmap.cacheKey());
        shown = pixmap;
    }
    state.SetItemsProcessed(state.iterations());
}

// One recording fed as fast as it can take frames. The time runs from the first frame until the file is
// finished, without the fixed pause the recording makes between closing its file and ending.
void BM_RecordFrames(benchmark::State &state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const int count = static_cast<int>(state.range(2));
    const auto &frames = framesFor(width, height);
    constexpr double kQuitDelaySeconds = 1.0;

    uint workId = 1;
    for (auto _ : state) {
        QTemporaryDir dir;
        ConverToVideoModule work(workId++, 60000);
        QEventLoop loop;
        QObject::connect(&work, &ConverToVideoModule::workFinish, &loop, &QEventLoop::quit, Qt::QueuedConnection);

        QElapsedTimer clock;
        clock.start();
        emit work.startVideo(dir.filePath(QStringLiteral("bench.mp4")), QSize(width, height));
        for (int i = 0; i < count; ++i) {
            const QByteArray &jpeg = frames.at(i % frames.size());
            char *copy = new char[static_cast<size_t>(jpeg.size())];
            std::memcpy(copy, jpeg.constData(), static_cast<size_t>(jpeg.size()));
            emit work.newImageData(copy, jpeg.size());
        }
        emit work.stopVideo();
        loop.exec();
        state.SetIterationTime(clock.nsecsElapsed() / 1e9 - kQuitDelaySeconds);
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations() * count),
                                                        benchmark::Counter::kIsRate);
}

BENCHMARK(BM_DecodeJpeg)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConversionFrame)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordFrames)
    ->Args({1280, 720, 125})
    ->Args({1920, 1080, 125})
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    // The recordings log every frame they drop; the numbers are what matters here.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
