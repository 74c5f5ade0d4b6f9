// Takes the README's pictures of the viewer: the live view, a running countdown, a recording with its
// clock and the About panel, each grabbed from the X screen (run under Xvfb by scripts/make-screenshots.sh).
//
//   viewer_screenshots <output folder>
#include "capture_files.h"
#include "image_conver_module.h"
#include "language.h"
#include "mainwindow.h"
#include "virtual_camera.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QtTest/QTest>

#include <cstdio>
#include <memory>

namespace {

bool grab(QWidget *window, const QString &file)
{
    QApplication::processEvents();
    const QRect r = window->frameGeometry();
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), r.width(), r.height());
    const bool ok = !shot.isNull() && shot.save(file, nullptr, 88);
    std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(file));
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    auto bus = std::make_unique<vcam::VirtualUsbBus>();
    int status = 0;
    {
        QApplication app(argc, argv);
        const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
        QDir().mkpath(out);
        QTemporaryDir captures;
        capture::setCaptureRoots(captures.path(), captures.path());
        ImageConverModule::instance();
        // The interface language follows the system's, as at the viewer's start.
        QTranslator translator;
        (void)translator.load(catalogueForLanguage(QLocale::system().language()));
        app.installTranslator(&translator);

        vcam::CameraConfig config;
        config.fps = 25;
        config.stream.width = 640;
        config.stream.height = 480;
        config.stream.scene = vcam::Scene::Camera;
        auto cam = std::make_unique<vcam::VirtualCamera>(*bus, config);
        cam->plug();
        {
            MainWindow window;
            window.move(0, 0);
            window.show();
            (void)QTest::qWaitForWindowExposed(&window);
            auto *view = window.findChild<QLabel *>("label_showImage");
            const bool live = QTest::qWaitFor(
                [&] { return view->pixmap(Qt::ReturnByValue).size() == QSize(640, 480); }, 20000);
            if (!live) {
                std::fprintf(stderr, "the window shows no camera picture\n");
                status = 1;
            }
            QTest::qWait(500);
            status |= !grab(&window, out + "/live-view.jpg");

            // A 5 s countdown, grabbed while its overlay runs.
            auto *selector = window.findChild<QPushButton *>("pushButton_2");
            QTest::mouseClick(selector, Qt::LeftButton);
            QTest::mouseClick(selector, Qt::LeftButton);
            QTimer::singleShot(2300, &window, [&] { status |= !grab(&window, out + "/countdown.jpg"); });
            QTest::mouseClick(window.findChild<QPushButton *>("pushButton_3"), Qt::LeftButton);
            QTest::mouseClick(selector, Qt::LeftButton);  // 10 s
            QTest::mouseClick(selector, Qt::LeftButton);  // back to no countdown

            // A recording after a few seconds of its clock.
            QTest::mouseClick(window.findChild<QPushButton *>("pushButton_story"), Qt::LeftButton);
            QTest::qWait(3600);
            status |= !grab(&window, out + "/recording.jpg");
            QTest::mouseClick(window.findChild<QPushButton *>("pushButton_7"), Qt::LeftButton);
            QTest::qWait(1500);

            QTest::mouseClick(window.findChild<QPushButton *>("pushButton"), Qt::LeftButton);
            QTest::qWait(300);
            status |= !grab(&window, out + "/about.jpg");
        }
        cam.reset();
    }
    bus.reset();
    return status;
}
