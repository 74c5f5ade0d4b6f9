#include "camera_ids.h"

const QStringList g_CameraIdList = {QStringLiteral("0329"), QStringLiteral("2CE3"), QStringLiteral("3301")};
const QString g_CameraIdPattern = QStringLiteral("0329|2CE3|3301");
