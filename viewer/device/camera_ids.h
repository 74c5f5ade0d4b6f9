#pragma once

#include <QString>
#include <QStringList>

// USB vendor identifiers of the supported cameras, as upper-case hexadecimal text.
extern const QStringList g_CameraIdList;
// The same identifiers joined by "|".
extern const QString g_CameraIdPattern;
