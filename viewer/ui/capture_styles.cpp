#include "capture_styles.h"

namespace capture_styles {
namespace {

// The round image buttons of the control bar; %1 is the image under :/img/, %2 the corner radius.
const char kRoundButton[] =
    "QPushButton{ background:url(:/img/%1) no-repeat center;\n"
    " border-radius: %2px;\n"
    " border: none;\n"
    " background-color: rgba(255, 255, 255, 0);\n"
    " color: #FFFFFF;\n"
    " font-family: \"Microsoft Yahei\";\n"
    "}\n"
    "QPushButton:hover{\n"
    " background-color: rgba(255, 255, 255, 140);\n"
    " border: 2px solid rgba(255, 255, 255, 120);\n"
    "}\n"
    "QPushButton:pressed{\n"
    " background-color: rgba(255, 255, 255, 180);\n"
    " border: 2px solid rgba(255, 255, 255, 200);\n"
    " padding-left: 2px;\n"
    " padding-top: 2px;\n"
    "}\n"
    "QPushButton:disabled{\n"
    " background-color: rgba(0, 0, 0, 100);\n"
    "}\n";

QString roundButton(const char *image, int radius)
{
    return QString::fromLatin1(kRoundButton).arg(QString::fromLatin1(image)).arg(radius);
}

const char kDotShape[] =
    " min-width: 8px; max-width: 8px;\n"
    " min-height: 8px; max-height: 8px;\n"
    " border-radius: 3px;\n";

}  // namespace

QString countdownButtonStyle(int seconds)
{
    return QStringLiteral(" QPushButton{                                   border-image: url(:/img/time") +
           QString::number(seconds) +
           QStringLiteral(".png);\n"
                          " border-radius: 10px;\n"
                          " border: 2px solid rgba(255, 255, 255, 0);\n"
                          "}\n"
                          "QPushButton:hover{\n"
                          " border: 2px solid rgba(255, 255, 255, 120);\n"
                          "}\n"
                          "QPushButton:pressed{\n"
                          " border: 2px solid rgba(255, 255, 255, 200);\n"
                          "}\n"
                          "QPushButton:disabled{\n"
                          " border: 2px solid rgba(0, 0, 0, 0);\n"
                          "}\n");
}

QString photoButtonBlankStyle() { return roundButton("", 50); }
QString photoButtonCameraStyle() { return roundButton("camera1.png", 50); }
QString pauseButtonRecoverStyle() { return roundButton("recover.png", 25); }
QString pauseButtonSuspendStyle() { return roundButton("suspend.png", 25); }

QString dotRunningStyle()
{
    return QStringLiteral("QLabel{\n") + QString::fromLatin1(kDotShape) +
           QStringLiteral(" border: 1px solid darkgreen;\n background-color: rgb(0, 170, 0);\n}\n");
}

QString dotPausedStyle()
{
    return QStringLiteral("QLabel{\n") + QString::fromLatin1(kDotShape) +
           QStringLiteral(" border: 1px solid red;\n background:red;}");
}

QString dotStoppedStyle()
{
    return QStringLiteral(
        "QLabel{ min-width: 8px; max-width: 8px; min-height: 8px; max-height: 8px; border-radius: 3px; "
        "border: 0; background:red; }");
}

}  // namespace capture_styles
