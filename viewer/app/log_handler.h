#pragma once

#include <QString>
#include <QtGlobal>

// Name of the log file, relative to the current working directory.
inline constexpr const char *kLogFileName = "CameraApp.log";

// Process-wide Qt message handler: appends one line per message to CameraApp.log.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

// The text of one log line without its CR LF, as messageHandler writes it.
QString formatLogLine(QtMsgType type, const QMessageLogContext &context, const QString &msg);
