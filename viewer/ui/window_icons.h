#pragma once

#include <QIcon>
#include <QString>

// The icon "img/<name>" from the working folder, or the compiled-in picture ":/img/<fallback>" (by
// default the same name) when that file is not there, so a window started from any folder has its buttons.
QIcon workingFolderIcon(const QString &name, const QString &fallback = QString());
