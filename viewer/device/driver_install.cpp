// The window's driver installation: ending leftover installer programs and the installation task.

#include "mainwindow.h"

#include "platform_info.h"

void MainWindow::KillProcess(const QString &name)
{
    viscana::platform::killProcessByName(name);
}

void MainWindow::InstallDriverTask()
{
}
