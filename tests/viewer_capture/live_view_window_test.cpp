#include "window_rig.h"

#include "image_conver_module.h"

#include <QImage>
#include <QtTest/QTest>

namespace windowtest {
namespace {

// The live view shows a reduced decode of a large frame; photos (the photo button, the camera's own
// button) and the size a recording is started with are still the camera's full frame.
TEST_F(CaptureWindowTest, PhotoIsTheFullFrameWhileTheViewShowsItSmaller)
{
    const QSize full(1920, 1080);
    vcam::CameraConfig config;
    config.fps = 5;
    config.stream.width = full.width();
    config.stream.height = full.height();
    m_cam = std::make_unique<vcam::VirtualCamera>(bus(), config);
    m_cam->plug();
    ASSERT_TRUE(openWindow(false));

    QLabel *view = label("label_showImage");
    ASSERT_TRUE(QTest::qWaitFor([&] { return picture("label_showImage").width() > 400; }, 30000));
    const QSize shown = picture("label_showImage").size();
    const QSize viewPixels = view->contentsRect().size() * view->devicePixelRatioF();
    EXPECT_LT(shown.width(), full.width()) << "the view is decoded at full size";
    EXPECT_GE(shown.width(), viewPixels.width());
    EXPECT_GE(shown.height(), viewPixels.height());
    EXPECT_EQ(ImageConverModule::instance()->displaySize(), viewPixels);

    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
    emit ImageConverModule::instance()->ButtonPhoto(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return captures(cameraDir(), "jpg").size() == 2; }, 10000));
    for (const QString &name : captures(cameraDir(), "jpg")) {
        QImage photo;
        ASSERT_TRUE(photo.load(cameraDir() + "/" + name, "JPEG")) << name.toStdString();
        EXPECT_EQ(photo.size(), full) << name.toStdString();
    }

    // Resizing the window changes the size the frames are decoded at.
    m_window->resize(m_window->width() + 300, m_window->height() + 200);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return ImageConverModule::instance()->displaySize() == view->contentsRect().size() * view->devicePixelRatioF(); },
        5000));
}

}  // namespace
}  // namespace windowtest
