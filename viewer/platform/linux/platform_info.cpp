#include "platform_info.h"

#include <QDebug>

namespace viscana::platform {

AccessHint accessHint()
{
    return AccessHint::InstallAccessRule;
}

void killProcessByName(const QString &name)
{
    // The installer programs exist only on Windows; there is nothing to end here.
    qDebug().noquote() << "KillProcess:" << name << "- nothing to end on this system";
}

}  // namespace viscana::platform
