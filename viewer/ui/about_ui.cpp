#include "about_ui.h"

#include "ui_about_ui.h"
#include "window_icons.h"

AboutUI::AboutUI(QWidget *parent) : QWidget(parent), ui(new Ui::AboutUI)
{
    ui->setupUi(this);
    // The back arrow has no picture of its own in the resources: the "break" arrow stands in for it.
    ui->pushButton->setIcon(workingFolderIcon(QStringLiteral("back.png"), QStringLiteral("break.png")));
    ui->label_5->setText(QString::fromLatin1(programVersion()));
    ui->pushButton->setToolTip(tr("返回 (Esc)"));
    ui->pushButton->setFocusPolicy(Qt::NoFocus);
    setMinimumWidth(200);
    setMinimumHeight(300);
    setWindowFlags(Qt::FramelessWindowHint);
    setStyleSheet(QStringLiteral("background-color: #5E5E5E ;"));
}

AboutUI::~AboutUI()
{
    delete ui;
}

void AboutUI::on_pushButton_clicked()
{
    close();
}
