#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QPixmap>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(tr("Viscana"));
    qDebug() << "MainWindow created";
    showNoCamera();
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::showNoCamera()
{
    ui->label_showImage->setPixmap(QPixmap(QStringLiteral(":/img/NoUSB.png")));
}

void MainWindow::on_pushButton_6_clicked()
{
    hide();
    QApplication::exit(0);
}
