#include "viewer_main.h"

#include <QApplication>
#include <QDebug>
#include <QLocale>
#include <QMetaEnum>
#include <QTranslator>

#include <cstdio>

#include "command_line.h"
#include "language.h"
#include "log_handler.h"
#include "mainwindow.h"

int viewerMain(int argc, char *argv[])
{
    const int answered = answerInfoOptions(argc, argv);
    if (answered >= 0)
        return answered;
    // The window paints with the raster engine only: on X11, Qt would otherwise load the OpenGL driver
    // (tens of MB resident) at start-up for nothing. A value set by the user is kept.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication app(argc, argv);
    // The camera protocol traces with printf; unbuffered, so the trace is never behind the log.
    setbuf(stdout, nullptr);
    qInstallMessageHandler(messageHandler);

    const QLocale loc = QLocale::system();
    qCritical() << "loc.language():"
                << QMetaEnum::fromType<QLocale::Language>().valueToKey(loc.language());

    QTranslator translator;
    // A catalogue that fails to load leaves the source (Chinese) texts; install the translator anyway.
    (void)translator.load(catalogueForLanguage(loc.language()));
    app.installTranslator(&translator);

    int code = 0;
    {
        MainWindow window;
        window.show();
        code = app.exec();
    }
    return code;
}
