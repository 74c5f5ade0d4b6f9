// The window's reactions to devices coming and going: the presence pass after every device
// notification, and the check after the stream thread reports that its stream ended.

#include "mainwindow.h"

#include "camera_ids.h"
#include "thread_usb.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QPixmap>
#include <QtConcurrent/QtConcurrentRun>

void MainWindow::startDriverInstallation(const char *line, bool resetCount)
{
    if (m_Mounting_Driver) {
        qDebug() << "m_Mounting_Driver 任务处理中";
        return;
    }
    qDebug() << line;
    m_driverInstalling = 1;
    m_streamRestartPending = true;
    if (resetCount)
        m_InDriveNumber = 0;
    m_Mounting_Driver = new QFuture<void>(QtConcurrent::run(this, &MainWindow::InstallDriverTask));
}

void MainWindow::endStreamThread(const char *line, const char *runningLine)
{
    if (M_thread.isNull())
        return;
    qDebug() << line;
    // Its read reports from now on concern no current stream. Its end still reaches
    // onM_thread_ThreadFinished, which then stops a recording it was feeding: the camera's removal is
    // noticed here or by the stream thread, whichever comes first, and both must end the recording.
    disconnect(M_thread.data(), &ThreadUSB::signals_In_Image, this, nullptr);
    if (M_thread->isRunning()) {
        if (runningLine)
            qDebug() << runningLine;
        // The stream thread runs no event loop: it leaves its read loop when told to stop (at the latest
        // when its read times out, also for a camera that has gone).
        M_thread->stopStream();
        M_thread->wait();
    }
    // A report it made before it ended may still be on its way to this window; the object stays until
    // that report has been delivered, so that a new stream thread cannot take its address meanwhile.
    QSharedPointer<ThreadUSB> retired = M_thread;
    M_thread.clear();
    QMetaObject::invokeMethod(this, [retired]() {}, Qt::QueuedConnection);
    ui->label_showImage->clear();
}

void MainWindow::slots_USBInsertionMessage()
{
    qDebug() << "USB 插入 回调 ";
    QStringList paths;
    QString error;
    GetUsbDevicePaths(paths, error);
    m_devices.clear();

    for (const QString &path : paths) {
        qDebug() << path;
        const QString upper = path.toUpper();
        QString id;
        for (const QString &candidate : g_CameraIdList) {
            if (upper.contains(candidate)) {
                id = candidate;
                break;
            }
        }
        if (id.isEmpty())
            continue;
        const QString key = QStringLiteral("VID_") + id;
        if (!CheckDeviceDriver(key, QStringLiteral("0000"))) {
            qDebug() << "驱动程序未安装";
            startDriverInstallation("m_Mounting_Driver 任务没有开始处理 683", true);
            return;
        }
        qDebug() << "驱动程序已安装";
        if (!CheckDeviceDriver(key, QStringLiteral("0001"))) {
            qDebug() << "驱动程序未安装";
            startDriverInstallation("m_Mounting_Driver 任务没有开始处理 701", true);
            return;
        }
        qDebug() << "驱动程序已安装";
        const CameraDeviceInfo info = ParseDevicePath(path);
        m_devices.insert(path, info);
        qDebug() << "找到设备-----------------";
        m_vid = static_cast<uint16_t>(info.vid.section(QLatin1Char('_'), 1).toUInt(nullptr, 16));
        m_pid = static_cast<uint16_t>(info.pid.section(QLatin1Char('_'), 1).toUInt(nullptr, 16));
        if (M_thread.isNull()) {
            qDebug() << "M_thread_in_Image-----------------605";
            startStreamThread(true);
            return;
        }
        m_streamRestartPending = false;
    }

    if (!m_devices.isEmpty()) {
        // Every camera found has both drivers and a stream thread runs. After an installation the stream
        // is started anew.
        if (m_driverInstalling == 0)
            return;
        endStreamThread("开始关闭线程", "USB 插入 回调 开始关闭线程");
        qDebug() << "M_thread_in_Image-----------------655";
        startStreamThread(true);
        return;
    }

    endStreamThread("M_thread_in_Image 开始关闭线程", nullptr);
    showNoCamera();
    m_driverInstalling = 0;
    KillProcess(QStringLiteral("installer_x64.exe"));
    KillProcess(QStringLiteral("installer_x86.exe"));
    KillProcess(QStringLiteral("install-filter.exe"));
    endInstallTask("m_Mounting_Driver is null 774");
}

void MainWindow::slots_USBUnplugMessage()
{
    qDebug().noquote() << QString::fromLocal8Bit("USB 拔出 回调");
}

void MainWindow::slots_In_Image(int Error)
{
    if (Error == 0) {
        // A transfer was made, so the camera works: a running installation task stops waiting.
        m_driverInstalling = 0;
        return;
    }
    if (m_driverInstalling != 0)
        return;
    if (ScanDiverNumber() == 0)
        return;
    const QString key = QStringLiteral("VID_%1").arg(m_vid, 4, 16, QLatin1Char('0'));
    qDebug() << (CheckDeviceDriver(key, QStringLiteral("0000")) ? "驱动程序已安装" : "驱动程序未安装");
    if (CheckDeviceDriver(key, QStringLiteral("0001"))) {
        qDebug() << "驱动程序已安装";
        if (!M_thread.isNull() && m_streamRestartPending)
            endStreamThread("M_thread_in_Image 开始关闭线程", nullptr);
        if (!M_thread.isNull())
            return;
        qDebug() << "M_thread_in_Image-----------------530";
        m_streamRestartPending = false;
        return;
    }
    qDebug() << "驱动程序未安装";
    qDebug() << "没有获取到设备句柄表示没有安装驱动开始安装";
    startDriverInstallation("m_Mounting_Driver 任务没有开始处理 583", false);
}
