#pragma once
// Tells the main window that USB devices came or went. Never shown: the widget only carries the
// signals. On Windows it is installed as the application's native event filter and reacts to the
// WM_DEVICECHANGE messages that Windows broadcasts; on Linux it watches a udev monitor of the "usb"
// subsystem. Either way every notification, of whatever kind, emits signals_DevicePlugIn.

#include <QAbstractNativeEventFilter>
#include <QWidget>

#include <memory>

class QSocketNotifier;

namespace viscana::platform {
class DeviceEventSource;
}

class usb_listener : public QWidget, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    explicit usb_listener(QWidget *parent = nullptr);
    ~usb_listener() override;

    // Emits signals_DevicePlugIn for a device-change message and lets every message through.
    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;

signals:
    void DeviceChangeCbk();
    void signals_DevicePlugIn();
    void signals_DevicePlugOut();

private:
    void onDeviceEvents();

    std::unique_ptr<viscana::platform::DeviceEventSource> m_events;
    QSocketNotifier *m_notifier = nullptr;
};
