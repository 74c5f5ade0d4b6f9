#include "desktop_open.h"

#include <QDesktopServices>
#include <QUrl>

namespace viscana::platform {

bool openWithDesktop(const QString &path, QString *failure)
{
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        return true;
    if (failure)
        *failure = QStringLiteral("no program opens %1").arg(path);
    return false;
}

}  // namespace viscana::platform
