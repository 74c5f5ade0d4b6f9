#include "window_rig.h"
#include "window_environment.h"

#include "access.h"
#include "image_conver_module.h"
#include "qt_picture.h"
#include "stream_generator.h"
#include "thread_usb.h"

#include <QApplication>
#include <QPixmap>
#include <QtTest/qtestsystem.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#if defined(__SANITIZE_THREAD__)
#define WINDOWTEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WINDOWTEST_TSAN 1
#endif
#endif
#if defined(WINDOWTEST_TSAN)
extern "C" void __tsan_release(void *addr);
#endif

namespace {

std::atomic<int> g_administrator{1};

testsupport::WindowEnvironment *const g_env = static_cast<testsupport::WindowEnvironment *>(
    ::testing::AddGlobalTestEnvironment(new testsupport::WindowEnvironment("viewer_window")));

}  // namespace

// The access test of this program: root runs the tests, so the real one would always answer 1. Defined
// here, the linker takes this one instead of the library's.
int viscana::platform::isAdministrator(const std::vector<std::wstring> &)
{
    return g_administrator.load();
}

namespace windowtest {

vcam::VirtualUsbBus &bus()
{
    return g_env->bus();
}

void setAdministrator(int answer)
{
    g_administrator = answer;
}

vcam::CameraConfig cameraConfig(uint16_t vid, uint16_t pid, const char *serial)
{
    vcam::CameraConfig c;
    c.vendorId = vid;
    c.productId = pid;
    c.stream.width = 320;
    c.stream.height = 240;
    c.fps = 25;
    c.serial = serial;
    return c;
}

std::unique_ptr<MainWindow> openWindow()
{
    auto window = std::make_unique<MainWindow>();
#if defined(WINDOWTEST_TSAN)
    // A stream thread ends by returning from run; its owner's wait then sees everything it did.
    if (auto *thread = window->findChild<ThreadUSB *>())
        QObject::connect(thread, &QThread::finished, thread, [thread] { __tsan_release(thread); },
                         Qt::DirectConnection);
#endif
    return window;
}

void closeWindow(std::unique_ptr<MainWindow> &window)
{
    if (!window)
        return;
    if (auto *thread = window->findChild<ThreadUSB *>()) {
        thread->stopStream();
        thread->wait();
    }
    // A call queued to the conversion thread runs after every frame queued before it.
    auto done = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::invokeMethod(ImageConverModule::instance(), [done] { *done = true; }, Qt::QueuedConnection);
    if (!QTest::qWaitFor([&] { return done->load(); }, 20000))
        ADD_FAILURE() << "the converter did not drain its queue";
    QCoreApplication::processEvents();
    window.reset();
    QCoreApplication::processEvents();
}

QLabel *liveView(MainWindow &window)
{
    return window.findChild<QLabel *>(QStringLiteral("label_showImage"));
}

std::optional<uint32_t> shownFrame(MainWindow &window)
{
    QLabel *label = liveView(window);
    const QPixmap pixmap = label ? label->pixmap(Qt::ReturnByValue) : QPixmap();
    if (pixmap.isNull())
        return std::nullopt;
    return vcam::decodeFrameNumber(pixmap.toImage());
}

QString missingInOrder(const QStringList &lines, const QStringList &texts)
{
    int at = 0;
    for (const QString &text : texts) {
        while (at < lines.size() && !lines.at(at).contains(text))
            ++at;
        if (at == lines.size())
            return text;
        ++at;
    }
    return QString();
}

}  // namespace windowtest

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
