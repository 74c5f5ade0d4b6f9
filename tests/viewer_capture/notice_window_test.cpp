// What the window tells the user and what it leaves on disk when a capture cannot be written (a file-size
// limit stands for a full disk), pictures that cannot be shown, the move to the Pictures folder, and the
// keys and tooltips of the capture controls.
#include "window_rig.h"

#include "about_ui.h"
#include "capture_files.h"
#include "file_size_limit.h"

#include <QApplication>
#include <QDir>
#include <QHelpEvent>
#include <QtTest/QTest>

namespace windowtest {
namespace {

class NoticeWindowTest : public CaptureWindowTest {
protected:
    QLabel *notice() const { return label("noticeBar"); }
    // The notice shown now, or an empty text.
    QString shownNotice() const { return notice() && notice()->isVisible() ? notice()->text() : QString(); }
    QStringList allFiles(const QString &folder) const
    {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    QString toolTip(QWidget *widget) const
    {
        // Tooltips that follow the state are brought up to date when asked for.
        QHelpEvent ask(QEvent::ToolTip, QPoint(1, 1), widget->mapToGlobal(QPoint(1, 1)));
        QApplication::sendEvent(widget, &ask);
        return widget->toolTip();
    }
};

// A photo that cannot be written leaves nothing in the folder, keeps the thumbnail and says why.
TEST_F(NoticeWindowTest, PhotoNotSavedLeavesNothingAndSaysWhy)
{
    const QString blocked = m_tmp.filePath("blocked");  // a file where the folders should be
    {
        QFile f(blocked);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const struct {
        const char *name;
        rlim_t sizeLimit;  // 0: none
        bool foldersWritable;
        const char *notice;
    } cases[] = {
        {"disk full", 2000, true, "照片未保存: 磁盘空间不足。"},
        {"no folder can be written", 0, false, "照片未保存: 没有写入权限。"},
    };
    ASSERT_TRUE(openWindow());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.foldersWritable)
            capture::setCaptureRoots(blocked + "/program", blocked + "/pictures");
        {
            std::unique_ptr<testsupport::FileSizeLimit> limit;
            if (c.sizeLimit)
                limit = std::make_unique<testsupport::FileSizeLimit>(c.sizeLimit);
            QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
        }
        EXPECT_EQ(shownNotice(), QString::fromUtf8(c.notice));
        EXPECT_EQ(m_log.count("photo not written"), 1);  // the full disk's; the other wrote nothing
        capture::setCaptureRoots(programDir(), picturesDir());
        EXPECT_TRUE(allFiles(cameraDir()).isEmpty()) << allFiles(cameraDir()).join(' ').toStdString();
        EXPECT_TRUE(label("label_Path")->text().isEmpty());
        EXPECT_TRUE(picture("label_3").isNull());
    }
    // The notice goes by itself, and capture goes on: the next photo is written.
    EXPECT_TRUE(QTest::qWaitFor([&] { return shownNotice().isEmpty(); }, 8000));
    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
    EXPECT_EQ(captures(cameraDir(), "jpg").size(), 1);
    EXPECT_EQ(allFiles(cameraDir()).size(), 1);
}

// A recording whose file cannot be created shows no clock, dot or pause/stop buttons and leaves no file.
TEST_F(NoticeWindowTest, RecordingThatCannotCreateItsFileDoesNotStart)
{
    ASSERT_TRUE(openWindow());
    {
        testsupport::FileSizeLimit limit(200);
        QTest::mouseClick(button("pushButton_story"), Qt::LeftButton);
    }
    EXPECT_EQ(shownNotice(), QString::fromUtf8("无法开始录像: 磁盘空间不足。"));
    EXPECT_TRUE(button("pushButton_story")->isVisible());
    for (const char *name : {"pushButton_7", "pushButton_9"})
        EXPECT_FALSE(button(name)->isVisible()) << name;
    for (const char *name : {"label_5", "label_TimeNumber"})
        EXPECT_FALSE(label(name)->isVisible()) << name;
    EXPECT_TRUE(button("pushButton_3")->isEnabled());
    EXPECT_TRUE(allFiles(cameraDir()).isEmpty()) << allFiles(cameraDir()).join(' ').toStdString();
    // No clock thread runs: a recording can start normally afterwards.
    QTest::mouseClick(button("pushButton_story"), Qt::LeftButton);
    EXPECT_TRUE(button("pushButton_7")->isVisible());
    QTest::mouseClick(button("pushButton_7"), Qt::LeftButton);
}

// A disk that fills up while recording: the recording stops with a playable file of what was written,
// the window is back in photo mode and says so.
TEST_F(NoticeWindowTest, RecordingThatFillsTheDiskStopsWithAPlayableFile)
{
    constexpr rlim_t kLimit = 300000;
    ASSERT_TRUE(openWindow());
    QString path;
    {
        testsupport::FileSizeLimit limit(kLimit);
        QTest::mouseClick(button("pushButton_story"), Qt::LeftButton);
        path = label("label_Path")->text();
        EXPECT_TRUE(button("pushButton_7")->isVisible());
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_log.count("recording stopped early") > 0; }, 90000));
        EXPECT_EQ(shownNotice(), QString::fromUtf8("录像已提前停止: 磁盘空间不足。已录制的部分已保存。"));
        EXPECT_TRUE(button("pushButton_story")->isVisible());
        EXPECT_FALSE(button("pushButton_7")->isVisible());
        EXPECT_FALSE(label("label_TimeNumber")->isVisible());
        EXPECT_TRUE(button("pushButton_3")->isEnabled());
        EXPECT_TRUE(button("pushButton_2")->isEnabled());
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_log.count("ConverToVideo thread quit!") > 0; }, 10000));
    }
    EXPECT_EQ(captures(cameraDir(), "mp4"), QStringList({path.section('/', -1)}));
    EXPECT_LE(QFileInfo(path).size(), static_cast<qint64>(kLimit));
    const VideoFacts facts = probeVideo(path);
    EXPECT_EQ(facts.codec, "h264");
    EXPECT_GE(facts.frames, 50);
    EXPECT_EQ(facts.frames % 50, 0) << facts.frames;
    // A photo works again at once.
    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
    EXPECT_EQ(captures(cameraDir(), "jpg").size(), 1);
}

