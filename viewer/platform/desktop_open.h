#pragma once

#include <QString>

namespace viscana::platform {

// Opens a file or a folder with the desktop's default program (a folder in the file browser). Returns
// false when the system refuses, with its answer in *failure.
bool openWithDesktop(const QString &path, QString *failure);

}  // namespace viscana::platform
