// The installation thread against a scripted installer: the two attempts, their outcome signals and
// log lines, and which listed device an attempt takes.
#include "fake_installer.h"
#include "log_capture.h"
#include "thread_in_drive.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <gtest/gtest.h>

using devtest::FakeAttempt;
using devtest::FakeInstallerScope;

namespace {

struct Outcome {
    const char *name;
    std::vector<FakeAttempt> attempts;
    const char *error;                // nullptr: signals_In_End expected
    int installers;                   // InDriver calls made
    std::vector<const char *> logged; // lines expected in the log
};

FakeAttempt listing(int result) { FakeAttempt a; a.listResult = result; return a; }
FakeAttempt installing(int result) { FakeAttempt a; a.installResult = result; return a; }
FakeAttempt preparing(int result) { FakeAttempt a; a.prepareResult = result; return a; }
FakeAttempt devices(std::vector<std::pair<uint16_t, uint16_t>> d) { FakeAttempt a; a.devices = d; return a; }

}  // namespace

TEST(ThreadInDriveTest, AttemptsAndOutcomes)
{
    const std::vector<Outcome> cases = {
        {"no driverless device", {listing(-4)}, "驱动安装错误1", 1,
         {"wdi_create_list No driverless USB devices were found.\n", " 第一次安装驱动 InDriver_Ret :  -4"}},
        {"list fails otherwise", {listing(-5)}, "驱动安装错误1", 1,
         {"wdi_create_list wdi_create_list: error %s\n fake error -5",
          "wdi_create_list wdi_create_list: error  fake error -5"}},
        {"both interfaces installed", {installing(0), installing(0)}, nullptr, 2,
         {"wdi_install_driver 驱动安装成功", " 第二次安装驱动 InDriver_Ret :  0", "end-----------------",
          "结束安装驱动", " ThreadInDrive线程启动 end "}},
        {"second attempt fails", {installing(0), installing(-3)}, "驱动安装错误2", 2,
         {"wdi_create_list wdi_create_list: error: fake error -3"}},
        {"install finds no device", {installing(-4)}, "驱动安装错误1", 1,
         {"wdi_install_driver No driverless USB devices were found.\n"}},
        {"prepare fails", {preparing(-11)}, "驱动安装错误1", 1, {" 第一次安装驱动 InDriver_Ret :  -11"}},
        {"only other vendors listed", {devices({{0x1234, 1}, {0x8087, 2}})}, nullptr, 2,
         {"Found USB device:  1234 1", "线程安装驱动 不存在设备.\n"}},
    };
    for (const Outcome &c : cases) {
        SCOPED_TRACE(c.name);
        FakeInstallerScope scope(c.attempts);
        testsupport::LogCapture log;
        auto *thread = new ThreadInDrive(nullptr, 0x2CE3, 0x3301);
        // Recorded in the installation thread as they are emitted.
        QMutex lock;
        QStringList errors;
        int ends = 0;
        QObject::connect(thread, &ThreadInDrive::signals_In_Error, thread, [&](const QString &e) {
            QMutexLocker l(&lock);
            errors << e;
        }, Qt::DirectConnection);
        QObject::connect(thread, &ThreadInDrive::signals_In_End, thread, [&] {
            QMutexLocker l(&lock);
            ++ends;
        }, Qt::DirectConnection);
        thread->start();
        ASSERT_TRUE(thread->wait(10000));
        QMutexLocker l(&lock);
        if (c.error) {
            EXPECT_EQ(errors, QStringList{QString::fromUtf8(c.error)});
            EXPECT_EQ(ends, 0);
        } else {
            EXPECT_TRUE(errors.isEmpty());
            EXPECT_EQ(ends, 1);
        }
        EXPECT_EQ(scope.created(), c.installers);
        for (const char *line : c.logged)
            EXPECT_GE(log.count(QString::fromUtf8(line)), 1) << line << "\n"
                                                             << log.lines().join('\n').toStdString();
        EXPECT_EQ(log.exact(" ThreadInDrive线程启动 开始安装 "), 1);
        delete thread;
        EXPECT_EQ(log.exact(" ~ThreadInDrive 完成释放  "), 1);
    }
}

TEST(ThreadInDriveTest, TakesTheFirstDeviceOfASupportedVendorOnly)
{
    FakeAttempt a = devices({{0x8087, 1}, {0x0329, 7}, {0x3301, 8}});
    FakeInstallerScope scope({a});
    ThreadInDrive thread(nullptr, 0x0329, 7);
    EXPECT_EQ(thread.InDriver(), 0);
    const std::vector<std::string> want = {"list", "level 3", "prepare 0329 usb_driver libusb_device.inf",
                                           "install 0329", "destroy"};
    EXPECT_EQ(scope.script->snapshot(), want);
}

TEST(ThreadInDriveTest, VendorIsASubstringOfTheIdentifierPattern)
{
    const std::vector<std::pair<uint16_t, bool>> cases = {
        {0x0329, true}, {0x2CE3, true}, {0x3301, true},
        {0x0E3, true},   // "E3" occurs in 2CE3
        {0x29, true},    // "29" occurs in 0329
        {0x0, true},     // "0" occurs too
        {0x2CE4, false}, {0x1234, false}, {0x3302, false}, {0xFFFF, false},
    };
    for (auto [vid, accepted] : cases)
        EXPECT_EQ(isAcceptedVendor(vid), accepted) << std::hex << vid;
}
