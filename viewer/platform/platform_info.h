#pragma once

#include <QString>

namespace viscana::platform {

// What the window tells a user whose process cannot reach the camera.
enum class AccessHint {
    RunAsAdministrator,  // start the program elevated
    InstallAccessRule,   // start as root, or install the camera access rule
};
AccessHint accessHint();

// Ends every running process with the given image name (for example "installer_x64.exe"), where the
// system has such programs; logs what it did.
void killProcessByName(const QString &name);

}  // namespace viscana::platform
