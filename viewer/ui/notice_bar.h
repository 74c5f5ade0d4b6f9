#pragma once

#include <QLabel>
#include <QTimer>

// A short message over the bottom of the live view: it shows for a few seconds and goes by itself. It
// takes no focus and no mouse presses, so the window's controls and keys keep working underneath; a
// newer message replaces the one shown.
class NoticeBar : public QLabel {
    Q_OBJECT

public:
    static constexpr int kShowMs = 4000;

    // Lies over `view` (its parent) and follows its size.
    explicit NoticeBar(QWidget *view);

    void showNotice(const QString &text, int ms = kShowMs);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void place();

    QTimer m_hide;
};
