// What the main window tells the user besides the live view: short notices over it when something
// went wrong (a photo or recording not written, pictures that cannot be shown, captures moved to the
// Pictures folder), the keys for the capture controls, and the tooltips of the icon buttons.
#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "about_ui.h"
#include "capture_files.h"
#include "mp4_writer.h"
#include "notice_bar.h"
#include "thread_usb.h"

#include <QDebug>
#include <QDir>
#include <QShortcut>
#include <QTimer>

namespace {

const char *const kPhotoNoSpace = QT_TRANSLATE_NOOP("MainWindow", "照片未保存: 磁盘空间不足。");
const char *const kPhotoNoPermission = QT_TRANSLATE_NOOP("MainWindow", "照片未保存: 没有写入权限。");
const char *const kPhotoFailed = QT_TRANSLATE_NOOP("MainWindow", "照片未保存。");
const char *const kRecordNoSpace = QT_TRANSLATE_NOOP("MainWindow", "无法开始录像: 磁盘空间不足。");
const char *const kRecordNoPermission = QT_TRANSLATE_NOOP("MainWindow", "无法开始录像: 没有写入权限。");
const char *const kRecordFailed = QT_TRANSLATE_NOOP("MainWindow", "无法开始录像。");
const char *const kRecordStoppedNoSpace =
    QT_TRANSLATE_NOOP("MainWindow", "录像已提前停止: 磁盘空间不足。已录制的部分已保存。");
const char *const kRecordStopped = QT_TRANSLATE_NOOP("MainWindow", "录像已提前停止。已录制的部分已保存。");
const char *const kFramesNotShown = QT_TRANSLATE_NOOP("MainWindow", "摄像头有数据传来, 但画面无法显示。");
const char *const kFallbackFolder =
    QT_TRANSLATE_NOOP("MainWindow", "程序文件夹不可写入, 照片和录像将保存到:\n%1");

const char *const kTipPhoto = QT_TRANSLATE_NOOP("MainWindow", "拍照 (空格键)");
const char *const kTipRecord = QT_TRANSLATE_NOOP("MainWindow", "开始录像 (R)");
const char *const kTipStop = QT_TRANSLATE_NOOP("MainWindow", "停止录像 (R)");
const char *const kTipPause = QT_TRANSLATE_NOOP("MainWindow", "暂停录像 (P)");
const char *const kTipResume = QT_TRANSLATE_NOOP("MainWindow", "继续录像 (P)");
const char *const kTipCountdownOff = QT_TRANSLATE_NOOP("MainWindow", "倒计时: 关 (T)");
const char *const kTipCountdown = QT_TRANSLATE_NOOP("MainWindow", "倒计时: %1 秒 (T)");
const char *const kTipAbout = QT_TRANSLATE_NOOP("MainWindow", "关于");
const char *const kTipMinimise = QT_TRANSLATE_NOOP("MainWindow", "最小化");
const char *const kTipMaximise = QT_TRANSLATE_NOOP("MainWindow", "最大化");
const char *const kTipClose = QT_TRANSLATE_NOOP("MainWindow", "关闭");
const char *const kTipNewest = QT_TRANSLATE_NOOP("MainWindow", "最新拍摄: %1\n单击打开所在文件夹");
const char *const kTipNoCapture = QT_TRANSLATE_NOOP("MainWindow", "还没有照片或录像");

// Data for this long without a picture shown makes the notice.
constexpr int kNoPictureMs = 2000;
constexpr int kFrameWatchMs = 500;

}  // namespace

