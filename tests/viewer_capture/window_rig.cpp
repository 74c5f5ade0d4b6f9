#include "window_rig.h"
#include "window_environment.h"

#include "capture_files.h"
#include "image_conver_module.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QProcess>
#include <QtTest/QTest>

namespace windowtest {

namespace {

testsupport::WindowEnvironment *const g_env = static_cast<testsupport::WindowEnvironment *>(
    ::testing::AddGlobalTestEnvironment(new testsupport::WindowEnvironment("viewer_capture")));

}  // namespace

vcam::VirtualUsbBus &bus()
{
    return g_env->bus();
}

void StepClock::wait(int ms)
{
    waits << ms;
    QCoreApplication::processEvents();
    if (onWait)
        onWait(waits.size());
}

OpenRecorder::OpenRecorder()
{
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
}

OpenRecorder::~OpenRecorder()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

VideoFacts probeVideo(const QString &path)
{
    VideoFacts facts;
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                {"-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                 "stream=codec_name,width,height,r_frame_rate,nb_read_frames", "-of", "default=noprint_wrappers=1",
                 path});
    if (!probe.waitForFinished(30000) || probe.exitCode() != 0) {
        ADD_FAILURE() << "ffprobe failed on " << path.toStdString() << ": "
                      << probe.readAllStandardError().toStdString();
        return facts;
    }
    for (const QString &line : QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
        const QString key = line.section('=', 0, 0).trimmed();
        const QString value = line.section('=', 1).trimmed();
        if (key == "codec_name")
            facts.codec = value;
        else if (key == "width")
            facts.width = value.toInt();
        else if (key == "height")
            facts.height = value.toInt();
        else if (key == "r_frame_rate")
            facts.frameRate = value;
        else if (key == "nb_read_frames")
            facts.frames = value.toInt();
    }
    facts.ok = !facts.codec.isEmpty();
    return facts;
}

void CaptureWindowTest::SetUp()
{
    ASSERT_TRUE(m_tmp.isValid());
    capture::setCaptureRoots(programDir(), picturesDir());
}

void CaptureWindowTest::TearDown()
{
    m_window.reset();
    QCoreApplication::processEvents();
    m_cam.reset();
    capture::setCaptureRoots(QString(), QString());
}

bool CaptureWindowTest::openWindow(bool withCamera)
{
    if (withCamera) {
        vcam::CameraConfig config;
        config.fps = 25;
        m_cam = std::make_unique<vcam::VirtualCamera>(bus(), config);
        m_cam->plug();
    }
    m_window = std::make_unique<MainWindow>();
    auto clock = std::make_unique<StepClock>();
    m_clock = clock.get();
    m_window->setCountdownClock(std::move(clock));
    m_window->show();
    if (!QTest::qWaitForWindowExposed(m_window.get()))
        return false;
    return !withCamera || waitForLiveFrame();
}

bool CaptureWindowTest::waitForLiveFrame(int timeoutMs)
{
    // A camera frame is 320 x 240; the no-camera picture is not.
    return QTest::qWaitFor(
        [&] { return picture("label_showImage").size() == QSize(320, 240); },
        timeoutMs);
}

QPixmap CaptureWindowTest::picture(const char *name) const
{
    return label(name)->pixmap(Qt::ReturnByValue);
}

QStringList CaptureWindowTest::captures(const QString &folder, const char *suffix) const
{
    return QDir(folder).entryList({QStringLiteral("*.") + QLatin1String(suffix)}, QDir::Files, QDir::Name);
}

}  // namespace windowtest