// Frames over the protocol's frame size are dropped by the parser: after about two seconds of such
// data the window says that the camera's pictures cannot be shown, once, without taking the focus.
TEST_F(NoticeWindowTest, DataWithoutPicturesIsTold)
{
    vcam::CameraConfig config;
    config.fps = 4;
    config.stream.trailingZeros = 520000;  // each frame larger than the 512000-byte frame buffer
    m_cam = std::make_unique<vcam::VirtualCamera>(bus(), config);
    m_cam->plug();
    ASSERT_TRUE(openWindow(false));
    m_window->activateWindow();
    const QString text = QString::fromUtf8("摄像头有数据传来, 但画面无法显示。");
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_log.count("notice: " + text) > 0; }, 20000));
    EXPECT_TRUE(picture("label_showImage").isNull() || picture("label_showImage").size() != QSize(320, 240));
    EXPECT_EQ(shownNotice(), text);
    EXPECT_TRUE(notice()->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_NE(QApplication::focusWidget(), notice());
    EXPECT_EQ(notice()->parentWidget(), label("label_showImage"));
    QTest::qWait(3000);
    EXPECT_EQ(m_log.count("notice: " + text), 1);
}

// An unwritable program folder: the captures go to the Pictures folder, said once at start-up, and the
// thumbnail's tooltip shows where the newest capture is.
TEST_F(NoticeWindowTest, PicturesFallbackIsToldOnceAndTheThumbnailShowsThePath)
{
    const QString blocked = m_tmp.filePath("blocked");
    {
        QFile f(blocked);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    capture::setCaptureRoots(blocked + "/program", picturesDir());
    ASSERT_TRUE(openWindow());
    const QString fallback = picturesDir() + "/Viscana/Camera";
    EXPECT_EQ(m_log.count("notice: "), 1);
    EXPECT_TRUE(shownNotice().contains(QDir::toNativeSeparators(fallback)));
    EXPECT_EQ(toolTip(label("label_3")), QString::fromUtf8("还没有照片或录像"));

    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
    QTest::mouseClick(button("pushButton_3"), Qt::LeftButton);
    const QStringList photos = captures(fallback, "jpg");
    ASSERT_FALSE(photos.isEmpty());
    EXPECT_EQ(m_log.count("notice: "), 1);
    EXPECT_EQ(toolTip(label("label_3")),
              QString::fromUtf8("最新拍摄: %1\n单击打开所在文件夹")
                  .arg(QDir::toNativeSeparators(fallback + "/" + photos.last())));
}

// The keys drive the capture controls as the buttons do; every icon button has a tooltip, and the
// countdown's names its delay.
TEST_F(NoticeWindowTest, KeysAndTooltips)
{
    ASSERT_TRUE(openWindow());
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
    const auto key = [&](Qt::Key k) { QTest::keyClick(m_window.get(), k); };

    // T cycles the countdown; its tooltip names the delay.
    const struct {
        const char *image;
        const char *tip;
    } delays[] = {{"time2.png", "倒计时: 2 秒 (T)"},
                  {"time5.png", "倒计时: 5 秒 (T)"},
                  {"time10.png", "倒计时: 10 秒 (T)"},
                  {"time0.png", "倒计时: 关 (T)"}};
    for (const auto &d : delays) {
        key(Qt::Key_T);
        EXPECT_TRUE(button("pushButton_2")->styleSheet().contains(QLatin1String(d.image))) << d.image;
        EXPECT_EQ(toolTip(button("pushButton_2")), QString::fromUtf8(d.tip));
    }

    // Space takes a photo, even right after a button was clicked.
    QTest::mouseClick(button("pushButton_2"), Qt::LeftButton);
    key(Qt::Key_T);
    key(Qt::Key_T);
    key(Qt::Key_T);  // back to no countdown
    key(Qt::Key_Space);
    EXPECT_EQ(captures(cameraDir(), "jpg").size(), 1);

    // R starts and stops a recording; P pauses and resumes it.
    key(Qt::Key_R);
    EXPECT_TRUE(button("pushButton_7")->isVisible());
    EXPECT_EQ(toolTip(button("pushButton_9")), QString::fromUtf8("暂停录像 (P)"));
    key(Qt::Key_P);
    EXPECT_TRUE(label("label_5")->styleSheet().contains("background:red"));
    EXPECT_EQ(toolTip(button("pushButton_9")), QString::fromUtf8("继续录像 (P)"));
    key(Qt::Key_Space);  // no photo while recording
    key(Qt::Key_P);
    EXPECT_TRUE(label("label_5")->styleSheet().contains("rgb(0, 170, 0)"));
    key(Qt::Key_R);
    EXPECT_TRUE(button("pushButton_story")->isVisible());
    EXPECT_FALSE(button("pushButton_7")->isVisible());
    EXPECT_EQ(captures(cameraDir(), "jpg").size(), 1);
    EXPECT_EQ(captures(cameraDir(), "mp4").size(), 1);

    // Esc closes the About panel.
    QTest::mouseClick(button("pushButton"), Qt::LeftButton);
    ASSERT_NE(m_window->findChild<AboutUI *>(), nullptr);
    key(Qt::Key_Escape);
    EXPECT_EQ(m_window->findChild<AboutUI *>(), nullptr);

    // Every icon button says what it does.
    for (QPushButton *b : m_window->findChildren<QPushButton *>()) {
        if (b->text().isEmpty())
            EXPECT_FALSE(b->toolTip().isEmpty()) << b->objectName().toStdString();
    }
}

}  // namespace
}  // namespace windowtest
