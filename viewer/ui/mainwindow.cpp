#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "access.h"
#include "camera_ids.h"
#include "image_conver_module.h"
#include "live_view.h"
#include "platform_info.h"
#include "termination.h"
#include "thread_usb.h"
#include "usb_listener.h"
#include "window_icons.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QGraphicsDropShadowEffect>
#include <QMouseEvent>
#include <QSysInfo>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// Texts of the live-view label for a process that cannot reach the camera.
const char *const kAdministratorHint = QT_TRANSLATE_NOOP("MainWindow", "请右键管理员启动!");
const char *const kAccessRuleHint =
    QT_TRANSLATE_NOOP("MainWindow", "没有访问摄像头的权限!\n请以 root 身份启动, 或安装摄像头访问规则 (见 README)。");

}  // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      m_usbListener(nullptr),
      m_threadInDrive(nullptr),
      m_timeThread(nullptr),
      m_streamRestartPending(true),
      m_driverInstalling(0),
      m_Countdown_Number(0),
      m_Time_Number(0),
      m_aboutUi(nullptr),
      m_showTime(nullptr),
      m_vid(0),
      m_pid(0),
      m_InDriveNumber(0),
      m_captureMode(0),
      m_recordState(0),
      m_Mounting_Driver(nullptr)
{
    ui->setupUi(this);
    // The button icons are read from the working folder; a window started elsewhere uses the
    // compiled-in pictures.
    ui->pushButton_Mix->setIcon(workingFolderIcon(QStringLiteral("min.png")));
    ui->pushButton_6->setIcon(workingFolderIcon(QStringLiteral("close.png")));

    qDebug() << "Operating System:" << QSysInfo::prettyProductName();
    qDebug() << "System Version:" << QSysInfo::productVersion();
    qDebug() << "Architecture:" << QSysInfo::currentCpuArchitecture();
    qDebug() << "Kernel Type:" << QSysInfo::kernelType();
    qDebug() << "Kernel Version:" << QSysInfo::kernelVersion();

    m_usbListener = new usb_listener;
    QCoreApplication::instance()->installNativeEventFilter(m_usbListener);
    connect(m_usbListener, SIGNAL(signals_DevicePlugIn()), this, SLOT(slots_USBInsertionMessage()));
    connect(m_usbListener, SIGNAL(signals_DevicePlugOut()), this, SLOT(slots_USBUnplugMessage()));

    ImageConverModule *converter = ImageConverModule::instance();
    connect(converter, &ImageConverModule::newImage, this, &MainWindow::updateImageSlot);
    connect(converter, &ImageConverModule::ButtonPhoto, this, &MainWindow::HomeButtonPhoto);

    m_devices.clear();
    ui->label_showImage->setScaledContents(true);
    m_liveView = new LiveView(ui->label_showImage, converter);

    ui->comboBox->hide();
    ui->btnscan->hide();
    ui->pushButton_MAX->hide();
    ui->pushButton_5->hide();
    ui->pushButton_4->hide();
    ui->btnCameraCtrl->hide();
    ui->pushButton_8->hide();
    ui->label_Path->hide();
    ui->pushButton_9->hide();

    m_streamRestartPending = true;
    KillProcess(QStringLiteral("installer_x64.exe"));
    KillProcess(QStringLiteral("installer_x86.exe"));
    KillProcess(QStringLiteral("install-filter.exe"));

    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::FramelessWindowHint);
    setStyleSheet(QStringLiteral("background-color: #000000;"));
    setWindowIcon(QIcon(QStringLiteral(":/img/camera.ico")));

    // Configured for the window's frame; not attached to a widget, since a frameless translucent
    // window draws no frame to cast it.
    auto *shadow = new QGraphicsDropShadowEffect(this);
    shadow->setOffset(0, 0);
    shadow->setColor(QColor(QStringLiteral("#444444")));
    shadow->setBlurRadius(20);

    m_Countdown_Number = 0;
    m_Time_Number = 0;
    ui->label_showImage->setAttribute(Qt::WA_TranslucentBackground);
    ui->label_showImage->update();
    ui->label_3->installEventFilter(this);
    ui->label_Path->setText(QString());
    m_aboutUi = nullptr;
    m_showTime = nullptr;
    m_threadInDrive = nullptr;
    m_timeThread = nullptr;
    m_Mounting_Driver = nullptr;
    m_vid = 0;
    m_pid = 0;
    m_InDriveNumber = 0;
    m_driverInstalling = 0;

    const int admin = isAdministrator();
    qDebug() << " IsAdministrator()  : " << admin;
    if (admin != 1) {
        qDebug() << "不是管理员启动APP!";
        qDebug() << " 不是管理员启动:";
        const bool rule = viscana::platform::accessHint() == viscana::platform::AccessHint::InstallAccessRule;
        ui->label_showImage->setText(tr(rule ? kAccessRuleHint : kAdministratorHint));
    }

    if (ScanDiverNumber() > 0 && admin == 1) {
        qDebug() << "有设备并且是管理员启动";
        const QString vid = QStringLiteral("VID_%1").arg(m_vid, 4, 16, QLatin1Char('0'));
        const QString pid = QStringLiteral("PID_%1").arg(m_pid, 4, 16, QLatin1Char('0'));
        Q_UNUSED(pid)
        qDebug() << (CheckDeviceDriver(vid, QStringLiteral("0000")) ? "驱动程序已安装1" : "驱动程序未安装1");
        if (CheckDeviceDriver(vid, QStringLiteral("0001"))) {
            qDebug() << "驱动程序已安装2";
            if (M_thread.isNull()) {
                qDebug() << "M_thread_in_Image-----------------226";
                startStreamThread(false);
                m_streamRestartPending = false;
            }
        } else {
            qDebug() << "驱动程序未安装2";
            qDebug() << "没有获取到设备句柄表示没有安装驱动开始安装";
            if (m_Mounting_Driver) {
                qDebug() << "m_Mounting_Driver 任务处理中";
            } else {
                qDebug() << "m_Mounting_Driver 任务没有开始处理 224";
                m_driverInstalling = 1;
                m_streamRestartPending = true;
                m_Mounting_Driver = new QFuture<void>(QtConcurrent::run(this, &MainWindow::InstallDriverTask));
            }
        }
    }

    setUpNoticesAndKeys();
    showNewestCapture();
    notifyFallbackFolder();
    // SIGINT and SIGTERM close the window like its close button, so no recording is lost.
    viscana::platform::onTerminationRequest(this, [this] { close(); });

    m_captureMode = 1;
    ui->pushButton_9->hide();
    ui->pushButton_7->hide();
    ui->label_TimeNumber->hide();
    ui->label_5->hide();
}

