#include "show_time.h"

#include "round_progress_bar.h"
#include "ui_show_time.h"

#include <QDebug>

ShowTime::ShowTime(QWidget *parent, int total) : QWidget(parent), ui(new Ui::ShowTime)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::FramelessWindowHint);
    setStyleSheet(QStringLiteral("background:transparent"));

    m_progress = new RoundProgressBar(this);
    m_progress->setDataPenWidth(10.0f);
    m_progress->addFlags(~0);
    ui->gridLayout->addWidget(m_progress, 0, 0);
    m_progress->setValueAnimated(100.0f);
    update();
    qDebug() << "ShowTime total:" << total;
}

ShowTime::~ShowTime()
{
    delete ui;
}

void ShowTime::setProgressText(const QString &text, int total)
{
    // toFloat gives 0 for empty or non-numeric text. A total of 0 or less has no share to show; it
    // empties the arc instead of dividing by zero.
    const float tmpTimer =
        total > 0 ? text.toFloat() / static_cast<float>(total) * 100.0f : 0.0f;
    qDebug() << "tmpTimer:" << tmpTimer;
    m_progress->setValueAnimated(tmpTimer);
    update();
}
