#include "live_view.h"

#include "image_conver_module.h"
#include "jpeg_picture.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>

QPixmap labelPixmap(const QLabel *label)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    return label->pixmap(Qt::ReturnByValue);
#else
    const QPixmap *shown = label->pixmap();
    return shown ? *shown : QPixmap();
#endif
}

LiveView::LiveView(QLabel *label, ImageConverModule *converter)
    : QObject(label), m_label(label), m_converter(converter)
{
    m_label->installEventFilter(this);
    followSize();
}

LiveView::~LiveView()
{
    // Without a window the frames are decoded in full again (other users of the converter).
    m_converter->setDisplaySize(QSize());
}

QImage LiveView::fullFrame() const
{
    const ImageConverModule::Frame frame = m_converter->shownFrame();
    if (frame.isNull())
        return labelPixmap(m_label).toImage();
    JpegPictureDecoder decoder;
    return decoder.decode(frame.bytes.get(), frame.len);
}

QSize LiveView::fullFrameSize() const
{
    const ImageConverModule::Frame frame = m_converter->shownFrame();
    const QSize full = frame.isNull() ? QSize() : JpegPictureDecoder::frameSize(frame.bytes.get(), frame.len);
    return full.isValid() ? full : labelPixmap(m_label).size();
}

void LiveView::followSize()
{
    const QSize shown = m_label->contentsRect().size() * m_label->devicePixelRatioF();
    if (m_converter->displaySize() != shown)
        m_converter->setDisplaySize(shown);
}

bool LiveView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_label)
        return false;
    switch (event->type()) {
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::ScreenChangeInternal:
        followSize();
        break;
    case QEvent::Paint:
        // Camera frames fill the label (scaled contents); the converter made them at least as large as
        // the label, so a plain scale down is enough. Anything else the label draws itself.
        if (m_label->hasScaledContents() && m_label->text().isEmpty()) {
            const QPixmap shown = labelPixmap(m_label);
            if (!shown.isNull()) {
                QPainter painter(m_label);
                painter.drawPixmap(m_label->contentsRect(), shown);
                return true;
            }
        }
        break;
    default:
        break;
    }
    return false;
}
