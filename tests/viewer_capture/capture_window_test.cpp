#include "window_rig.h"

#include "capture_files.h"
#include "show_time.h"

#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QtTest/QTest>

namespace windowtest {
namespace {

const QRegularExpression kSeventeenDigits(QStringLiteral("^\\d{17}\\.(jpg|mp4)$"));

TEST_F(CaptureWindowTest, PhotoNowWritesTheShownFrameAndTheThumbnailOpensItsFolder)
{
    ASSERT_TRUE(openWindow());
    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);

    const QStringList photos = captures(cameraDir(), "jpg");
    ASSERT_EQ(photos.size(), 1);
    EXPECT_TRUE(kSeventeenDigits.match(photos.first()).hasMatch()) << photos.first().toStdString();
    QImage photo;
    ASSERT_TRUE(photo.load(cameraDir() + "/" + photos.first(), "JPEG"));
    EXPECT_EQ(photo.size(), QSize(320, 240));  // the frame, not the label's size on screen
    EXPECT_EQ(label("label_Path")->text(), cameraDir() + "/" + photos.first());
    EXPECT_EQ(picture("label_3").size(), QSize(100, 75));

    // The thumbnail opens the capture folder, not the picture.
    OpenRecorder desktop;
    QTest::mouseClick(label("label_3"), Qt::LeftButton);
    ASSERT_EQ(desktop.opened.size(), 1);
    EXPECT_EQ(desktop.opened.first().toLocalFile(), cameraDir() + "/");
    EXPECT_EQ(m_log.count("点击了label:"), 1);
    QTest::mouseClick(label("label_3"), Qt::RightButton);
    EXPECT_EQ(desktop.opened.size(), 2);
    QTest::mouseClick(label("label_3"), Qt::MiddleButton);
    EXPECT_EQ(desktop.opened.size(), 2);
}

TEST_F(CaptureWindowTest, CountdownSelectorCyclesThroughItsLengths)
{
    ASSERT_TRUE(openWindow());
    QPushButton *selector = button("pushButton_2");
    for (const char *image : {"time2.png", "time5.png", "time10.png", "time0.png", "time2.png"}) {
        QTest::mouseClick(selector, Qt::LeftButton);
        EXPECT_TRUE(selector->styleSheet().contains(QLatin1String(image))) << image;
    }
}

TEST_F(CaptureWindowTest, CountdownShowsTheOverlayThenTakesOnePhoto)
{
    ASSERT_TRUE(openWindow());
    QTest::mouseClick(button("pushButton_2"), Qt::LeftButton);  // 2 s
    QList<float> shares;
    bool overlayShown = true;
    m_clock->onWait = [&](int) {
        ShowTime *overlay = m_window->findChild<ShowTime *>();
        overlayShown = overlayShown && overlay && overlay->isVisible();
        EXPECT_TRUE(captures(cameraDir(), "jpg").isEmpty());
    };
    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);

    EXPECT_TRUE(overlayShown);
    EXPECT_EQ(m_clock->waits, QList<int>({1000, 1000, 1000}));  // 2, 1, 0 seconds left
    EXPECT_EQ(m_window->findChild<ShowTime *>(), nullptr);
    EXPECT_EQ(captures(cameraDir(), "jpg").size(), 1);
    EXPECT_EQ(m_log.count("save:"), 1);
    EXPECT_EQ(m_log.count("tmpTimer:"), 4);  // 100, 50, 0, then the final empty step
}

TEST_F(CaptureWindowTest, SecondPressCancelsTheCountdown)
{
    ASSERT_TRUE(openWindow());
    for (int i = 0; i < 2; ++i)
        QTest::mouseClick(button("pushButton_2"), Qt::LeftButton);  // 5 s
    m_clock->onWait = [&](int n) {
        if (n == 2)
            QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
    };
    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
    EXPECT_EQ(m_clock->waits.size(), 2);
    EXPECT_EQ(m_window->findChild<ShowTime *>(), nullptr);
    EXPECT_TRUE(captures(cameraDir(), "jpg").isEmpty());
}

TEST_F(CaptureWindowTest, CameraButtonTakesOnePhotoPerPress)
{
    ASSERT_TRUE(openWindow());
    m_cam->pressPhotoButton(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return captures(cameraDir(), "jpg").size() == 1; }, 10000));
    QTest::qWait(50);  // distinct millisecond names
    m_cam->pressPhotoButton(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return captures(cameraDir(), "jpg").size() == 2; }, 10000));
    QTest::qWait(500);  // a few more frames without the flag
    EXPECT_EQ(captures(cameraDir(), "jpg").size(), 2);
    EXPECT_EQ(m_log.count(" 拍照返回 : "), 2);
}

TEST_F(CaptureWindowTest, NoPhotoWithoutAFrame)
{
    ASSERT_TRUE(openWindow(false));  // no camera: the live view holds the no-camera picture
    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
    QTest::mouseClick(button("pushButton_story"), Qt::LeftButton);
    QMetaObject::invokeMethod(m_window.get(), "HomeButtonPhoto", Q_ARG(int, 1));
    EXPECT_TRUE(captures(cameraDir(), "jpg").isEmpty());
    EXPECT_TRUE(captures(cameraDir(), "mp4").isEmpty());
    EXPECT_EQ(m_log.count("没有打开摄像头"), 1);
    EXPECT_TRUE(label("label_Path")->text().isEmpty());
}

TEST_F(CaptureWindowTest, UnwritableProgramFolderSendsCapturesToPictures)
{
    ASSERT_TRUE(openWindow());
    const QString blocked = m_tmp.filePath("blocked");
    {
        QFile f(blocked);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    capture::setCaptureRoots(blocked + "/program", picturesDir());
    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
    const QString fallback = picturesDir() + "/Viscana/Camera";
    EXPECT_EQ(captures(fallback, "jpg").size(), 1);
    EXPECT_EQ(m_log.count("captures go to"), 1);

    // Nowhere to write: a log line, no file and no crash.
    capture::setCaptureRoots(blocked + "/program", blocked + "/pictures");
    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
    QTest::mouseClick(button("pushButton_story"), Qt::LeftButton);
    EXPECT_EQ(m_log.count("no capture folder can be created"), 2);
    EXPECT_EQ(captures(fallback, "jpg").size(), 1);
    EXPECT_TRUE(button("pushButton_story")->isVisible());  // no recording started
}

}  // namespace
}  // namespace windowtest