MainWindow::~MainWindow()
{
    onWindowDestroyed();
    // An installation task still running works on this window: end its wait and let it finish.
    m_driverInstalling = 0;
    if (m_Mounting_Driver) {
        m_Mounting_Driver->waitForFinished();
        delete m_Mounting_Driver;
        m_Mounting_Driver = nullptr;
    }
    if (m_usbListener) {
        QCoreApplication::instance()->removeNativeEventFilter(m_usbListener);
        delete m_usbListener;
        m_usbListener = nullptr;
    }
    delete ui;
}

int MainWindow::isAdministrator()
{
    std::vector<std::wstring> ids;
    for (const QString &id : g_CameraIdList)
        ids.push_back(id.toStdWString());
    return viscana::platform::isAdministrator(ids);
}

void MainWindow::startStreamThread(bool watchImages)
{
    M_thread = QSharedPointer<ThreadUSB>(new ThreadUSB(this, m_vid, m_pid));
    connect(M_thread.data(), &QThread::finished, this, &MainWindow::onM_thread_ThreadFinished);
    if (watchImages)
        connect(M_thread.data(), &ThreadUSB::signals_In_Image, this, &MainWindow::slots_In_Image);
    M_thread->start(QThread::InheritPriority);
}

void MainWindow::stopStreamThread()
{
    if (M_thread.isNull())
        return;
    if (M_thread->isRunning()) {
        qDebug() << "M_thread_in_Image 开始关闭线程";
        M_thread->stopStream();
        M_thread->wait();
    }
    M_thread.clear();
    ui->label_showImage->clear();
}

void MainWindow::onWindowDestroyed()
{
    if (M_thread.isNull())
        return;
    M_thread->pause();
    qDebug() << "开始关闭线程";
    M_thread.clear();
}

