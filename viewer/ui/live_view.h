#pragma once

#include <QImage>
#include <QObject>
#include <QPixmap>

class ImageConverModule;
class QLabel;

// The picture a label holds (a null pixmap when it holds none).
QPixmap labelPixmap(const QLabel *label);

// The live view's side of the window. The converter decodes the camera's frames at about the size of
// the live-view label (it is told the label's size in device pixels whenever that changes), and the
// label's picture is drawn stretched over the label with one plain scale instead of the smooth
// rescale a label does for every new picture.
class LiveView : public QObject {
public:
    LiveView(QLabel *label, ImageConverModule *converter);
    ~LiveView() override;

    // What photos and recordings are made of: the camera's full frame whose picture the live view
    // shows, decoded at its own size. A picture put into the label without a frame behind it (none
    // delivered yet) is taken as it is.
    QImage fullFrame() const;
    // The size of that frame.
    QSize fullFrameSize() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void followSize();

    QLabel *m_label;
    ImageConverModule *m_converter;
};
