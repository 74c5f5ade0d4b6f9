#pragma once

#include <QIcon>
#include <QString>

// The icon "img/<name>" from the working folder, or the compiled-in picture ":/img/<name>" when that
// file is not there.
QIcon workingFolderIcon(const QString &name);
