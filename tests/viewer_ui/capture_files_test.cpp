#include "capture_files.h"

#include "log_capture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(CaptureNamesTest, SeventeenDigitsOfLocalTime)
{
    const QDateTime when(QDate(2024, 3, 7), QTime(9, 5, 4, 32));
    EXPECT_EQ(capture::captureBaseName(when), "20240307090504032");
    EXPECT_EQ(capture::capturePath("/x/Camera", when, "jpg"), "/x/Camera/20240307090504032.jpg");
    EXPECT_EQ(capture::capturePath("/x/Camera", QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59, 999)), "mp4"),
              "/x/Camera/19991231235959999.mp4");
    EXPECT_EQ(capture::captureBaseName(QDateTime::currentDateTime()).size(), 17);
}

TEST(CaptureFolderTest, ProgramFolderThenPicturesThenNothing)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString program = tmp.filePath("program");
    const QString pictures = tmp.filePath("pictures");
    // A regular file stands for a folder nobody can write into (root may write anywhere else).
    const QString blocked = tmp.filePath("blocked");
    {
        QFile f(blocked);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }

    testsupport::LogCapture log;
    // Writable program folder: "<program>/Camera", made with its missing parents.
    EXPECT_EQ(capture::captureFolderIn(program, pictures, "Camera"), program + "/Camera");
    EXPECT_TRUE(QFileInfo(program + "/Camera").isDir());
    EXPECT_TRUE(QDir(program + "/Camera").entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_TRUE(log.lines().isEmpty());

    // Program folder not writable: the Pictures folder, announced once.
    const QString fallback = pictures + "/Viscana/Camera";
    EXPECT_EQ(capture::captureFolderIn(blocked + "/program", pictures, "Camera"), fallback);
    EXPECT_EQ(capture::captureFolderIn(blocked + "/program", pictures, "Camera"), fallback);
    EXPECT_TRUE(QFileInfo(fallback).isDir());
    EXPECT_EQ(log.count("captures go to"), 1);

    // Neither can be made: no folder, and a log line.
    EXPECT_EQ(capture::captureFolderIn(blocked + "/program", blocked + "/pictures", "Camera"), QString());
    EXPECT_EQ(log.count("no capture folder can be created"), 1);

    // The process-wide roots that captureFolder uses.
    capture::setCaptureRoots(program, pictures);
    EXPECT_EQ(capture::captureFolder("Camera"), program + "/Camera");
    capture::setCaptureRoots(QString(), QString());
}

}  // namespace