void MainWindow::showNoCamera()
{
    m_liveFrame = false;
    ui->label_showImage->setPixmap(QPixmap(QStringLiteral(":/img/NoUSB.png")));
    ui->label_showImage->setScaledContents(false);
}

void MainWindow::showNewestCapture()
{
    // Where photos go: beside the program, or under Pictures when that folder is read-only.
    const QString folder = captureFolder(QStringLiteral("Camera"));
    qDebug() << "子文件夹路径：" << folder;
    const QStringList files = QDir(folder).entryList({QStringLiteral("*.jpg"), QStringLiteral("*.png")}, QDir::Files,
                                                     QDir::Time);
    if (files.isEmpty()) {
        qDebug() << "子文件夹中没有符合条件的文件。";
        return;
    }
    qDebug() << "最新文件名：" << files.first();
    showThumbnailOf(folder, files);
}

bool MainWindow::showThumbnailOf(const QString &folder, const QStringList &files)
{
    // A picture that cannot be read (cut short by an earlier version on a full disk) is passed over.
    for (const QString &name : files) {
        const QString path = folder + QLatin1Char('/') + name;
        const QPixmap picture(path);
        if (picture.isNull()) {
            qWarning().noquote() << "capture cannot be read, not shown as the thumbnail:" << path;
            continue;
        }
        ui->label_Path->setText(path);
        ui->label_3->setPixmap(picture.scaled(100, 100, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        return true;
    }
    return false;
}

void MainWindow::on_btnCameraCtrl_clicked()
{
    if (M_thread.isNull())
        qDebug() << "M_thread_in_Image-----------------800";
}

void MainWindow::on_btnscan_clicked()
{
    QStringList paths;
    QString error;
    GetUsbDevicePaths(paths, error);
    for (const QString &path : paths) {
        qDebug() << path;
        const QString key = path.toUpper();
        for (const QString &id : g_CameraIdList) {
            if (key.contains(id)) {
                m_devices.insert(key, ParseDevicePath(path));
                break;
            }
        }
    }
    ui->comboBox->clear();
    for (auto it = m_devices.constBegin(); it != m_devices.constEnd(); ++it) {
        qDebug() << it.key() + QStringLiteral(": ") + it.value().instance;
        ui->comboBox->addItem(it.key());
    }
}

void MainWindow::onM_thread_ThreadFinished()
{
    qDebug() << "onM_thread_ThreadFinished M_thread  完全退出";
    // A stream thread that a presence pass has already ended and released: the live view was handled
    // there. Unless a new stream has taken its place, a recording it fed ends now, as at any stream end.
    QObject *from = sender();
    if (from && from != M_thread.data()) {
        if (M_thread.isNull() && m_timeThread)
            emit signal_USB_deviceExists_If();
        return;
    }
    stopStreamThread();
    showNoCamera();
    if (m_timeThread)
        emit signal_USB_deviceExists_If();
}

void MainWindow::on_pushButton_4_clicked()
{
    if (!M_thread.isNull())
        M_thread->pause();
}

void MainWindow::on_pushButton_5_clicked()
{
    if (!M_thread.isNull())
        M_thread->resume();
}

void MainWindow::on_pushButton_6_clicked()
{
    // Hides the window and finishes every recording first (see closeSequence).
    closeSequence();
    // The stream ends while the event loop winds down; the window's destructor waits for it.
    if (!M_thread.isNull())
        M_thread->stopStream();
    QApplication::exit(0);
}

void MainWindow::on_pushButton_Mix_clicked()
{
    showMinimized();
}

void MainWindow::updateImageSlot(QPixmap pixMap)
{
    // A picture converted from the last frames of a stream that has ended arrives after the stream's
    // end; it must not cover the no-camera picture again.
    if (M_thread.isNull())
        return;
    // Live frames fill the label; the no-camera picture before them was shown at its natural size.
    if (!ui->label_showImage->hasScaledContents())
        ui->label_showImage->setScaledContents(true);
    ui->label_showImage->setPixmap(pixMap);
    // Once per stream: the log tells that the camera's picture reached the window.
    if (!m_liveFrame && !pixMap.isNull())
        qDebug() << "live view: first picture" << pixMap.width() << "x" << pixMap.height();
    m_liveFrame = !pixMap.isNull();
    m_liveFrameShown = m_liveFrameShown || m_liveFrame;
}

void MainWindow::on_pushButton_8_clicked()
{
}
