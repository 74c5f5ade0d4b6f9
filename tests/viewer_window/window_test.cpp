// The main window on the virtual camera: what construction logs and starts, the live view, the end of
// the stream when the camera goes, a start without access to the camera, and the form's initial state.
#include "about_ui.h"
#include "window_rig.h"

#include "image_conver_module.h"
#include "thread_usb.h"

#include <QComboBox>
#include <QDir>
#include <QFontDatabase>
#include <QPushButton>
#include <QtTest/qtestsystem.h>

#include <gtest/gtest.h>

using namespace windowtest;

namespace {

class WindowTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        closeWindow(m_window);
        m_cameras.clear();
        setAdministrator(1);
    }

    vcam::VirtualCamera &plug(vcam::CameraConfig config = cameraConfig())
    {
        m_cameras.push_back(std::make_unique<vcam::VirtualCamera>(bus(), std::move(config)));
        m_cameras.back()->plug();
        return *m_cameras.back();
    }

    std::unique_ptr<MainWindow> m_window;
    std::vector<std::unique_ptr<vcam::VirtualCamera>> m_cameras;
};

// The system description, the installer clean-up, the access test, the scan, both driver checks, the
// stream start and the thumbnail look-up, in this order.
TEST_F(WindowTest, ElevatedStartWithACameraStreamsIntoTheLiveView)
{
    plug(cameraConfig(0x2CE3, 0x3301, "VCAM-LIVE"));
    testsupport::LogCapture log;
    m_window = openWindow();

    const QString missing = missingInOrder(
        log.lines(), {"Operating System:", "System Version:", "Architecture:", "Kernel Type:", "Kernel Version:",
                      "KillProcess: installer_x64.exe", "KillProcess: installer_x86.exe",
                      "KillProcess: install-filter.exe", " IsAdministrator()  : ", "ScanDiverNumber start",
                      "usb#vid_2ce3&pid_3301#VCAM-LIVE#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
                      "找到设备-----------------", "扫描设备数量： 1", "有设备并且是管理员启动", "查找 ID:VID_2ce3",
                      "找到设备  所有匹配一致", "驱动程序已安装1", "查找 ID:VID_2ce3", "驱动程序已安装2",
                      "M_thread_in_Image-----------------226", "子文件夹路径：", "子文件夹中没有符合条件的文件。"});
    EXPECT_TRUE(missing.isEmpty()) << "not logged in order: " << missing.toStdString() << "\n"
                                   << log.lines().join('\n').toStdString();
    EXPECT_EQ(log.count("不是管理员启动"), 0);
    ASSERT_NE(m_window->findChild<ThreadUSB *>(), nullptr);

    // Frames arrive, stretched over the whole label, and keep changing.
    std::optional<uint32_t> first;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (first = shownFrame(*m_window)).has_value(); }, 15000));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        const auto now = shownFrame(*m_window);
        return now && *now >= *first + 3;
    }, 15000));
    EXPECT_TRUE(liveView(*m_window)->hasScaledContents());
}

// Pulling the camera ends the stream thread; the no-camera picture replaces the live view at its own size.
TEST_F(WindowTest, UnplugEndsTheStreamAndShowsTheNoCameraPicture)
{
    vcam::VirtualCamera &camera = plug();
    m_window = openWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownFrame(*m_window).has_value(); }, 15000));

    testsupport::LogCapture log;
    camera.unplug();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_window->findChild<ThreadUSB *>() == nullptr; }, 15000));
    EXPECT_EQ(log.count("onM_thread_ThreadFinished M_thread  完全退出"), 1);
    QLabel *label = liveView(*m_window);
    const QPixmap shown = label->pixmap(Qt::ReturnByValue);
    EXPECT_EQ(shown.size(), QSize(640, 480));
    EXPECT_EQ(shown.toImage(), QPixmap(":/img/NoUSB.png").toImage());
    EXPECT_FALSE(label->hasScaledContents());

    // A picture of the ended stream that the converter delivers late leaves the no-camera picture alone.
    QPixmap late(320, 240);
    late.fill(Qt::red);
    emit ImageConverModule::instance()->newImage(late);
    EXPECT_EQ(label->pixmap(Qt::ReturnByValue).size(), QSize(640, 480));
    EXPECT_FALSE(label->hasScaledContents());
}

