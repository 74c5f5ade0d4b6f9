// Throughput of the media pipeline, each beside its reference in the same run:
//   - the live view's decode per frame (JpegPictureDecoder and the pixmap, as the conversion thread does
//     it) beside libjpeg-turbo decoding the same frames alone and beside QImage::loadFromData;
//   - the frames per second one recording writes from JPEG input (decode, H.264 encode, MP4), beside
//     the ffmpeg program encoding the same JPEG files with the same encoder settings.
// Content 0 is the virtual camera's camera-like scene, 1 its random pixels (see makeSceneFrames).
//
//   bench_media [--benchmark_filter=...]

#include "conver_to_video_module.h"
#include "jpeg_picture.h"
#include "mp4_writer.h"
#include "synthetic_frames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QMap>
#include <QPixmap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <sys/resource.h>
#include <ctime>

#include <cstring>
#include <vector>

namespace {

constexpr int kDistinctFrames = 50;

const QVector<QByteArray> &framesFor(int width, int height, int content)
{
    static QMap<QString, QVector<QByteArray>> cache;
    const QString key = QStringLiteral("%1x%2/%3").arg(width).arg(height).arg(content);
    auto it = cache.find(key);
    if (it == cache.end()) {
        const QSize size(width, height);
        it = cache.insert(key, mediabench::makeSceneFrames(size, kDistinctFrames, content == 1));
    }
    return it.value();
}

const QVector<QByteArray> &framesOf(const benchmark::State &state)
{
    return framesFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                     state.range(3) >= 0 ? static_cast<int>(state.range(3)) : 0);
}

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double childrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Reference: libjpeg-turbo alone, into one reused buffer (the floor for the live view's decode).
void BM_DecodeTurboAlone(benchmark::State &state)
{
    const auto &frames = framesOf(state);
    tjhandle handle = tjInitDecompress();
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 4);
    int i = 0;
    for (auto _ : state) {
        const QByteArray &jpeg = frames.at(i++ % frames.size());
        tjDecompress2(handle, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                      static_cast<unsigned long>(jpeg.size()), pixels.data(), width, width * 4, height, TJPF_BGRX, 0);
        benchmark::DoNotOptimize(pixels.data());
    }
    tjDestroy(handle);
    state.SetItemsProcessed(state.iterations());
    state.counters["jpeg_kib"] = frames.at(0).size() / 1024.0;
}

// libjpeg-turbo decoding at a reduced scale (numerator/8), as the live view does when it is shown smaller
// than the camera's frame: the reduced inverse DCT and colour conversion of fewer pixels.
void BM_DecodeTurboScaled(benchmark::State &state)
{
    const auto &frames = framesFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), 0);
    const tjscalingfactor factor{static_cast<int>(state.range(2)), 8};
    const int width = TJSCALED(static_cast<int>(state.range(0)), factor);
    const int height = TJSCALED(static_cast<int>(state.range(1)), factor);
    tjhandle handle = tjInitDecompress();
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 4);
    int i = 0;
    for (auto _ : state) {
        const QByteArray &jpeg = frames.at(i++ % frames.size());
        tjDecompress2(handle, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                      static_cast<unsigned long>(jpeg.size()), pixels.data(), width, width * 4, height, TJPF_BGRX, 0);
        benchmark::DoNotOptimize(pixels.data());
    }
    tjDestroy(handle);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(QStringLiteral("%1x%2").arg(width).arg(height).toStdString());
}

// QImage::loadFromData alone (how the live view decoded before).
void BM_DecodeQImage(benchmark::State &state)
{
    const auto &frames = framesOf(state);
    int i = 0;
    for (auto _ : state) {
        const QByteArray &jpeg = frames.at(i++ % frames.size());
        QImage image;
        image.loadFromData(reinterpret_cast<const uchar *>(jpeg.constData()), jpeg.size());
        benchmark::DoNotOptimize(image.bits());
    }
    state.SetItemsProcessed(state.iterations());
}

// What the conversion thread does per frame for the live view: decode and pixmap. The live view holds
// the previous picture until the next one replaces it, so one pixmap stays alive meanwhile.
void BM_ConversionFrame(benchmark::State &state)
{
    const auto &frames = framesOf(state);
    JpegPictureDecoder decoder;
    int i = 0;
    QPixmap shown;
    for (auto _ : state) {
        const QByteArray &jpeg = frames.at(i++ % frames.size());
        QPixmap pixmap = QPixmap::fromImage(decoder.decode(jpeg.constData(), jpeg.size()));
        benchmark::DoNotOptimize(pixmap.cacheKey());
        shown = pixmap;
    }
    state.SetItemsProcessed(state.iterations());
}

