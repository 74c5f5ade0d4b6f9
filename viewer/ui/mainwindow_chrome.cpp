// The window chrome of the main window: the About panel and its outside-press rule, dragging the
// frameless window, maximise/restore, the thumbnail click, and closing without losing a recording.
#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "about_ui.h"
#include "desktop_open.h"
#include "window_drag.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QScreen>
#include <QMouseEvent>

void MainWindow::on_pushButton_clicked()
{
    m_aboutUi = new AboutUI(this);
    m_aboutUi->setWindowModality(Qt::ApplicationModal);
    m_aboutUi->move(0, 40);
    m_aboutUi->show();
    installEventFilter(this);
}

void MainWindow::on_pushButton_MAX_clicked()
{
    // Kept for the life of the process, as the button toggles between two states.
    static QRect saved = geometry();
    static bool maximised = false;
    if (maximised) {
        setGeometry(saved);
    } else {
        saved = geometry();
        // The work area of the screen, without the task bar.
        setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
    }
    maximised = !maximised;
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ToolTip &&
        (watched == ui->label_3 || watched == ui->pushButton_2 || watched == ui->pushButton_9))
        refreshToolTips();

    if (watched == ui->label_3 && event->type() == QEvent::MouseButtonPress) {
        auto *press = static_cast<QMouseEvent *>(event);
        if ((press->button() == Qt::LeftButton || press->button() == Qt::RightButton) &&
            !ui->label_Path->text().isEmpty()) {
            const QString path = ui->label_Path->text();
            qDebug() << "点击了label:" << path;
            // The folder of the newest capture, with its trailing slash.
            const QString folder = path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
            qDebug() << folder;
            QString failure;
            if (!viscana::platform::openWithDesktop(folder, &failure))
                qDebug() << "ShellExecute failed: " << failure;
            return true;
        }
    }

    if (event->type() == QEvent::MouseButtonPress && m_aboutUi && (watched == this || watched == ui->label_3)) {
        // The panel's geometry is in this window's coordinates; so is the press, mapped from the screen.
        const QPoint at = mapFromGlobal(static_cast<QMouseEvent *>(event)->globalPos());
        if (!m_aboutUi->geometry().contains(at))
            closeAboutPanel();
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::closeAboutPanel()
{
    if (!m_aboutUi)
        return;
    m_aboutUi->hide();
    delete m_aboutUi;
    m_aboutUi = nullptr;
    removeEventFilter(this);
}

void MainWindow::mousePressEvent(QMouseEvent *event)
{
    // The system's own move loop drags the frameless window (it also works where the application may
    // not place its windows itself).
    viscana::platform::startWindowDrag(this);
    event->ignore();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    closeSequence();
    event->accept();
}

void MainWindow::closeSequence()
{
    if (m_closing)
        return;
    m_closing = true;
    hide();
    // Every recording is stopped and its file finished before the process ends: an MP4 whose writer
    // is never closed has no index and does not play.
    finishRecordings(closeWaitMs());
}
