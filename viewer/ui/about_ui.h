#pragma once

#include <QWidget>

namespace Ui {
class AboutUI;
}

// The About panel: a small frameless page inside the main window with the program version and a notice.
// Its back button only hides it; the main window deletes it on a press outside it.
class AboutUI : public QWidget {
    Q_OBJECT

public:
    explicit AboutUI(QWidget *parent = nullptr);
    ~AboutUI() override;

    static const char *programVersion() { return VISCANA_VERSION; }

private slots:
    void on_pushButton_clicked();

private:
    Ui::AboutUI *ui;
};
