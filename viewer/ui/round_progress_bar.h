#pragma once

#include <QColor>
#include <QWidget>

// A circular progress arc: one arc from 12 o'clock, clockwise, whose span follows the value between
// m_min and m_max, drawn in a plain colour or with a vertical gradient. Nothing else is painted.
class RoundProgressBar : public QWidget {
    Q_OBJECT
    Q_PROPERTY(float _value READ value WRITE setValue)

public:
    enum Flag { GradientPen = 4 };

    explicit RoundProgressBar(QWidget *parent = nullptr);

    void setDataPenWidth(float width);
    void addFlags(int flags) { m_flags |= flags; }
    int flags() const { return m_flags; }

    float value() const { return m_value; }
    // Stores the value and repaints at once.
    void setValue(float value);
    // Moves the value to target over 500 ms with an ease-out curve.
    void setValueAnimated(float target);

    float arcOrigin() const { return m_arcOrigin; }
    float arcSize() const { return m_arcSize; }
    // Span of the arc for the current value in sixteenths of a degree (negative: clockwise).
    int spanAngle() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    int m_startAngle = 90;
    bool m_clockwise = true;
    float m_outlinePenWidth = 18.0f;
    float m_dataPenWidth = 16.0f;
    float m_min = 0.0f;
    float m_max = 100.0f;
    float m_value = 0.0f;
    QColor m_outlineColor{233, 248, 248};
    QColor m_dataColor{49, 177, 190};
    QColor m_gradientEndColor{133, 243, 244};
    float m_arcOrigin = 0.0f;
    float m_arcSize = 0.0f;
    int m_flags = 0;
};
