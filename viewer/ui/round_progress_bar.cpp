#include "round_progress_bar.h"

#include <QEasingCurve>
#include <QLinearGradient>
#include <QPainter>
#include <QPen>
#include <QPropertyAnimation>
#include <QResizeEvent>

#include <algorithm>

RoundProgressBar::RoundProgressBar(QWidget *parent) : QWidget(parent) {}

void RoundProgressBar::setDataPenWidth(float width)
{
    m_dataPenWidth = width;
    update();
}

void RoundProgressBar::setValue(float value)
{
    m_value = value;
    repaint();
}

void RoundProgressBar::setValueAnimated(float target)
{
    auto *animation = new QPropertyAnimation(this, "_value", this);
    animation->setDuration(500);
    animation->setStartValue(m_value);
    animation->setEndValue(target);
    animation->setEasingCurve(QEasingCurve::OutQuad);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

int RoundProgressBar::spanAngle() const
{
    const int span = static_cast<int>((m_value - m_min) / (m_max - m_min) * 360 * 16);
    return m_clockwise ? -span : span;
}

void RoundProgressBar::resizeEvent(QResizeEvent *event)
{
    const float widest = std::max(m_outlinePenWidth, m_dataPenWidth);
    const int side = static_cast<int>(widest * 8);
    setMinimumSize(side, side);
    m_arcOrigin = widest / 2 + 1;
    m_arcSize = std::min(width(), height()) - widest - 2;
    QWidget::resizeEvent(event);
}

void RoundProgressBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen;
    if (m_flags & GradientPen) {
        QLinearGradient gradient(0, 0, 0, m_arcSize);
        gradient.setColorAt(0, m_dataColor);
        gradient.setColorAt(1, m_gradientEndColor);
        pen = QPen(QBrush(gradient), static_cast<int>(m_dataPenWidth));
    } else {
        pen = QPen(m_dataColor, static_cast<int>(m_dataPenWidth));
    }
    pen.setStyle(Qt::SolidLine);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    painter.drawArc(QRectF(m_arcOrigin, m_arcOrigin, m_arcSize, m_arcSize), m_startAngle * 16,
                    spanAngle());
}
