// The window's presence and driver set-up end to end: the virtual camera and the udev events of its test
// bed, the real listener, scan and stream thread, and a scripted driver installer with a fast clock.
#include "device_clock.h"
#include "fake_installer.h"
#include "image_conver_module.h"
#include "log_capture.h"
#include "mainwindow.h"
#include "thread_usb.h"
#include "virtual_camera.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

// The window's state that the tests look at.
struct PresenceTestAccess {
    static ThreadUSB *stream(MainWindow &w) { return w.M_thread.data(); }
    static int installing(MainWindow &w) { return w.m_driverInstalling; }
    static bool restartPending(MainWindow &w) { return w.m_streamRestartPending; }
    static bool task(MainWindow &w) { return w.m_Mounting_Driver != nullptr; }
    static bool taskRunning(MainWindow &w) { return w.m_Mounting_Driver && w.m_Mounting_Driver->isRunning(); }
    static bool installThread(MainWindow &w) { return w.m_threadInDrive != nullptr; }
    static int runs(MainWindow &w) { return w.m_InDriveNumber; }
    static void setRuns(MainWindow &w, int n) { w.m_InDriveNumber = n; }
    static void streamReport(MainWindow &w, int error) { w.slots_In_Image(error); }
    static void devicesChanged(MainWindow &w) { w.slots_USBInsertionMessage(); }
    static void forgetTask(MainWindow &w) { w.endInstallTask("test: task forgotten"); }
};

using A = PresenceTestAccess;
using devtest::FakeAttempt;
using devtest::FakeInstallerScope;

namespace {

vcam::VirtualUsbBus *g_bus = nullptr;

// Sleeps 1 ms for every wait and tells the test about each installation progress period.
class FastClock final : public viscana::device::Clock {
public:
    void sleepMs(int ms) override
    {
        const int n = ms == 700 ? ++periods : 0;
        if (onPeriod && n)
            onPeriod(n);
        QThread::msleep(1);
    }
    std::atomic<int> periods{0};
    std::function<void(int)> onPeriod;  // set before the window starts a task
};

// Pictures the converter sends, counted in its thread as they are emitted; lives as long as the
// converter.
class FrameCount {
public:
    static FrameCount &instance()
    {
        static FrameCount *counter = new FrameCount;
        return *counter;
    }
    FrameCount()
    {
        QObject::connect(ImageConverModule::instance(), &ImageConverModule::newImage, &m_context,
                         [this](QPixmap) { ++m_count; }, Qt::DirectConnection);
    }
    int count() const { return m_count.load(); }

private:
    QObject m_context;
    std::atomic<int> m_count{0};
};

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QTest::qWait(5);
    }
    return true;
}

QLabel *view(MainWindow &w)
{
    return w.findChild<QLabel *>(QStringLiteral("label_showImage"));
}

bool showsNoCamera(MainWindow &w)
{
    QLabel *label = view(w);
    const QPixmap p = label->pixmap(Qt::ReturnByValue);
    return !p.isNull() && !label->hasScaledContents() &&
           p.toImage() == QPixmap(QStringLiteral(":/img/NoUSB.png")).toImage();
}

vcam::CameraConfig camera(uint16_t vid = 0x2CE3, vcam::Layout layout = vcam::Layout::Standard)
{
    vcam::CameraConfig c;
    c.vendorId = vid;
    c.productId = vid == 0x1234 ? 0x0001 : 0x3301;  // a stranger's path must not contain a camera id
    c.layout = layout;
    c.fps = 30;
    c.stream.width = 160;
    c.stream.height = 120;
    return c;
}

class PresenceTest : public ::testing::Test {
protected:
    void SetUp() override { viscana::device::setClock(&clock); }
    void TearDown() override
    {
        viscana::device::setClock(nullptr);
        viscana::device::setProductVersion(QString());
    }
    FastClock clock;
};

}  // namespace

