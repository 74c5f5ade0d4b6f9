#pragma once

#include <QMainWindow>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

// The program's only top-level window: frameless and black, with the live view in "label_showImage".
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Puts the no-camera picture into the live view.
    void showNoCamera();

private slots:
    void on_pushButton_6_clicked();

private:
    Ui::MainWindow *ui;
};
