#include "usb_listener.h"

#include "device_events.h"

#include <QDebug>
#include <QSocketNotifier>

usb_listener::usb_listener(QWidget *parent)
    : QWidget(parent), m_events(std::make_unique<viscana::platform::DeviceEventSource>())
{
    const int fd = m_events->descriptor();
    if (fd >= 0) {
        m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &usb_listener::onDeviceEvents);
    } else if (*m_events->error()) {
        qWarning().noquote() << "usb_listener: no device events:" << m_events->error();
    }
}

usb_listener::~usb_listener() = default;

bool usb_listener::nativeEventFilter(const QByteArray &eventType, void *message, long *result)
{
    if (viscana::platform::isDeviceChangeMessage(message))
        emit signals_DevicePlugIn();
    return QWidget::nativeEvent(eventType, message, result);
}

void usb_listener::onDeviceEvents()
{
    const int n = m_events->drain();
    for (int i = 0; i < n; ++i)
        emit signals_DevicePlugIn();
}
