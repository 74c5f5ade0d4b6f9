#include "platform_info.h"

#include <QDebug>
#include <QProcess>
#include <QStringList>

namespace viscana::platform {

AccessHint accessHint()
{
    return AccessHint::RunAsAdministrator;
}

void killProcessByName(const QString &name)
{
    // "taskkill /im <name> /f"; waited for, so the program is gone when this returns.
    const int code = QProcess::execute(QStringLiteral("taskkill"), {QStringLiteral("/im"), name, QStringLiteral("/f")});
    qDebug().noquote() << "KillProcess:" << name << code;
}

}  // namespace viscana::platform
