#include "capture_styles.h"
#include "round_progress_bar.h"
#include "show_time.h"

#include "log_capture.h"

#include <QImage>
#include <QPropertyAnimation>
#include <QtTest/qtestsystem.h>

#include <gtest/gtest.h>

namespace {

TEST(CountdownOverlayTest, FrameAndProgressWidget)
{
    QWidget host;
    ShowTime overlay(&host, 5);
    EXPECT_EQ(overlay.objectName(), "ShowTime");
    EXPECT_TRUE(overlay.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(overlay.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(overlay.styleSheet(), "background:transparent");
    RoundProgressBar *bar = overlay.progressBar();
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(bar->flags() & RoundProgressBar::GradientPen);
    // The overlay starts by filling the arc.
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar->value() == 100.0f; }, 3000));
}

TEST(CountdownOverlayTest, RemainingSecondsBecomeShares)
{
    struct Case {
        int total;
        const char *text;
        float share;
    };
    const Case cases[] = {{5, "5", 100}, {5, "4", 80}, {5, "1", 20}, {5, "0", 0}, {10, "9", 90},
                          {10, "3", 30}, {2, "1", 50},  {5, "", 0},  {5, "x", 0}, {0, "3", 0}};
    testsupport::LogCapture log;
    QWidget host;
    for (const Case &c : cases) {
        ShowTime overlay(&host, c.total);
        overlay.setProgressText(QString::fromLatin1(c.text), c.total);
        // Each step is reached through its 500 ms animation.
        EXPECT_TRUE(QTest::qWaitFor([&] { return qAbs(overlay.progressBar()->value() - c.share) < 0.01f; }, 3000))
            << c.total << " " << c.text << " -> " << overlay.progressBar()->value();
    }
    EXPECT_GE(log.count("tmpTimer:"), int(std::size(cases)));
}

TEST(RoundProgressBarTest, GeometryAndSpan)
{
    RoundProgressBar bar;
    bar.setDataPenWidth(10.0f);
    bar.resize(300, 200);
    bar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
    EXPECT_EQ(bar.minimumSize(), QSize(144, 144));
    EXPECT_FLOAT_EQ(bar.arcOrigin(), 10.0f);
    EXPECT_FLOAT_EQ(bar.arcSize(), 200 - 18 - 2);

    const struct {
        float value;
        int span;
    } spans[] = {{0, 0}, {25, -1440}, {50, -2880}, {100, -5760}, {33.3f, -1918}};
    for (const auto &s : spans) {
        bar.setValue(s.value);
        EXPECT_EQ(bar.spanAngle(), s.span) << s.value;
    }
}

TEST(RoundProgressBarTest, DrawsOnlyTheArc)
{
    RoundProgressBar bar;
    bar.setAttribute(Qt::WA_TranslucentBackground);
    bar.setDataPenWidth(10.0f);
    bar.addFlags(RoundProgressBar::GradientPen);
    bar.resize(200, 200);
    bar.setValue(50);  // the right half, from 12 to 6 o'clock
    QImage image(200, 200, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    bar.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    const float c = bar.arcOrigin() + bar.arcSize() / 2;
    const int top = int(bar.arcOrigin());
    // On the arc at 3 o'clock: the gradient's middle; the left half and the centre stay empty.
    const QColor right = image.pixelColor(int(bar.arcOrigin() + bar.arcSize()), int(c));
    EXPECT_GT(right.alpha(), 200);
    EXPECT_GT(right.green(), 150);
    EXPECT_EQ(image.pixelColor(int(bar.arcOrigin()), int(c)).alpha(), 0);
    EXPECT_EQ(image.pixelColor(int(c), int(c)).alpha(), 0);
    // The arc starts at 12 o'clock with the gradient's start colour rgb(49, 177, 190).
    const QColor start = image.pixelColor(int(c) + 2, top);
    EXPECT_NEAR(start.red(), 49, 30);
    EXPECT_NEAR(start.blue(), 190, 30);
}

TEST(CaptureStylesTest, StateStylesKeepTheirImagesAndLengths)
{
    using namespace capture_styles;
    const struct {
        QString style;
        const char *begins;
        int length;
        const char *contains;
    } cases[] = {
        {photoButtonBlankStyle(), "QPushButton{ background:url(:/img/) no-repeat center;", 512, "border-radius: 50px"},
        {photoButtonCameraStyle(), "QPushButton{ background:url(:/img/camera1.png) no-repeat center;", 523,
         "border-radius: 50px"},
        {pauseButtonRecoverStyle(), "QPushButton{ background:url(:/img/recover.png) no-repeat center;", 523,
         "border-radius: 25px"},
        {pauseButtonSuspendStyle(), "QPushButton{ background:url(:/img/suspend.png) no-repeat center;", 523,
         "border-radius: 25px"},
        {dotRunningStyle(), "QLabel{", 164, "background-color: rgb(0, 170, 0)"},
        {dotPausedStyle(), "QLabel{", 138, "background:red"},
        {dotStoppedStyle(), "QLabel{", 122, "background:red"},
    };
    for (const auto &c : cases) {
        EXPECT_TRUE(c.style.startsWith(QLatin1String(c.begins))) << c.begins;
        EXPECT_EQ(c.style.size(), c.length) << c.begins;
        EXPECT_TRUE(c.style.contains(QLatin1String(c.contains))) << c.begins;
    }
    for (int n : {0, 2, 5, 10}) {
        const QString s = countdownButtonStyle(n);
        EXPECT_TRUE(s.startsWith(" QPushButton{                                   border-image: url(:/img/time" +
                                 QString::number(n) + ".png);"))
            << n;
        EXPECT_TRUE(s.contains("border-radius: 10px") && s.contains("2px") && s.contains(":hover") &&
                    s.contains(":pressed") && s.contains(":disabled"));
    }
}

}  // namespace
