#include "thread_in_drive.h"

#include "camera_ids.h"

#include <QDebug>
#include <QMutexLocker>

#include <cstdio>
#include <vector>

using viscana::platform::DriverDevice;
using viscana::platform::DriverInstaller;

const char *const kDriverFolder = "usb_driver";
const char *const kDriverInfName = "libusb_device.inf";

namespace {

QMutex g_factoryLock;
ThreadInDrive::InstallerFactory g_factory;

std::unique_ptr<DriverInstaller> makeInstaller()
{
    QMutexLocker lock(&g_factoryLock);
    if (g_factory)
        return g_factory();
    return viscana::platform::createDriverInstaller();
}

QString upperHex(uint16_t v)
{
    return QString::number(v, 16).toUpper();
}

}  // namespace

bool isAcceptedVendor(uint16_t vid)
{
    return g_CameraIdPattern.contains(upperHex(vid));
}

void ThreadInDrive::setInstallerFactory(InstallerFactory factory)
{
    QMutexLocker lock(&g_factoryLock);
    g_factory = std::move(factory);
}

ThreadInDrive::ThreadInDrive(QObject *owner, uint16_t vid, uint16_t pid)
    : QThread(owner), m_vid(vid), m_pid(pid)
{
}

ThreadInDrive::~ThreadInDrive()
{
    // The owner quits and waits before deleting; waiting here as well keeps a thread object from ever
    // being destroyed while its thread runs.
    wait();
    qDebug() << " ~ThreadInDrive 完成释放  ";
}

void ThreadInDrive::run()
{
    qDebug() << " ThreadInDrive线程启动 开始安装 ";
    int r1 = InDriver();
    qDebug() << " 第一次安装驱动 InDriver_Ret : " << r1;
    if (r1 != 0) {
        emit signals_In_Error(QStringLiteral("驱动安装错误1"));
    } else {
        // The second attempt installs the interface that is still without a driver after the first.
        int r2 = InDriver();
        qDebug() << " 第二次安装驱动 InDriver_Ret : " << r2;
        if (r2 != 0) {
            emit signals_In_Error(QStringLiteral("驱动安装错误2"));
        } else {
            emit signals_In_End();
            qDebug() << "end-----------------";
            qDebug() << "结束安装驱动";
            quit();
        }
    }
    qDebug() << " ThreadInDrive线程启动 end ";
}

int ThreadInDrive::InDriver()
{
    std::unique_ptr<DriverInstaller> installer = makeInstaller();
    std::vector<DriverDevice> devices;
    int r = installer->createList(devices);
    if (r != viscana::platform::kInstallOk) {
        const QString text = QString::fromStdString(installer->errorText(r));
        if (r == viscana::platform::kInstallErrorNoDevice)
            qDebug() << "wdi_create_list No driverless USB devices were found.\n";
        else
            qDebug().noquote() << "wdi_create_list wdi_create_list: error %s\n" << text;
        installer->destroyList();
        qDebug().noquote() << "wdi_create_list wdi_create_list: error " << text;
        return r;
    }

    for (const DriverDevice &device : devices) {
        qDebug().noquote() << "Found USB device: " << upperHex(device.vid) << upperHex(device.pid);
        if (!isAcceptedVendor(device.vid)) {
            qDebug() << "线程安装驱动 不存在设备.\n";
            continue;
        }
        installer->setLogLevel(viscana::platform::kInstallLogLevelError);
        r = installer->prepareDriver(device, kDriverFolder, kDriverInfName);
        if (r != viscana::platform::kInstallOk) {
            qDebug().noquote() << "wdi_prepare_driver error:"
                               << QString::fromStdString(installer->errorText(r));
            installer->destroyList();
            return r;
        }
        std::printf("installing wdi driver with <%s> at <%s>\n", kDriverInfName, kDriverFolder);
        std::fflush(stdout);
        r = installer->installDriver(device, kDriverFolder, kDriverInfName);
        if (r == viscana::platform::kInstallErrorNoDevice)
            qDebug() << "wdi_install_driver No driverless USB devices were found.\n";
        else if (r != viscana::platform::kInstallOk)
            qDebug().noquote() << "wdi_create_list wdi_create_list: error:"
                               << QString::fromStdString(installer->errorText(r));
        else
            qDebug() << "wdi_install_driver 驱动安装成功";
        installer->destroyList();
        return r;
    }
    installer->destroyList();
    return viscana::platform::kInstallOk;
}
