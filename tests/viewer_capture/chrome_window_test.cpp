#include "window_rig.h"

#include "about_ui.h"

#include <QApplication>
#include <QScreen>
#include <QtTest/QTest>

namespace windowtest {
namespace {

TEST_F(CaptureWindowTest, AboutPanelClosesOnAPressOutsideIt)
{
    ASSERT_TRUE(openWindow(false));
    QTest::mouseClick(button("pushButton"), Qt::LeftButton);
    AboutUI *about = m_window->findChild<AboutUI *>();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());
    EXPECT_EQ(about->pos(), QPoint(0, 40));

    // A press inside the panel leaves it open.
    QTest::mousePress(about, Qt::LeftButton, Qt::NoModifier, QPoint(100, 200));
    QTest::mouseRelease(about, Qt::LeftButton, Qt::NoModifier, QPoint(100, 200));
    EXPECT_EQ(m_window->findChild<AboutUI *>(), about);
    EXPECT_TRUE(about->isVisible());

    // A press elsewhere in the window (the live view does not take presses) deletes it.
    QLabel *view = label("label_showImage");
    const QPoint outside = view->mapFrom(m_window.get(), QPoint(about->geometry().right() + 150, 300));
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, outside);
    EXPECT_EQ(m_window->findChild<AboutUI *>(), nullptr);

    // Two presses of the settings button leave two panels; the first is no longer reachable.
    QTest::mouseClick(button("pushButton"), Qt::LeftButton);
    QTest::mouseClick(button("pushButton"), Qt::LeftButton);
    EXPECT_EQ(m_window->findChildren<AboutUI *>().size(), 2);
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, outside);
    EXPECT_EQ(m_window->findChildren<AboutUI *>().size(), 1);

    // The back button only hides the panel.
    QTest::mouseClick(button("pushButton"), Qt::LeftButton);
    AboutUI *third = m_window->findChildren<AboutUI *>().last();
    QTest::mouseClick(third->findChild<QPushButton *>("pushButton"), Qt::LeftButton);
    EXPECT_FALSE(third->isVisible());
    EXPECT_TRUE(m_window->findChildren<AboutUI *>().contains(third));
}

TEST_F(CaptureWindowTest, MaximiseThenRestoreReturnsToTheEarlierRectangle)
{
    ASSERT_TRUE(openWindow(false));
    QPushButton *max = button("pushButton_MAX");
    EXPECT_FALSE(max->isVisible());
    m_window->move(30, 20);
    const QRect before = m_window->geometry();
    max->click();
    // The work area (the offscreen screen is smaller than the window's minimum size).
    const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(m_window->geometry().topLeft(), work.topLeft());
    EXPECT_EQ(m_window->geometry().size(), work.size().expandedTo(m_window->minimumSize()));
    m_window->move(5, 5);  // moved while maximised
    max->click();
    EXPECT_EQ(m_window->geometry(), before);
}

TEST_F(CaptureWindowTest, MinimiseAndDragKeepTheWindowWhole)
{
    ASSERT_TRUE(openWindow(false));
    // A press on the background hands the drag to the system (offscreen has no move loop).
    QTest::mousePress(label("label_2"), Qt::LeftButton);
    QTest::mouseRelease(label("label_2"), Qt::LeftButton);
    EXPECT_TRUE(m_window->isVisible());
    QTest::mouseClick(button("pushButton_Mix"), Qt::LeftButton);
    EXPECT_TRUE(m_window->isMinimized());
}

}  // namespace
}  // namespace windowtest
