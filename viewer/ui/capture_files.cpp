#include "capture_files.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QImageWriter>
#include <QMutex>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace capture {
namespace {

QMutex g_rootsMutex;
QString g_programDir;
QString g_picturesDir;
// The fallback is announced once per folder, not for every capture.
QString g_announcedFallback;
// The announcement the window has not shown yet.
QString g_pendingFallbackNotice;

// Creates the folder and checks that a file can be made in it (a folder's permission bits do not tell:
// a read-only file system or an access rule can still refuse).
bool usableFolder(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return false;
    QTemporaryFile probe(folder + QStringLiteral("/.viscana-probe-XXXXXX"));
    return probe.open();
}

QString picturesFolder()
{
    QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty())
        pictures = QDir::homePath() + QStringLiteral("/Pictures");
    return pictures;
}

}  // namespace

QString captureFolderIn(const QString &programDir, const QString &picturesDir, const QString &sub)
{
    const QString folder = QStringLiteral("%1/%2").arg(programDir, sub);
    if (usableFolder(folder))
        return folder;

    const QString fallback = QStringLiteral("%1/Viscana/%2").arg(picturesDir, sub);
    if (usableFolder(fallback)) {
        QMutexLocker lock(&g_rootsMutex);
        if (g_announcedFallback != fallback) {
            g_announcedFallback = fallback;
            g_pendingFallbackNotice = fallback;
            qWarning().noquote() << "capture folder" << folder << "is not writable; captures go to"
                                 << fallback;
        }
        return fallback;
    }
    qCritical().noquote() << "no capture folder can be created:" << folder << "nor" << fallback
                          << "; nothing is saved";
    return QString();
}

QString captureFolder(const QString &sub)
{
    QString programDir;
    QString picturesDir;
    {
        QMutexLocker lock(&g_rootsMutex);
        programDir = g_programDir;
        picturesDir = g_picturesDir;
    }
    if (programDir.isEmpty())
        programDir = QCoreApplication::applicationDirPath();
    if (picturesDir.isEmpty())
        picturesDir = picturesFolder();
    return captureFolderIn(programDir, picturesDir, sub);
}

QString captureBaseName(const QDateTime &when)
{
    return when.toString(QStringLiteral("yyyyMMddhhmmsszzz"));
}

QString capturePath(const QString &folder, const QDateTime &when, const QString &suffix)
{
    return QStringLiteral("%1/%2.%3").arg(folder, captureBaseName(when), suffix);
}

WriteFailure writePhoto(const QImage &picture, const QString &path, QString *detail)
{
    const auto failed = [&](WriteFailure why, const QString &text) {
        if (detail)
            *detail = text;
        return why;
    };
    if (picture.isNull())
        return failed(WriteFailure::Other, QStringLiteral("no picture"));
    // QSaveFile writes "<path>.XXXXXX" beside the target and renames it over the target on commit; a
    // failed or cancelled write removes it.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return failed(WriteFailure::NoPermission, file.errorString());
    QImageWriter writer(&file, QFileInfo(path).suffix().toLatin1());
    const bool encoded = writer.write(picture);
    // A write error of the file (the disk full) shows in the file; one of the encoder otherwise.
    const QFileDevice::FileError fileError = file.error();
    const QString fileText = file.errorString();
    if (!encoded || fileError != QFileDevice::NoError) {
        file.cancelWriting();
        file.commit();  // removes the temporary file
        if (fileError != QFileDevice::NoError)
            return failed(WriteFailure::NoSpace, fileText);
        return failed(WriteFailure::Other, writer.errorString());
    }
    if (!file.commit()) {
        // The last buffered bytes are written by the commit: a full disk often shows only here. A
        // refused rename is a permission matter.
        const QFileDevice::FileError error = file.error();
        const bool renameRefused = error == QFileDevice::RenameError || error == QFileDevice::PermissionsError;
        return failed(renameRefused ? WriteFailure::NoPermission : WriteFailure::NoSpace, file.errorString());
    }
    return WriteFailure::None;
}

QString takeFallbackNotice()
{
    QMutexLocker lock(&g_rootsMutex);
    QString notice;
    notice.swap(g_pendingFallbackNotice);
    return notice;
}

void setCaptureRoots(const QString &programDir, const QString &picturesDir)
{
    QMutexLocker lock(&g_rootsMutex);
    g_programDir = programDir;
    g_picturesDir = picturesDir;
}

}  // namespace capture