void MainWindow::setUpNoticesAndKeys()
{
    m_notice = new NoticeBar(ui->label_showImage);

    // Keys of the capture controls. The buttons take no keyboard focus, so Space never presses
    // whichever button was clicked last.
    for (QPushButton *button : findChildren<QPushButton *>())
        button->setFocusPolicy(Qt::NoFocus);
    const auto bind = [this](const QKeySequence &key, auto action) {
        auto *shortcut = new QShortcut(key, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    bind(QKeySequence(Qt::Key_Space), [this] { pressIfOffered(ui->pushButton_3); });
    bind(QKeySequence(Qt::Key_R), [this] {
        if (ui->pushButton_7->isVisible())
            pressIfOffered(ui->pushButton_7);
        else
            pressIfOffered(ui->pushButton_story);
    });
    bind(QKeySequence(Qt::Key_P), [this] { pressIfOffered(ui->pushButton_9); });
    bind(QKeySequence(Qt::Key_T), [this] { pressIfOffered(ui->pushButton_2); });
    bind(QKeySequence(Qt::Key_Escape), [this] { closeAboutPanel(); });

    // The tooltips that follow the state are refreshed as they are asked for.
    for (QWidget *widget : {static_cast<QWidget *>(ui->pushButton_2), static_cast<QWidget *>(ui->pushButton_9),
                            static_cast<QWidget *>(ui->label_3)})
        widget->installEventFilter(this);
    ui->pushButton_3->setToolTip(tr(kTipPhoto));
    ui->pushButton_story->setToolTip(tr(kTipRecord));
    ui->pushButton_7->setToolTip(tr(kTipStop));
    ui->pushButton->setToolTip(tr(kTipAbout));
    ui->pushButton_Mix->setToolTip(tr(kTipMinimise));
    ui->pushButton_MAX->setToolTip(tr(kTipMaximise));
    ui->pushButton_6->setToolTip(tr(kTipClose));
    refreshToolTips();

    m_frameWatch = new QTimer(this);
    m_frameWatch->setInterval(kFrameWatchMs);
    connect(m_frameWatch, &QTimer::timeout, this, &MainWindow::watchFramesShown);
    m_frameWatch->start();
}

void MainWindow::pressIfOffered(QPushButton *button)
{
    if (button->isVisible() && button->isEnabled())
        button->click();
}

void MainWindow::notify(const QString &text)
{
    qDebug().noquote() << "notice:" << text;
    if (m_notice)
        m_notice->showNotice(text);
}

void MainWindow::notifyPhotoNotSaved(int failure)
{
    switch (static_cast<capture::WriteFailure>(failure)) {
    case capture::WriteFailure::NoSpace:
        notify(tr(kPhotoNoSpace));
        break;
    case capture::WriteFailure::NoPermission:
        notify(tr(kPhotoNoPermission));
        break;
    default:
        notify(tr(kPhotoFailed));
        break;
    }
}

void MainWindow::notifyRecordingFailure(bool started, int failure)
{
    const auto why = static_cast<Mp4Writer::Failure>(failure);
    if (started) {
        notify(tr(why == Mp4Writer::Failure::NoSpace ? kRecordStoppedNoSpace : kRecordStopped));
        return;
    }
    if (why == Mp4Writer::Failure::NoSpace)
        notify(tr(kRecordNoSpace));
    else if (why == Mp4Writer::Failure::NoPermission)
        notify(tr(kRecordNoPermission));
    else
        notify(tr(kRecordFailed));
}

void MainWindow::notifyFallbackFolder()
{
    const QString folder = capture::takeFallbackNotice();
    if (!folder.isEmpty())
        notify(tr(kFallbackFolder).arg(QDir::toNativeSeparators(folder)));
}

void MainWindow::onRecordingFailed(uint workId, int failure)
{
    if (!m_videoWorkIds.contains(workId))
        return;
    qCritical() << "recording stopped early, work id:" << workId;
    // The recording has finished its file with what it holds; the window goes back to photos.
    stopRecording();
    ui->pushButton_2->setEnabled(true);
    ui->pushButton_2->show();
    m_captureMode = 1;
    notifyRecordingFailure(true, failure);
}

void MainWindow::watchFramesShown()
{
    ThreadUSB *stream = M_thread.data();
    if (stream != m_watchedStream) {
        // A new stream (or none): it gets its own two seconds.
        m_watchedStream = stream;
        m_sinceFrame.start();
        m_bytesAtFrame = m_bytesAtTick = stream ? stream->bytesRead() : 0;
        m_framesNoticeShown = false;
        return;
    }
    if (!stream)
        return;
    const quint64 bytes = stream->bytesRead();
    if (hasLiveFrame() && m_liveFrameShown) {
        // A picture was shown since the last look.
        m_liveFrameShown = false;
        m_sinceFrame.start();
        m_bytesAtFrame = bytes;
        m_framesNoticeShown = false;
    }
    const bool arriving = bytes != m_bytesAtTick;
    m_bytesAtTick = bytes;
    if (!m_framesNoticeShown && arriving && bytes != m_bytesAtFrame && m_sinceFrame.elapsed() >= kNoPictureMs) {
        m_framesNoticeShown = true;
        qWarning() << "stream data without a picture to show for" << m_sinceFrame.elapsed() << "ms";
        notify(tr(kFramesNotShown));
    }
}

void MainWindow::refreshToolTips()
{
    ui->pushButton_2->setToolTip(m_Time_Number == 0 ? tr(kTipCountdownOff) : tr(kTipCountdown).arg(m_Time_Number));
    ui->pushButton_9->setToolTip(m_recordState == 1 ? tr(kTipResume) : tr(kTipPause));
    const QString newest = ui->label_Path->text();
    ui->label_3->setToolTip(newest.isEmpty() ? tr(kTipNoCapture)
                                             : tr(kTipNewest).arg(QDir::toNativeSeparators(newest)));
}
