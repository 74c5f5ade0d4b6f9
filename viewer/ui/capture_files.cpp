#include "capture_files.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QMutex>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace capture {
namespace {

QMutex g_rootsMutex;
QString g_programDir;
QString g_picturesDir;
// The fallback is announced once per folder, not for every capture.
QString g_announcedFallback;

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

void setCaptureRoots(const QString &programDir, const QString &picturesDir)
{
    QMutexLocker lock(&g_rootsMutex);
    g_programDir = programDir;
    g_picturesDir = picturesDir;
}

}  // namespace capture
