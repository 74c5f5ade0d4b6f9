#pragma once

#include <QString>
#include <QWidget>

class RoundProgressBar;

namespace Ui {
class ShowTime;
}

// The countdown overlay shown over the live view while a photo countdown runs: a round progress arc
// that empties one step per second.
class ShowTime : public QWidget {
    Q_OBJECT

public:
    ShowTime(QWidget *parent, int total);
    ~ShowTime() override;

    // Shows text (the seconds left, as a number; empty counts as 0) out of total as the arc's share.
    void setProgressText(const QString &text, int total);

    RoundProgressBar *progressBar() const { return m_progress; }

private:
    Ui::ShowTime *ui;
    RoundProgressBar *m_progress = nullptr;
};