TEST_F(PresenceTest, StreamFollowsPlugUnplugAndReplug)
{
    testsupport::LogCapture log;
    MainWindow w;
    ASSERT_TRUE(showsNoCamera(w));
    ASSERT_EQ(A::stream(w), nullptr);
    FrameCount &frames = FrameCount::instance();

    vcam::VirtualCamera cam(*g_bus, camera());
    cam.plug();  // the udev event alone runs the presence pass
    // Counted as the converter sends them; the window shows them a moment later.
    ASSERT_TRUE(waitUntil([&] { return frames.count() >= 3 && view(w)->hasScaledContents(); }))
        << log.lines().join('\n').toStdString();
    ThreadUSB *first = A::stream(w);
    ASSERT_NE(first, nullptr);
    EXPECT_GE(log.exact(QStringLiteral("M_thread_in_Image-----------------605")), 1);
    EXPECT_TRUE(view(w)->hasScaledContents());

    // An unrelated device comes: a full pass, and the stream thread is left alone.
    const int passes = log.exact(QStringLiteral("USB 插入 回调 "));
    vcam::VirtualCamera stranger(*g_bus, camera(0x1234));
    stranger.plug();
    ASSERT_TRUE(waitUntil([&] { return log.exact(QStringLiteral("USB 插入 回调 ")) > passes; }));
    const int framesBefore = frames.count();
    ASSERT_TRUE(waitUntil([&] { return frames.count() >= framesBefore + 3; }));
    EXPECT_EQ(A::stream(w), first);
    EXPECT_TRUE(first->isRunning());

    // Pulled out: the no-camera picture at its natural size, no stream thread, nothing installing.
    cam.unplug();
    ASSERT_TRUE(waitUntil([&] { return A::stream(w) == nullptr && showsNoCamera(w); }));
    EXPECT_EQ(A::installing(w), 0);

    // Plugged back: the picture comes back without a restart.
    const int framesAtReplug = frames.count();
    cam.plug();
    ASSERT_TRUE(waitUntil([&] { return frames.count() >= framesAtReplug + 3 && view(w)->hasScaledContents(); }));
    ASSERT_NE(A::stream(w), nullptr);
    EXPECT_TRUE(A::stream(w)->isRunning());
    EXPECT_TRUE(view(w)->hasScaledContents());
    EXPECT_FALSE(A::task(w));
    stranger.unplug();
}

TEST_F(PresenceTest, OneInstallationWhileItRunsAndNoCameraCancelsIt)
{
    FakeInstallerScope installer({[] { FakeAttempt a; a.block = true; a.listResult = -4; return a; }()});
    testsupport::LogCapture log;
    MainWindow w;
    vcam::VirtualCamera cam(*g_bus, camera(0x2CE3, vcam::Layout::SingleVendorSetting));
    cam.plug();  // interface 1 is missing: the pass starts an installation
    ASSERT_TRUE(waitUntil([&] { return A::taskRunning(w) && installer.created() == 1; }))
        << log.lines().join('\n').toStdString();
    EXPECT_EQ(log.exact(QStringLiteral("m_Mounting_Driver 任务没有开始处理 701")), 1);
    EXPECT_EQ(A::installing(w), 1);
    EXPECT_TRUE(A::restartPending(w));

    for (int i = 0; i < 5; ++i)
        A::devicesChanged(w);
    EXPECT_EQ(log.exact(QStringLiteral("m_Mounting_Driver 任务处理中")), 5);
    EXPECT_EQ(installer.created(), 1);
    EXPECT_TRUE(A::taskRunning(w));

    cam.unplug();  // no camera: the task is cancelled and waited for
    ASSERT_TRUE(waitUntil([&] { return !A::task(w); }));
    EXPECT_GE(log.exact(QStringLiteral("m_Mounting_Driver is null 774")), 1);
    EXPECT_EQ(A::installing(w), 0);
    EXPECT_TRUE(showsNoCamera(w));

    // The installation thread still waits in the installer; its failure ends in the no-camera picture.
    installer.script->open();
    ASSERT_TRUE(waitUntil([&] { return !A::installThread(w); }));
    EXPECT_EQ(log.count(QStringLiteral("slots_ThreadInDrive_In_Error 错误返回 : 驱动安装错误1")), 1);
    EXPECT_TRUE(showsNoCamera(w));
    EXPECT_EQ(installer.created(), 1);
}

