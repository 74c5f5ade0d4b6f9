#include "notice_bar.h"

#include <QEvent>

NoticeBar::NoticeBar(QWidget *view) : QLabel(view)
{
    setObjectName(QStringLiteral("noticeBar"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setWordWrap(true);
    setAlignment(Qt::AlignCenter);
    setStyleSheet(QStringLiteral("QLabel#noticeBar { background-color: rgba(0, 0, 0, 180); color: #ffffff;"
                                 " border-radius: 6px; padding: 8px 14px; font-size: 11pt; }"));
    hide();
    m_hide.setSingleShot(true);
    connect(&m_hide, &QTimer::timeout, this, &QWidget::hide);
    view->installEventFilter(this);
}

void NoticeBar::showNotice(const QString &text, int ms)
{
    setText(text);
    place();
    raise();
    show();
    m_hide.start(ms);
}

bool NoticeBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parent() && event->type() == QEvent::Resize && isVisible())
        place();
    return QLabel::eventFilter(watched, event);
}

void NoticeBar::place()
{
    const QWidget *view = parentWidget();
    const int margin = 16;
    // One line when it fits, else wrapped within the view.
    const int room = qMax(120, view->width() - 2 * margin);
    const int wanted = fontMetrics().horizontalAdvance(text()) + 2 * 14 + 8;
    const int width = qMin(room, qMax(wanted, 240));
    const int height = qMax(heightForWidth(width), fontMetrics().height() + 2 * 8);
    setGeometry((view->width() - width) / 2, view->height() - height - margin, width, height);
}
