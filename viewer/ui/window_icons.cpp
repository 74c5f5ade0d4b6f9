#include "window_icons.h"

#include <QFileInfo>

QIcon workingFolderIcon(const QString &name)
{
    const QString file = QStringLiteral("img/") + name;
    if (QFileInfo(file).isFile())
        return QIcon(file);
    return QIcon(QStringLiteral(":/img/") + name);
}
