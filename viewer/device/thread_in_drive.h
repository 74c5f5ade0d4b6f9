#pragma once
// The driver installation thread: two installation attempts in a row, one for each camera interface
// that has no driver (on Linux: one access-rule installation, the second attempt then finds nothing
// left to do). The outcome goes to the owner as signals_In_End or signals_In_Error.

#include "driver_installer.h"

#include <QMutex>
#include <QString>
#include <QThread>

#include <cstdint>
#include <functional>
#include <memory>

class ThreadInDrive : public QThread {
    Q_OBJECT

public:
    ThreadInDrive(QObject *owner, uint16_t vid, uint16_t pid);
    ~ThreadInDrive() override;

    // One installation attempt for the first listed device of a supported vendor: 0 on success (also
    // when no such device was listed), else the installer's negative code.
    int InDriver();

    // Where InDriver gets its installer from: the platform's by default, a fake in tests.
    using InstallerFactory = std::function<std::unique_ptr<viscana::platform::DriverInstaller>()>;
    static void setInstallerFactory(InstallerFactory factory);

signals:
    void signals_In_Error(QString Error);
    void signals_In_End();

protected:
    void run() override;

private:
    QMutex m_mutex;  // kept with the object; the installation does not need it
    uint16_t m_vid;
    uint16_t m_pid;
};

// The driver folder and the INF name that the installation uses, relative to the current folder.
extern const char *const kDriverFolder;
extern const char *const kDriverInfName;

// Whether the installation takes a device of this vendor: its id in upper-case hexadecimal without
// leading zeros occurs anywhere in g_CameraIdPattern.
bool isAcceptedVendor(uint16_t vid);