// Without access the live view shows how to get it, and no stream thread is made.
TEST_F(WindowTest, StartWithoutAccessShowsTheHintAndStartsNoStream)
{
    plug();
    setAdministrator(0);
    testsupport::LogCapture log;
    m_window = openWindow();

    const QString missing = missingInOrder(
        log.lines(), {" IsAdministrator()  : ", "不是管理员启动APP!", " 不是管理员启动:", "ScanDiverNumber start",
                      "扫描设备数量： 1", "子文件夹路径："});
    EXPECT_TRUE(missing.isEmpty()) << "not logged in order: " << missing.toStdString();
    EXPECT_EQ(log.count("有设备并且是管理员启动"), 0);
    EXPECT_EQ(log.count("查找 ID:"), 0);
    EXPECT_EQ(m_window->findChild<ThreadUSB *>(), nullptr);
    EXPECT_EQ(liveView(*m_window)->text(),
              QCoreApplication::translate("MainWindow",
                                          "没有访问摄像头的权限!\n请以 root 身份启动, 或安装摄像头访问规则 (见 README)。"));
}

// No camera at all: the no-camera picture at its natural size, and no stream thread.
TEST_F(WindowTest, StartWithoutCameraShowsTheNoCameraPicture)
{
    testsupport::LogCapture log;
    m_window = openWindow();
    EXPECT_EQ(log.count("扫描设备数量： 0"), 1);
    EXPECT_EQ(m_window->findChild<ThreadUSB *>(), nullptr);
    QLabel *label = liveView(*m_window);
    EXPECT_EQ(label->pixmap(Qt::ReturnByValue).size(), QSize(640, 480));
    EXPECT_FALSE(label->hasScaledContents());
}

// After construction only the everyday controls are visible; the window and its chrome are as designed.
TEST_F(WindowTest, FormStateAfterConstruction)
{
    m_window = openWindow();
    EXPECT_EQ(m_window->size(), QSize(852, 727));
    EXPECT_EQ(m_window->minimumSize(), QSize(852, 699));
    EXPECT_TRUE(m_window->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(m_window->testAttribute(Qt::WA_TranslucentBackground));
    const struct {
        const char *name;
        bool visible;
    } widgets[] = {
        {"label_2", true},        {"pushButton_Mix", true},   {"pushButton_MAX", false}, {"pushButton_6", true},
        {"pushButton_4", false},  {"pushButton_5", false},    {"btnCameraCtrl", false},  {"comboBox", false},
        {"btnscan", false},       {"pushButton_8", false},    {"pushButton_9", false},   {"label_Path", false},
        {"label_5", false},       {"label_TimeNumber", false}, {"label_3", true},        {"pushButton_2", true},
        {"label_showImage", true}, {"pushButton_3", true},    {"pushButton_story", true}, {"pushButton_7", false},
        {"pushButton", true},
    };
    m_window->show();
    for (const auto &w : widgets) {
        QWidget *widget = m_window->findChild<QWidget *>(QLatin1String(w.name));
        ASSERT_NE(widget, nullptr) << w.name;
        EXPECT_EQ(widget->isVisible(), w.visible) << w.name;
    }
}

// The minimise, close and back icons come from "img/" in the working folder, or from the compiled-in pictures.
TEST_F(WindowTest, ButtonIconsFallBackToTheCompiledInPictures)
{
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QDir::tempPath()));
    m_window = openWindow();
    AboutUI about;
    QDir::setCurrent(previous);
    for (const char *name : {"pushButton_Mix", "pushButton_6"}) {
        auto *button = m_window->findChild<QPushButton *>(QLatin1String(name));
        ASSERT_NE(button, nullptr);
        EXPECT_FALSE(button->icon().pixmap(35, 35).isNull()) << name;
    }
    auto *back = about.findChild<QPushButton *>(QStringLiteral("pushButton"));
    ASSERT_NE(back, nullptr);
    EXPECT_FALSE(back->icon().pixmap(35, 35).isNull()) << "About panel's back button";
}

// The window's Chinese texts need a font with their glyphs (the dependency script installs one); without
// it they are drawn as boxes.
TEST_F(WindowTest, AFontForTheChineseTextsIsInstalled)
{
    const QStringList families = QFontDatabase().families(QFontDatabase::SimplifiedChinese);
    EXPECT_FALSE(families.isEmpty()) << "no font with Simplified Chinese glyphs (fonts-wqy-microhei)";
}

}  // namespace
