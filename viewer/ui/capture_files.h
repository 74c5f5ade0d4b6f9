#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>

// Where photos and videos go and how they are named.
//
// Captures go into a sub-folder of the program's folder ("Camera"). An installed program's folder is
// usually read-only; then they go into the user's Pictures folder under "Viscana/<sub-folder>".
namespace capture {

// The folder for sub-folder `sub`, created with its missing parents. Returns an empty text (with a
// log line) when no folder can be created or written.
QString captureFolder(const QString &sub);

// The same choice for given program and Pictures folders; what captureFolder uses.
QString captureFolderIn(const QString &programDir, const QString &picturesDir, const QString &sub);

// The local time of a capture as its 17-digit file name without suffix: "yyyyMMddhhmmsszzz".
QString captureBaseName(const QDateTime &when);
// "<folder>/<name>.<suffix>"
QString capturePath(const QString &folder, const QDateTime &when, const QString &suffix);

// Why a capture file could not be written.
enum class WriteFailure {
    None,
    NoSpace,       // the disk (or the process's file-size limit) is full
    NoPermission,  // the file cannot be created there
    Other,
};

// Writes the picture to `path` (format from the suffix) through a temporary file in the same folder that
// is renamed into place only once it is complete, so a failed write leaves no file behind; the temporary
// file's name does not end in the capture suffix. Returns WriteFailure::None on success; `detail` gets
// the system's text of a failure.
WriteFailure writePhoto(const QImage &picture, const QString &path, QString *detail = nullptr);

// The fallback folder the captures have just moved to (see captureFolderIn), once: the first call after
// the move answers it and later calls answer an empty text until the captures move again.
QString takeFallbackNotice();

// Replaces the program and Pictures folders that captureFolder looks at (empty texts: the real ones).
void setCaptureRoots(const QString &programDir, const QString &picturesDir);

}  // namespace capture
