#include "capture_files.h"

#include "file_size_limit.h"
#include "log_capture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

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
    // The window is told once too.
    EXPECT_EQ(capture::takeFallbackNotice(), fallback);
    EXPECT_EQ(capture::takeFallbackNotice(), QString());

    // Neither can be made: no folder, and a log line.
    EXPECT_EQ(capture::captureFolderIn(blocked + "/program", blocked + "/pictures", "Camera"), QString());
    EXPECT_EQ(log.count("no capture folder can be created"), 1);

    // The process-wide roots that captureFolder uses.
    capture::setCaptureRoots(program, pictures);
    EXPECT_EQ(capture::captureFolder("Camera"), program + "/Camera");
    capture::setCaptureRoots(QString(), QString());
}

// A photo is complete at its name or not there at all: a failed write leaves neither the photo nor
// its temporary file, and says why.
TEST(WritePhotoTest, CompleteOrNothing)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    QImage picture(640, 480, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb(x * 7 % 256, y * 13 % 256, (x ^ y) % 256));  // about 100 kB as JPEG
    const QString blocked = tmp.filePath("blocked");  // a file where a folder should be
    {
        QFile f(blocked);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const struct {
        const char *name;
        QString path;
        rlim_t sizeLimit;  // 0: none
        capture::WriteFailure expected;
    } cases[] = {
        {"written", tmp.filePath("ok.jpg"), 0, capture::WriteFailure::None},
        {"disk full at the first bytes", tmp.filePath("full.jpg"), 1, capture::WriteFailure::NoSpace},
        {"disk full mid-way", tmp.filePath("half.jpg"), 20000, capture::WriteFailure::NoSpace},
        {"folder not there", blocked + "/x.jpg", 0, capture::WriteFailure::NoPermission},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QString why;
        capture::WriteFailure result;
        {
            std::unique_ptr<testsupport::FileSizeLimit> limit;
            if (c.sizeLimit)
                limit = std::make_unique<testsupport::FileSizeLimit>(c.sizeLimit);
            ASSERT_TRUE(!limit || limit->ok());
            result = capture::writePhoto(picture, c.path, &why);
        }
        EXPECT_EQ(result, c.expected) << why.toStdString();
        EXPECT_EQ(why.isEmpty(), c.expected == capture::WriteFailure::None);
        if (c.expected == capture::WriteFailure::None) {
            QImageReader reader(c.path);
            EXPECT_EQ(reader.read().size(), picture.size());
        } else {
            EXPECT_FALSE(QFile::exists(c.path));
        }
    }
    // Nothing else is left in the folder: no temporary file, no piece of a photo.
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({"blocked", "ok.jpg"}));
}

}  // namespace
