#include "about_ui.h"

#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

TEST(AboutPanelTest, FormAndLook)
{
    AboutUI about;
    EXPECT_EQ(about.objectName(), "AboutUI");
    EXPECT_EQ(about.size(), QSize(333, 360));
    EXPECT_EQ(about.minimumSize(), QSize(200, 300));
    EXPECT_TRUE(about.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(about.styleSheet(), "background-color: #5E5E5E ;");
    auto *stack = about.findChild<QStackedWidget *>("stackedWidget");
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(stack->currentIndex(), 0);
    EXPECT_EQ(stack->count(), 2);
    const struct {
        const char *name;
        const char *text;
    } labels[] = {{"label", "设置"}, {"label_2", "关于此应用"}, {"label_3", "版本号："}, {"label_5", "1.0.17"}};
    for (const auto &l : labels) {
        auto *label = about.findChild<QLabel *>(l.name);
        ASSERT_NE(label, nullptr) << l.name;
        EXPECT_EQ(label->text(), QString::fromUtf8(l.text)) << l.name;
    }
    EXPECT_FALSE(about.findChild<QLabel *>("label_4")->text().isEmpty());
    EXPECT_EQ(about.findChild<QPushButton *>("pushButton_2")->text(), QString::fromUtf8("使用条款"));
    EXPECT_EQ(about.findChild<QPushButton *>("pushButton_3")->text(), QString::fromUtf8("隐私声明"));
    EXPECT_GE(about.findChild<QPushButton *>("pushButton")->minimumWidth(), 30);
}

TEST(AboutPanelTest, BackButtonOnlyHides)
{
    QWidget host;
    host.resize(600, 500);
    auto *about = new AboutUI(&host);
    host.show();
    about->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    QTest::mouseClick(about->findChild<QPushButton *>("pushButton"), Qt::LeftButton);
    EXPECT_FALSE(about->isVisible());
    EXPECT_EQ(host.findChild<AboutUI *>(), about);  // hidden, not deleted
    // The link-style buttons lead nowhere.
    QTest::mouseClick(about->findChild<QPushButton *>("pushButton_2"), Qt::LeftButton);
}

}  // namespace
