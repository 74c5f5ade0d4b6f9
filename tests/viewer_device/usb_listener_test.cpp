// The plug/unplug listener: every udev event of the "usb" subsystem (from the virtual camera's test
// bed) becomes one signals_DevicePlugIn, without polling; native messages pass through untouched.
#include "usb_listener.h"
#include "virtual_camera.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {

vcam::VirtualUsbBus &bus()
{
    static vcam::VirtualUsbBus *b = new vcam::VirtualUsbBus;
    return *b;
}

bool waitForCount(QSignalSpy &spy, int n, int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (spy.count() < n && t.elapsed() < timeoutMs)
        QTest::qWait(10);
    return spy.count() >= n;
}

}  // namespace

TEST(UsbListenerTest, EveryUsbEventEmitsPlugIn)
{
    bus();
    usb_listener listener;
    QSignalSpy plugIn(&listener, &usb_listener::signals_DevicePlugIn);
    QSignalSpy plugOut(&listener, &usb_listener::signals_DevicePlugOut);
    QSignalSpy other(&listener, &usb_listener::DeviceChangeCbk);

    vcam::VirtualCamera camera(bus());
    camera.plug();
    ASSERT_TRUE(waitForCount(plugIn, 1));
    const int afterPlug = plugIn.count();
    camera.unplug();  // removal too: the kind of event is not looked at
    ASSERT_TRUE(waitForCount(plugIn, afterPlug + 1));
    QTest::qWait(100);
    EXPECT_EQ(plugOut.count(), 0);
    EXPECT_EQ(other.count(), 0);
    EXPECT_FALSE(listener.isVisible());
}

TEST(UsbListenerTest, NativeMessagesAreNotConsumed)
{
    usb_listener listener;
    QSignalSpy plugIn(&listener, &usb_listener::signals_DevicePlugIn);
    long result = 0;
    int dummy = 0;
    EXPECT_FALSE(listener.nativeEventFilter("xcb_generic_event_t", &dummy, &result));
    EXPECT_EQ(plugIn.count(), 0);
    EXPECT_NE(listener.qt_metacast("usb_listener"), nullptr);
    EXPECT_EQ(listener.qt_metacast("QAbstractNativeEventFilter"),
              static_cast<void *>(static_cast<QAbstractNativeEventFilter *>(&listener)));
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    bus();  // before anything in the process touches udev or libusb
    int r = 0;
    {
        QApplication app(argc, argv);
        r = RUN_ALL_TESTS();
    }
    delete &bus();
    return r;
}