// One recording fed as fast as it can take frames. The time runs from the first frame until the file is
// finished, without the fixed pause the recording makes between closing its file and ending. cpu_ms is
// the process CPU time per frame (all threads: decoding and the encoder's threads).
void BM_RecordFrames(benchmark::State &state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const int count = static_cast<int>(state.range(2));
    const auto &frames = framesOf(state);
    constexpr double kQuitDelaySeconds = 1.0;

    uint workId = 1;
    double cpu = 0;
    qint64 bytes = 0;
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("bench.mp4"));
        ConverToVideoModule work(workId++, 60000);
        QEventLoop loop;
        QObject::connect(&work, &ConverToVideoModule::workFinish, &loop, &QEventLoop::quit, Qt::QueuedConnection);

        const double cpu0 = processCpuSeconds();
        QElapsedTimer clock;
        clock.start();
        emit work.startVideo(file, QSize(width, height));
        for (int i = 0; i < count; ++i) {
            const QByteArray &jpeg = frames.at(i % frames.size());
            char *copy = new char[static_cast<size_t>(jpeg.size())];
            std::memcpy(copy, jpeg.constData(), static_cast<size_t>(jpeg.size()));
            emit work.newImageData(copy, jpeg.size());
        }
        emit work.stopVideo();
        loop.exec();
        state.SetIterationTime(clock.nsecsElapsed() / 1e9 - kQuitDelaySeconds);
        cpu += processCpuSeconds() - cpu0;
        bytes = QFileInfo(file).size();
    }
    const double total = static_cast<double>(state.iterations() * count);
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["frames_per_s"] = benchmark::Counter(total, benchmark::Counter::kIsRate);
    state.counters["cpu_ms"] = 1000.0 * cpu / total;
    state.counters["file_kib"] = bytes / 1024.0;
    state.SetLabel(Mp4Writer::encoderDescription().toStdString());
}

// Reference: the ffmpeg program encoding the same frames, read from JPEG files, with the recording's
// encoder settings. cpu_ms is the CPU time of the ffmpeg process per frame.
void BM_FfmpegReference(benchmark::State &state)
{
    const int count = static_cast<int>(state.range(2));
    const auto &frames = framesOf(state);
    QTemporaryDir dir;
    for (int i = 0; i < count; ++i) {
        QFile out(dir.filePath(QStringLiteral("%1.jpg").arg(i, 4, 10, QLatin1Char('0'))));
        if (!out.open(QIODevice::WriteOnly) || out.write(frames.at(i % frames.size())) < 0) {
            state.SkipWithError("cannot write the frames");
            return;
        }
    }
    const QStringList args = {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                              QStringLiteral("-y"), QStringLiteral("-framerate"), QStringLiteral("25"),
                              QStringLiteral("-i"), dir.filePath(QStringLiteral("%04d.jpg")),
                              QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"),
                              QStringLiteral("ultrafast"), QStringLiteral("-tune"), QStringLiteral("zerolatency"),
                              QStringLiteral("-crf"), QStringLiteral("23"), QStringLiteral("-threads"),
                              QStringLiteral("2"), QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"),
                              dir.filePath(QStringLiteral("reference.mp4"))};
    double cpu = 0;
    for (auto _ : state) {
        const double cpu0 = childrenCpuSeconds();
        QElapsedTimer clock;
        clock.start();
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"), args);
        if (!ffmpeg.waitForFinished(600000) || ffmpeg.exitCode() != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        state.SetIterationTime(clock.nsecsElapsed() / 1e9);
        cpu += childrenCpuSeconds() - cpu0;
    }
    const double total = static_cast<double>(state.iterations() * count);
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["frames_per_s"] = benchmark::Counter(total, benchmark::Counter::kIsRate);
    state.counters["cpu_ms"] = 1000.0 * cpu / total;
    state.counters["file_kib"] = QFileInfo(dir.filePath(QStringLiteral("reference.mp4"))).size() / 1024.0;
    state.SetLabel("ffmpeg -c:v libx264 -preset ultrafast -tune zerolatency -crf 23 -threads 2");
}

// Arguments: width, height, frames per recording (unused by the decoders), content.
void decodeArgs(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"w", "h", "n", "content"});
    for (int content : {0, 1}) {
        b->Args({1280, 720, 0, content});
        b->Args({1920, 1080, 0, content});
    }
    b->Unit(benchmark::kMillisecond);
}

// Arguments: width, height, scale in eighths.
void scaledArgs(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"w", "h", "eighths"});
    for (int eighths : {8, 7, 6, 5, 4, 3, 2, 1}) {
        b->Args({1280, 720, eighths});
        b->Args({1920, 1080, eighths});
    }
    b->Unit(benchmark::kMillisecond);
}

void recordArgs(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"w", "h", "n", "content"});
    for (int content : {0, 1}) {
        b->Args({1280, 720, 250, content});
        b->Args({1920, 1080, 250, content});
    }
    b->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_DecodeTurboAlone)->Apply(decodeArgs);
BENCHMARK(BM_DecodeTurboScaled)->Apply(scaledArgs);
BENCHMARK(BM_DecodeQImage)->Apply(decodeArgs);
BENCHMARK(BM_ConversionFrame)->Apply(decodeArgs);
BENCHMARK(BM_RecordFrames)->Apply(recordArgs);
BENCHMARK(BM_FfmpegReference)->Apply(recordArgs);

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
