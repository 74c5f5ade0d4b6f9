// The capture controls of the main window: photos (at once, after a countdown, from the camera's
// button), the countdown selector, recordings with their clock, the thumbnail of the newest capture,
// and the end of every recording before the window closes.
#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "capture_files.h"
#include "capture_styles.h"
#include "countdown_clock.h"
#include "image_conver_module.h"
#include "live_view.h"
#include "show_time.h"
#include "thread_time_qlabel.h"
#include "video_frames.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QThread>

namespace {

const QString kCameraFolder = QStringLiteral("Camera");
// How long closing waits for the recordings' files to be finished.
constexpr int kCloseWaitMs = 5000;

}  // namespace

void MainWindow::setCountdownClock(std::unique_ptr<CountdownClock> clock)
{
    m_countdownClock = std::move(clock);
}

QString MainWindow::captureFolder(const QString &sub)
{
    return capture::captureFolder(sub);
}

bool MainWindow::hasLiveFrame() const
{
    return m_liveFrame && !labelPixmap(ui->label_showImage).isNull();
}

int MainWindow::savePhoto(const QString &path)
{
    if (!hasLiveFrame()) {
        // Before the first frame (or after the stream ended) the label holds no camera picture.
        qDebug() << "没有打开摄像头";
        return -1;
    }
    const QImage shown = m_liveView->fullFrame();
    qDebug() << "宽度：" << shown.width();
    qDebug() << "高度：" << shown.height();
    QString why;
    const capture::WriteFailure failure = capture::writePhoto(shown, path, &why);
    if (failure != capture::WriteFailure::None) {
        // Nothing is left at `path`: the picture was written to a temporary file that is gone again.
        qCritical().noquote() << "photo not written:" << path << why;
        notifyPhotoNotSaved(static_cast<int>(failure));
        return -1;
    }
    return 0;
}

