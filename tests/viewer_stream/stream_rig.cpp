#include "stream_rig.h"

#include "qt_picture.h"
#include "stream_generator.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QtTest/qtestsystem.h>

#include <gtest/gtest.h>
#include <pthread.h>

#include <memory>
#include <mutex>

#if defined(STREAMTEST_TSAN)
extern "C" void __tsan_release(void *addr);
#endif

namespace streamtest {

namespace {

vcam::VirtualUsbBus *g_bus = nullptr;

// The test bed comes first, before any libusb_init of the process, and goes last, after the GUI
// application (whose end also destroys the converter).
class StreamEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_bus = new vcam::VirtualUsbBus;
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        m_app = std::make_unique<QGuiApplication>(m_argc, m_argv);
        ImageConverModule *conv = ImageConverModule::instance();  // made in the GUI thread, as the window does
#if defined(STREAMTEST_TSAN)
        QThread *convThread = conv->thread();
        QObject::connect(convThread, &QThread::finished, convThread, [convThread] { __tsan_release(convThread); },
                         Qt::DirectConnection);
#else
        (void)conv;
#endif
    }
    void TearDown() override
    {
        m_app.reset();
        delete g_bus;
        g_bus = nullptr;
    }

private:
    int m_argc = 1;
    char m_name[16] = "viewer_stream";
    char *m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QGuiApplication> m_app;
};

[[maybe_unused]] ::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(new StreamEnvironment);


}  // namespace

vcam::VirtualUsbBus &bus()
{
    return *g_bus;
}

int StreamWatch::framesSkipped() const
{
    return static_cast<int>(ImageConverModule::instance()->skippedDisplayFrames() - m_skippedAtStart);
}

StreamWatch::StreamWatch(ThreadUSB *thread, bool watchConverter)
{
    ImageConverModule *conv = ImageConverModule::instance();
    m_skippedAtStart = conv->skippedDisplayFrames();
    QObject::connect(thread, &ThreadUSB::signals_In_Image, &m_context, [this](int v) { inImage.push_back(v); },
                     Qt::QueuedConnection);
    QObject::connect(thread, &QThread::finished, &m_context, [this] { ++finished; }, Qt::QueuedConnection);
#if defined(STREAMTEST_TSAN)
    // The thread's last accesses come before this; its owner's wait acquires (tsan_qt_sync.cpp).
    QObject::connect(thread, &QThread::finished, &m_context, [thread] { __tsan_release(thread); },
                     Qt::DirectConnection);
#endif
    QObject::connect(
        thread, &QThread::started, &m_context,
        [this] {
            if (pthread_getcpuclockid(pthread_self(), &m_clock) == 0)
                m_clockReady = true;
        },
        Qt::DirectConnection);
    if (!watchConverter)
        return;
    QObject::connect(
        conv, &ImageConverModule::newImage, &m_context,
        [this](const QPixmap &pixmap) {
            const QImage image = pixmap.toImage();
            sizes.push_back(image.size());
            numbers.push_back(vcam::decodeFrameNumber(image));
        },
        Qt::QueuedConnection);
    QObject::connect(
        conv, &ImageConverModule::ButtonPhoto, &m_context,
        [this](int mark) {
            if (mark == 1)
                ++photos;
            else
                ++otherPhotoMarks;
        },
        Qt::QueuedConnection);
    // In the emitting thread: the stream thread's own view.
    QObject::connect(conv, &ImageConverModule::converBufToImage, &m_context, [this](char *, int) { ++m_sent; },
                     Qt::DirectConnection);
}

StreamWatch::~StreamWatch() = default;

double StreamWatch::streamThreadCpu() const
{
    if (!m_clockReady.load())
        return 0;
    timespec t{};
    clock_gettime(m_clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

bool StreamWatch::waitForPictures(size_t n, int timeoutMs)
{
    return QTest::qWaitFor([&] { return numbers.size() >= n; }, timeoutMs);
}

bool StreamWatch::waitForFinished(int timeoutMs)
{
    return QTest::qWaitFor([&] { return finished > 0; }, timeoutMs);
}

void StreamWatch::drainConverter()
{
    // A call queued to the conversion thread runs after every frame queued before it; the pictures
    // those frames gave are then queued to this thread ahead of the marker's answer.
    auto done = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::invokeMethod(ImageConverModule::instance(), [done] { *done = true; }, Qt::QueuedConnection);
    if (!QTest::qWaitFor([&] { return done->load(); }, 20000))
        ADD_FAILURE() << "the converter did not drain its queue";
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

vcam::CameraConfig cameraConfig(int width, int height, double fps)
{
    vcam::CameraConfig c;
    c.stream.width = width;
    c.stream.height = height;
    c.fps = fps;
    return c;
}

}  // namespace streamtest

// LeakSanitizer settings for this program (sanitizer builds only): Qt's offscreen platform plugin never
// frees the screen it makes with the GUI application.
extern "C" const char *__lsan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char *__lsan_default_suppressions()
{
    return "leak:QGuiApplicationPrivate::createPlatformIntegration\n";
}
