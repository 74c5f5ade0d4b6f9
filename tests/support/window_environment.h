#pragma once
// The process of a window test program: the virtual USB bus, made before any libusb_init of the
// process and gone after the application; the widget application (offscreen unless a platform is
// chosen); and the frame converter, made in the GUI thread as the window makes it.

#include "image_conver_module.h"
#include "virtual_camera.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

namespace testsupport {

class WindowEnvironment : public ::testing::Environment {
public:
    explicit WindowEnvironment(const char *programName) : m_argv{const_cast<char *>(programName), nullptr} {}

    void SetUp() override
    {
        m_bus = std::make_unique<vcam::VirtualUsbBus>();
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        m_app = std::make_unique<QApplication>(m_argc, m_argv);
        ImageConverModule::instance();
    }
    void TearDown() override
    {
        m_app.reset();
        m_bus.reset();
    }

    vcam::VirtualUsbBus &bus() { return *m_bus; }

private:
    int m_argc = 1;
    char *m_argv[2];
    std::unique_ptr<vcam::VirtualUsbBus> m_bus;
    std::unique_ptr<QApplication> m_app;
};

}  // namespace testsupport
