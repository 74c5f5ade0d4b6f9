// The window's driver installation: ending leftover installer programs, the installation task that
// supervises one installation from a pool thread, and the slots that receive the installation
// thread's outcome.
//
// The task runs on the global thread pool while the GUI thread may wait for its future (the end slot
// and the presence pass do). So the task never waits for the GUI thread: every change to a widget, to
// the installation thread or to the stream thread is posted to the GUI thread and left to run there.

#include "mainwindow.h"

#include "device_clock.h"
#include "platform_info.h"
#include "thread_in_drive.h"
#include "thread_usb.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QPixmap>

namespace {

constexpr int kProgressPeriodMs = 700;
constexpr int kProgressPeriods = 100;
constexpr double kRestartHintVersion = 6.2;

template <typename F>
void postToGui(QObject *window, F &&f)
{
    QMetaObject::invokeMethod(window, std::forward<F>(f), Qt::QueuedConnection);
}

}  // namespace

void MainWindow::KillProcess(const QString &name)
{
    viscana::platform::killProcessByName(name);
}

void MainWindow::InstallDriverTask()
{
    if (m_InDriveNumber == 2) {
        // The stream failed twice after installations: on old systems a restart is what is missing.
        const double version = viscana::device::productVersion().toDouble();
        if (version <= kRestartHintVersion) {
            qDebug() << "Windows 8 以下";
            postToGui(this, [this]() {
                ui->label_showImage->setText(tr("当前系统版本比较旧,\n驱动安装完成，请重启!"));
            });
        }
        qDebug() << "  m_InDriveNumber: " << m_InDriveNumber.load();
        return;
    }

    postToGui(this, [this]() {
        if (m_threadInDrive)
            return;
        auto *thread = new ThreadInDrive(this, m_vid, m_pid);
        m_threadInDrive = thread;
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        connect(thread, SIGNAL(signals_In_Error(QString)), this, SLOT(slots_ThreadInDrive_In_Error(QString)));
        connect(thread, SIGNAL(signals_In_End()), this, SLOT(slots_ThreadInDrive_In_End()));
        // Whoever deletes it, the window never keeps a pointer to a deleted thread object.
        connect(thread, &QObject::destroyed, this, [this, thread]() {
            if (m_threadInDrive == thread)
                m_threadInDrive = nullptr;
        });
        thread->start(QThread::InheritPriority);
    });
    ++m_InDriveNumber;

    int i = 0;
    while (m_driverInstalling != 0) {
        postToGui(this, [this, i]() {
            // A progress report that arrives after the installation has ended is stale.
            if (m_driverInstalling != 0)
                ui->label_showImage->setText(tr("安装驱动中") + QStringLiteral("(%1)").arg(i));
        });
        viscana::device::clock().sleepMs(kProgressPeriodMs);
        ++i;
        if (!m_streamRestartPending) {
            qDebug() << "代表安装成功 停止这个线程";
            closeInstallTask();
            return;
        }
        if (i == kProgressPeriods) {
            closeInstallTask();
            postToGui(this, [this]() {
                if (M_thread.isNull())
                    qDebug() << "M_thread_in_Image----------------451-";
            });
            return;
        }
    }
}

void MainWindow::closeInstallTask()
{
    KillProcess(QStringLiteral("installer_x64.exe"));
    KillProcess(QStringLiteral("installer_x86.exe"));
    KillProcess(QStringLiteral("install-filter.exe"));
    postToGui(this, [this]() {
        // Cleared here, behind the progress texts still on their way, so that they are shown in turn.
        m_driverInstalling = 0;
        ui->label_showImage->setText(tr("安装完成,请重新插拔设备!"));
        endStreamThread("M_thread_in_Image 开始关闭线程", nullptr);
        endInstallThread();
    });
}

void MainWindow::endInstallThread()
{
    if (!m_threadInDrive)
        return;
    qDebug() << "开始关闭线程";
    ThreadInDrive *thread = m_threadInDrive;
    m_threadInDrive = nullptr;
    if (thread->isRunning()) {
        thread->quit();
        thread->wait();
    }
    // A thread object is deleted only once its thread has ended (its destructor waits as well).
    delete thread;
}

void MainWindow::endInstallTask(const char *line)
{
    if (!m_Mounting_Driver)
        return;
    qDebug() << line;
    m_Mounting_Driver->cancel();
    m_Mounting_Driver->waitForFinished();
    delete m_Mounting_Driver;
    m_Mounting_Driver = nullptr;
}

void MainWindow::slots_ThreadInDrive_In_End()
{
    qDebug() << "  slots_ThreadInDrive_In_End 结束 ";
    m_streamRestartPending = false;
    KillProcess(QStringLiteral("installer_x64.exe"));
    KillProcess(QStringLiteral("installer_x86.exe"));
    KillProcess(QStringLiteral("install-filter.exe"));
    m_driverInstalling = 0;
    ui->label_showImage->setText(tr("安装完成,请重新插拔设备!"));
    endInstallThread();
    if (M_thread.isNull())
        qDebug() << "M_thread_in_Image----------------451-";
    endInstallTask("m_Mounting_Driver is null 428");
}

void MainWindow::slots_ThreadInDrive_In_Error(QString Error)
{
    qDebug().noquote() << "  slots_ThreadInDrive_In_Error 错误返回 :" << Error;
    endInstallThread();
    if (!M_thread.isNull()) {
        disconnect(M_thread.data(), nullptr, this, nullptr);
        if (M_thread->isRunning()) {
            qDebug() << "M_thread_in_Image 开始关闭线程";
            M_thread->stopStream();
            M_thread->wait();
        }
        QSharedPointer<ThreadUSB> retired = M_thread;
        M_thread.clear();
        postToGui(this, [retired]() {});
        ui->label_showImage->clear();
    }
    m_driverInstalling = 0;
    viscana::device::clock().sleepMs(300);
    showNoCamera();
    // The task and the restart flag stay: no new installation starts until a presence pass without a
    // camera or an end report clears the task.
}
