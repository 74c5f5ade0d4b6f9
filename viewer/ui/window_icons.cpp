#include "window_icons.h"

#include <QFileInfo>

QIcon workingFolderIcon(const QString &name, const QString &fallback)
{
    const QString file = QStringLiteral("img/") + name;
    if (QFileInfo(file).isFile())
        return QIcon(file);
    return QIcon(QStringLiteral(":/img/") + (fallback.isEmpty() ? name : fallback));
}
