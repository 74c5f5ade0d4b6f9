// The window's device scan: the USB device interface paths, the camera among them, and whether the
// camera's interfaces have their driver.

#include "mainwindow.h"

#include "camera_ids.h"
#include "ui_mainwindow.h"
#include "usb_scan.h"

#include <QDebug>
#include <QPixmap>

#include <string>
#include <vector>

bool MainWindow::GetUsbDevicePaths(QStringList &paths, QString &error)
{
    std::vector<std::wstring> found;
    std::wstring text;
    const bool ok = viscana::platform::usbDevicePaths(found, text);
    for (const std::wstring &path : found)
        paths.append(QString::fromStdWString(path));
    if (!ok)
        error = QString::fromStdWString(text);
    return ok;
}

CameraDeviceInfo MainWindow::ParseDevicePath(const QString &path)
{
    // \\?\USB#VID_2CE3&PID_3301#5&1&0&2#{GUID}: the ids are the second part, the instance the third.
    // Parts a malformed path lacks stay empty.
    CameraDeviceInfo info;
    const QStringList parts = path.split(QLatin1Char('#'), Qt::KeepEmptyParts);
    if (parts.size() > 1) {
        const QStringList ids = parts.at(1).split(QLatin1Char('&'), Qt::KeepEmptyParts);
        info.vid = ids.value(0);
        info.pid = ids.value(1);
    }
    info.instance = parts.value(2);
    info.path = path;
    return info;
}

namespace {

// The number after the underscore of VID_2CE3 or PID_3301, as hexadecimal; 0 when there is none.
uint16_t idNumber(const QString &part)
{
    bool ok = false;
    const uint value = part.section(QLatin1Char('_'), 1, 1).toUInt(&ok, 16);
    return ok && value <= 0xFFFF ? static_cast<uint16_t>(value) : 0;
}

}  // namespace

int MainWindow::ScanDiverNumber()
{
    qDebug() << "ScanDiverNumber start";
    QStringList paths;
    QString error;
    GetUsbDevicePaths(paths, error);
    int count = 0;
    for (const QString &path : paths) {
        qDebug() << path;
        const QString upper = path.toUpper();
        bool found = false;
        for (const QString &id : g_CameraIdList) {
            if (!upper.contains(id))
                continue;
            const CameraDeviceInfo info = ParseDevicePath(path);
            ++count;
            qDebug() << "找到设备-----------------" << info.vid.split(QLatin1Char('_'));
            m_vid = idNumber(info.vid);
            m_pid = idNumber(info.pid);
            found = true;
            break;
        }
        if (found)
            break;
    }
    qDebug() << "扫描设备数量：" << count;
    if (count == 0) {
        ui->label_showImage->setPixmap(QPixmap(QStringLiteral(":/img/NoUSB.png")));
        ui->label_showImage->setScaledContents(false);
    }
    return count;
}

bool MainWindow::CheckDeviceDriver(const QString &id, const QString &suffix)
{
    return viscana::platform::deviceDriverInstalled(
        id.toStdWString(), suffix.toStdWString(),
        [](const std::wstring &line) { qDebug().noquote() << QString::fromStdWString(line); });
}