void MainWindow::takePhotoNow(bool afterCountdown)
{
    const QString folder = captureFolder(kCameraFolder);
    notifyFallbackFolder();
    if (folder.isEmpty()) {
        // captureFolder has logged why
        notifyPhotoNotSaved(static_cast<int>(capture::WriteFailure::NoPermission));
        return;
    }
    const QString path = capture::capturePath(folder, QDateTime::currentDateTime(), QStringLiteral("jpg"));
    if (afterCountdown)
        qDebug() << "save:" << path;
    else
        qDebug() << path;
    if (savePhoto(path) != 0)
        return;  // no file: the thumbnail keeps showing the previous capture
    ui->label_Path->setText(QString());
    const QPixmap thumb =
        QPixmap(path).scaled(100, 100, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    ui->label_Path->setText(path);
    ui->label_3->setPixmap(thumb);
    if (!afterCountdown)
        qDebug() << ui->label_Path->text();
}

void MainWindow::on_pushButton_2_clicked()
{
    if (!hasLiveFrame()) {
        qDebug() << "相机没打开";
        return;
    }
    ++m_Countdown_Number;
    switch (m_Countdown_Number) {
    case 1:
        m_Time_Number = 2;
        break;
    case 2:
        m_Time_Number = 5;
        break;
    case 3:
        m_Time_Number = 10;
        break;
    default:
        m_Countdown_Number = 0;
        m_Time_Number = 0;
        break;
    }
    ui->pushButton_2->setStyleSheet(capture_styles::countdownButtonStyle(m_Time_Number));
}

void MainWindow::on_pushButton_3_clicked()
{
    if (M_thread.isNull())
        return;
    if (m_captureMode != 1) {
        ui->pushButton_2->setEnabled(true);
        ui->pushButton_2->show();
        m_captureMode = 1;
        ui->label_TimeNumber->hide();
        ui->label_5->hide();
    }
    qDebug() << "第二次进来功能实现:";
    qDebug() << "按钮点击次数 m_Countdown_Number:" << m_Countdown_Number;
    qDebug() << "需要倒计时秒数 m_Time_Number:" << m_Time_Number;
    if (!hasLiveFrame())
        return;
    if (m_showTime) {
        // A second press cancels the countdown; the waiting takeCountdownPhoto sees the overlay gone.
        m_showTime->setProgressText(QString(), m_Time_Number);
        delete m_showTime;
        m_showTime = nullptr;
        return;
    }
    if (m_Time_Number == 2 || m_Time_Number == 5 || m_Time_Number == 10) {
        takeCountdownPhoto(m_Time_Number);
        return;
    }
    takePhotoNow(false);
}

int MainWindow::takeCountdownPhoto(int seconds)
{
    delete m_showTime;
    m_showTime = new ShowTime(ui->label_showImage, seconds);
    m_showTime->setWindowModality(Qt::ApplicationModal);
    m_showTime->move(ui->label_showImage->x() + 80, ui->label_showImage->y());
    m_showTime->show();

    // The waits run the event loop: the window may be pressed, closed or destroyed meanwhile.
    QPointer<MainWindow> self(this);
    for (int i = 0; i <= seconds; ++i) {
        if (!m_showTime || m_closing)
            return -1;
        m_showTime->setProgressText(QString::number(seconds - i), seconds);
        m_countdownClock->wait(1000);
        if (!self)
            return -1;
        qDebug() << i;
    }
    if (!m_showTime || m_closing)
        return -1;
    m_showTime->setProgressText(QString(), m_Time_Number);
    delete m_showTime;
    m_showTime = nullptr;
    takePhotoNow(true);
    return 0;
}

void MainWindow::HomeButtonPhoto(int Mark)
{
    qDebug() << " 拍照返回 : " << Mark;
    if (!hasLiveFrame()) {
        qDebug() << "没有打开摄像头";
        return;
    }
    takePhotoNow(false);
}

void MainWindow::on_pushButton_story_clicked()
{
    if (M_thread.isNull())
        return;
    if (!hasLiveFrame()) {
        qDebug() << "相机没打开";
        return;
    }
    const QString folder = captureFolder(kCameraFolder);
    notifyFallbackFolder();
    if (folder.isEmpty()) {
        // Nowhere to write: no recording starts.
        notifyRecordingFailure(false, static_cast<int>(Mp4Writer::Failure::NoPermission));
        return;
    }

    // The file is created first: a recording that cannot write it shows no clock, dot or buttons.
    const QDateTime now = QDateTime::currentDateTime();
    const uint workId = now.toTime_t();
    const QString path = QStringLiteral("%1/%2.mp4").arg(folder, capture::captureBaseName(now));
    qDebug() << "录像:" << path;
    const QSize size = m_liveView->fullFrameSize();
    qDebug() << "宽度：" << size.width();
    qDebug() << "高度：" << size.height();
    ImageConverModule *converter = ImageConverModule::instance();
    Mp4Writer::Failure failure = Mp4Writer::Failure::None;
    const int started = converter->startVideoWork(path, size, static_cast<int>(workId), &failure);
    if (started == ImageConverModule::kFileNotCreated) {
        qCritical().noquote() << "recording not started, its file cannot be created:" << path;
        notifyRecordingFailure(false, static_cast<int>(failure));
        return;
    }
    if (started == static_cast<int>(workId)) {
        m_videoWorkIds.append(workId);
        if (const auto work = converter->videoWork(static_cast<int>(workId))) {
            // The thumbnail is made from the finished file, once the recording has closed it.
            connect(work.data(), &ConverToVideoModule::workFinish, this,
                    [this, path](uint) { slots_Main_finished(path); }, Qt::QueuedConnection);
            connect(work.data(), &ConverToVideoModule::workFailed, this, &MainWindow::onRecordingFailed,
                    Qt::QueuedConnection);
            // A failure reported before the connection was made is taken up all the same.
            if (work->failure() != Mp4Writer::Failure::None) {
                const int why = static_cast<int>(work->failure());
                QMetaObject::invokeMethod(this, [this, workId, why] { onRecordingFailed(workId, why); },
                                          Qt::QueuedConnection);
            }
        }
    }

    if (m_captureMode != 2) {
        ui->pushButton_3->setStyleSheet(capture_styles::photoButtonBlankStyle());
        ui->pushButton_3->setEnabled(false);
        m_captureMode = 2;
        ui->label_TimeNumber->show();
        ui->label_5->show();
        ui->label_5->setStyleSheet(capture_styles::dotPausedStyle());
    }
    ui->pushButton_3->setStyleSheet(QString());
    ui->pushButton_7->show();
    ui->pushButton_story->hide();
    // Pause and resume are offered beside the stop button while a recording runs.
    ui->pushButton_9->setStyleSheet(capture_styles::pauseButtonSuspendStyle());
    ui->pushButton_9->show();
    ui->label_TimeNumber->show();
    ui->label_5->show();
    m_recordState = 2;
    ui->label_5->setStyleSheet(capture_styles::dotRunningStyle());

    if (!m_timeThread) {
        m_timeThread = new Thread_TimeQlabel(ui->label_TimeNumber);
        connect(m_timeThread, &QThread::finished, this, &MainWindow::onThreadFinished);
        connect(m_timeThread, &QThread::finished, m_timeThread, &QObject::deleteLater);
        connect(m_timeThread, &Thread_TimeQlabel::signals_TimerText, this, &MainWindow::Slots_GetSetTimerText);
        connect(this, SIGNAL(signal_USB_deviceExists_If()), m_timeThread, SLOT(slots_USB_deviceExists_If()));
        m_timeThread->start(QThread::InheritPriority);
    }
    ui->label_Path->setText(path);
}

void MainWindow::on_pushButton_9_clicked()
{
    if (m_videoWorkIds.isEmpty() || !m_timeThread)
        return;  // nothing is recording
    ImageConverModule *converter = ImageConverModule::instance();
    if (m_recordState == 1) {
        converter->pauseVideoWork(static_cast<int>(m_videoWorkIds.first()), true);
        m_timeThread->resumeThread();
        m_recordState = 2;
        ui->pushButton_9->setStyleSheet(capture_styles::pauseButtonSuspendStyle());
        ui->label_5->setStyleSheet(capture_styles::dotRunningStyle());
    } else {
        converter->pauseVideoWork(static_cast<int>(m_videoWorkIds.first()), false);
        m_timeThread->pauseThread();
        m_recordState = 1;
        ui->pushButton_9->setStyleSheet(capture_styles::pauseButtonRecoverStyle());
        ui->label_5->setStyleSheet(capture_styles::dotPausedStyle());
    }
}

QList<uint> MainWindow::stopRecording()
{
    if (m_timeThread) {
        // A paused clock holds its tick lock; let it go so that it can end.
        m_timeThread->resumeThread();
        m_timeThread->requestStop();
        m_timeThread = nullptr;
    }
    QList<uint> stopped;
    ImageConverModule *converter = ImageConverModule::instance();
    while (!m_videoWorkIds.isEmpty()) {
        const uint id = m_videoWorkIds.takeFirst();
        // Running again first: a paused recording ignores a stop.
        converter->pauseVideoWork(static_cast<int>(id), true);
        converter->stopVideoWork(static_cast<int>(id));
        stopped << id;
    }
    ui->pushButton_9->hide();
    ui->pushButton_7->hide();
    ui->pushButton_story->show();
    ui->pushButton_3->setStyleSheet(capture_styles::photoButtonCameraStyle());
    ui->pushButton_3->show();
    ui->pushButton_3->setEnabled(true);
    ui->label_TimeNumber->hide();
    ui->label_5->hide();
    ui->label_5->setStyleSheet(capture_styles::dotStoppedStyle());
    ui->label_TimeNumber->setText(QStringLiteral("00:00"));
    return stopped;
}

void MainWindow::on_pushButton_7_clicked()
{
    stopRecording();
    // The thumbnail follows when the recording has finished its file (see on_pushButton_story_clicked).
}

void MainWindow::onThreadFinished()
{
    qDebug() << "main onThreadFinished Thread_TimeQlabel  完全退出";
    if (!m_timeThread || sender() != m_timeThread)
        return;  // the stop button released it already
    qDebug() << "  没有开录像不会来这里";
    m_timeThread = nullptr;
    stopRecording();
}

void MainWindow::Slots_GetSetTimerText(QString Text)
{
    ui->label_TimeNumber->setText(Text);
}

void MainWindow::slots_Main_finished(QString Mp4Path)
{
    // The thumbnail is the video's first picture at 100 x 100 (a photo's keeps its aspect ratio instead).
    const QImage image = videoThumbnail(Mp4Path, QSize(100, 100));
    if (image.isNull()) {
        qDebug() << "无法打开视频文件 " << Mp4Path;
        return;
    }
    ui->label_3->setPixmap(QPixmap::fromImage(image));
    ui->label_Path->setText(Mp4Path);
}

bool MainWindow::finishRecordings(int timeoutMs)
{
    const QList<uint> ids = stopRecording();
    if (ids.isEmpty())
        return true;
    ImageConverModule *converter = ImageConverModule::instance();
    QElapsedTimer waited;
    waited.start();
    auto running = [&] {
        for (uint id : ids) {
            if (converter->videoWork(static_cast<int>(id)))
                return true;
        }
        return false;
    };
    // The recordings finish in their own threads; the converter drops each one when it is done.
    while (running() && waited.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
        QThread::msleep(10);
    }
    const bool done = !running();
    if (done)
        qDebug() << "recordings finished before closing:" << ids.size();
    else
        qCritical() << "recordings not finished after" << timeoutMs << "ms; closing anyway";
    return done;
}

int MainWindow::closeWaitMs()
{
    return kCloseWaitMs;
}