TEST_F(PresenceTest, InstallationOutcomes)
{
    struct Case {
        const char *name;
        std::vector<FakeAttempt> attempts;
        const char *reported;
        bool noCamera;     // the picture at the end
        bool taskCleared;  // the end report forgets the task; an error leaves it
    };
    FakeAttempt ok;
    FakeAttempt none;
    none.listResult = -4;
    FakeAttempt denied;
    denied.installResult = -14;
    const std::vector<Case> cases = {
        {"first attempt finds nothing", {none}, "slots_ThreadInDrive_In_Error 错误返回 : 驱动安装错误1", true, false},
        {"second attempt refused", {ok, denied}, "slots_ThreadInDrive_In_Error 错误返回 : 驱动安装错误2", true, false},
        {"both attempts succeed", {ok, ok}, "slots_ThreadInDrive_In_End 结束", false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeInstallerScope installer(c.attempts);
        testsupport::LogCapture log;
        MainWindow w;
        vcam::VirtualCamera cam(*g_bus, camera(0x0329, vcam::Layout::SingleVendorSetting));
        cam.plug();
        ASSERT_TRUE(waitUntil([&] { return log.count(QString::fromUtf8(c.reported)) == 1 && !A::installThread(w); }))
            << log.lines().join('\n').toStdString();
        ASSERT_TRUE(waitUntil([&] { return !A::taskRunning(w); }));
        EXPECT_EQ(A::installing(w), 0);
        EXPECT_EQ(A::task(w), !c.taskCleared);
        if (c.noCamera) {
            EXPECT_TRUE(showsNoCamera(w));
            EXPECT_TRUE(A::restartPending(w));
        } else {
            EXPECT_EQ(view(w)->text(), QStringLiteral("安装完成,请重新插拔设备!"));
            EXPECT_FALSE(A::restartPending(w));
            EXPECT_EQ(log.exact(QStringLiteral(" ~ThreadInDrive 完成释放  ")), 1);
        }
        cam.unplug();
        ASSERT_TRUE(waitUntil([&] { return !A::task(w) && showsNoCamera(w); }));
    }
}

TEST_F(PresenceTest, ProgressCountsPeriodsThenTheTaskGivesUp)
{
    FakeInstallerScope installer({[] { FakeAttempt a; a.block = true; return a; }()});
    QObject gui;
    QStringList texts;
    QLabel *label = nullptr;
    clock.onPeriod = [&](int n) {
        // Posted behind the progress text of this period, so it reads that text.
        QMetaObject::invokeMethod(&gui, [&] { texts << label->text(); }, Qt::QueuedConnection);
        if (n == 100)
            installer.script->open();
    };
    testsupport::LogCapture log;
    MainWindow w;
    label = view(w);
    vcam::VirtualCamera cam(*g_bus, camera(0x2CE3, vcam::Layout::SingleVendorSetting));
    cam.plug();
    ASSERT_TRUE(waitUntil([&] { return clock.periods == 100 && !A::taskRunning(w) && !A::installThread(w); }))
        << log.lines().join('\n').toStdString();
    QTest::qWait(50);
    ASSERT_EQ(texts.size(), 100);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(texts[i], QStringLiteral("安装驱动中(%1)").arg(i));
    EXPECT_EQ(label->text(), QStringLiteral("安装完成,请重新插拔设备!"));
    EXPECT_EQ(A::installing(w), 0);
    EXPECT_EQ(A::runs(w), 1);
    EXPECT_EQ(installer.created(), 2);  // the thread, let go at the end, made both attempts
    cam.unplug();
    ASSERT_TRUE(waitUntil([&] { return !A::task(w); }));
}

TEST_F(PresenceTest, ThirdRunAfterTwoFailedStreamsOnlyShowsTheRestartHint)
{
    struct Case {
        const char *version;
        bool hint;
    };
    for (const Case &c : {Case{"6.1", true}, Case{"XP", true}, Case{"10", false}}) {
        SCOPED_TRACE(c.version);
        FakeAttempt none;
        none.listResult = -4;
        FakeInstallerScope installer({none});
        viscana::device::setProductVersion(QString::fromLatin1(c.version));
        testsupport::LogCapture log;
        MainWindow w;
        vcam::VirtualCamera cam(*g_bus, camera(0x3301, vcam::Layout::SingleVendorSetting));
        cam.plug();
        auto settled = [&] { return A::task(w) && !A::taskRunning(w) && !A::installThread(w); };
        ASSERT_TRUE(waitUntil(settled));
        EXPECT_EQ(A::runs(w), 1);

        // The stream fails again: its end report starts the next run and keeps counting.
        A::forgetTask(w);
        A::streamReport(w, 1);
        EXPECT_EQ(log.exact(QStringLiteral("m_Mounting_Driver 任务没有开始处理 583")), 1);
        ASSERT_TRUE(waitUntil(settled));
        EXPECT_EQ(A::runs(w), 2);
        EXPECT_EQ(installer.created(), 2);

        A::forgetTask(w);
        A::streamReport(w, 1);
        ASSERT_TRUE(waitUntil([&] { return A::task(w) && !A::taskRunning(w); }));
        QTest::qWait(20);
        EXPECT_EQ(log.exact(QStringLiteral("  m_InDriveNumber:  2")), 1);
        EXPECT_EQ(log.exact(QStringLiteral("Windows 8 以下")), c.hint ? 1 : 0);
        if (c.hint) {
            EXPECT_EQ(view(w)->text(), QStringLiteral("当前系统版本比较旧,\n驱动安装完成，请重启!"));
        }
        EXPECT_EQ(installer.created(), 2);  // no installation in this run
        EXPECT_EQ(A::runs(w), 2);
        cam.unplug();
        ASSERT_TRUE(waitUntil([&] { return !A::task(w); }));
    }
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    g_bus = new vcam::VirtualUsbBus;  // before anything in the process touches udev or libusb
    int r = 0;
    {
        QApplication app(argc, argv);
        r = RUN_ALL_TESTS();
    }
    delete g_bus;
    return r;
}
