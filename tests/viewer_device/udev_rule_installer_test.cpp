// The Linux driver installer: which devices it lists (against the virtual camera), how the rule gets
// into place as root and through pkexec, and that no failure leaves a partial or stray file behind.
#include "udev_rule_installer.h"
#include "virtual_camera.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace viscana::platform;

namespace {

vcam::VirtualUsbBus &bus()
{
    static vcam::VirtualUsbBus *b = new vcam::VirtualUsbBus;
    return *b;
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/viscana-rules-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        if (DIR *d = opendir(path.c_str())) {
            while (dirent *e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..")
                    names.push_back(n);
            }
            closedir(d);
        }
        return names;
    }
};

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Runner {
    std::vector<std::vector<std::string>> calls;
    std::vector<int> results;  // per call; 0 when exhausted
    std::function<void(const std::vector<std::string> &)> effect;
    int operator()(const std::vector<std::string> &argv)
    {
        calls.push_back(argv);
        if (effect)
            effect(argv);
        size_t i = calls.size() - 1;
        return i < results.size() ? results[i] : 0;
    }
};

UdevRuleInstallerOptions options(const std::string &dir, Runner &runner, bool root)
{
    UdevRuleInstallerOptions o;
    o.rulesDir = dir;
    o.run = [&runner](const std::vector<std::string> &argv) { return runner(argv); };
    o.isRoot = [root] { return root; };
    o.canOpen = [](const std::string &) { return false; };
    return o;
}

const DriverDevice kCamera{0x2CE3, 0x3301, "cam", nullptr};

}  // namespace

TEST(UdevRuleInstallerTest, ShippedRuleCoversTheThreeVendors)
{
    const std::string rule = kCameraRuleText;
    for (const char *vid : {"0329", "2ce3", "3301"}) {
        // Each vendor's line grants both ways: the seat's user (uaccess) and, for users without a seat,
        // the plugdev group.
        const size_t at = rule.find(std::string("ATTR{idVendor}==\"") + vid + "\"");
        ASSERT_NE(at, std::string::npos) << vid;
        const size_t start = rule.rfind('\n', at) + 1;
        const std::string line = rule.substr(start, rule.find('\n', at) - start);
        for (const char *part : {"MODE=\"0660\"", "GROUP=\"plugdev\"", "TAG+=\"uaccess\""})
            EXPECT_NE(line.find(part), std::string::npos) << vid << ": " << part;
    }
    EXPECT_STREQ(kCameraRuleFileName, "70-viscana-camera.rules");
}

TEST(UdevRuleInstallerTest, ListsOnlyDevicesWithoutAccess)
{
    bus();
    vcam::CameraConfig other;
    other.vendorId = 0x1234;
    other.productId = 0x0001;
    vcam::VirtualCamera camera(bus()), stranger(bus(), other);
    camera.plug();
    stranger.plug();
    TempDir dir;
    Runner runner;
    UdevRuleInstallerOptions o = options(dir.path, runner, true);
    std::string cameraNode = "/dev/bus/usb/001/" + std::string(camera.deviceAddress() < 10 ? "00" : "0") +
                             std::to_string(camera.deviceAddress());
    o.canOpen = [cameraNode](const std::string &node) { return node != cameraNode; };
    UdevRuleInstaller installer(o);
    std::vector<DriverDevice> devices;
    ASSERT_EQ(installer.createList(devices), kInstallOk);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].vid, 0x2CE3);
    EXPECT_EQ(devices[0].pid, 0x3301);

    o.canOpen = [](const std::string &) { return true; };
    UdevRuleInstaller everythingOpen(o);
    EXPECT_EQ(everythingOpen.createList(devices), kInstallErrorNoDevice);
    EXPECT_TRUE(devices.empty());
    EXPECT_NE(everythingOpen.errorText(kInstallErrorNoDevice).find("No USB device"), std::string::npos);
}

TEST(UdevRuleInstallerTest, AsRootRenamesTheRuleIntoPlaceThenReloadsAndTriggers)
{
    TempDir dir;
    Runner runner;
    std::vector<std::string> seenAtReload;
    runner.effect = [&](const std::vector<std::string> &argv) {
        if (argv.size() > 1 && argv[1] == "control")
            seenAtReload = dir.entries();
    };
    UdevRuleInstaller installer(options(dir.path, runner, true));
    ASSERT_EQ(installer.prepareDriver(kCamera, "usb_driver", "libusb_device.inf"), kInstallOk);
    EXPECT_EQ(dir.entries().size(), 1u);  // staged beside its final place
    ASSERT_EQ(installer.installDriver(kCamera, "usb_driver", "libusb_device.inf"), kInstallOk);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"70-viscana-camera.rules"});
    EXPECT_EQ(seenAtReload, std::vector<std::string>{"70-viscana-camera.rules"});
    EXPECT_EQ(readFile(installer.rulePath()), std::string(kCameraRuleText));
    struct stat st {};
    ASSERT_EQ(stat(installer.rulePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    const std::vector<std::vector<std::string>> want = {
        {"udevadm", "control", "--reload-rules"},
        {"udevadm", "trigger", "--action=add", "--subsystem-match=usb", "--attr-match=idVendor=2ce3"}};
    EXPECT_EQ(runner.calls, want);
}

TEST(UdevRuleInstallerTest, FailuresAreReportedWithReasonsAndLeaveNoFile)
{
    struct Case {
        const char *name;
        bool root;
        std::vector<int> results;
        bool removeDirBeforeInstall;
        int code;
        const char *reason;
        bool ruleInPlace;
    };
    const std::vector<Case> cases = {
        {"pkexec dismissed", false, {126}, false, kInstallErrorUserCancel, "dismissed", false},
        {"pkexec not authorised", false, {127}, false, kInstallErrorNeedsAdmin, "not authorised", false},
        {"pkexec missing", false, {-1}, false, kInstallErrorNeedsAdmin, "could not be started", false},
        {"script fails", false, {1}, false, kInstallErrorIo, "exit status 1", false},
        {"reload fails", true, {2}, false, kInstallErrorOther, "--reload-rules", true},
        {"trigger fails", true, {0, 1}, false, kInstallErrorOther, "trigger", true},
        {"staged file gone", true, {}, true, kInstallErrorIo, "cannot put the rule", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir, tmp;
        setenv("TMPDIR", tmp.path.c_str(), 1);
        Runner runner;
        runner.results = c.results;
        UdevRuleInstaller installer(options(dir.path, runner, c.root));
        ASSERT_EQ(installer.prepareDriver(kCamera, "", ""), kInstallOk);
        if (c.removeDirBeforeInstall)
            std::system(("rm -rf '" + dir.path + "'/.viscana-rule.*").c_str());
        EXPECT_EQ(installer.installDriver(kCamera, "", ""), c.code);
        EXPECT_NE(installer.errorText(c.code).find(c.reason), std::string::npos) << installer.errorText(c.code);
        EXPECT_TRUE(tmp.entries().empty());
        EXPECT_EQ(dir.entries().size(), c.ruleInPlace ? 1u : 0u);
        unsetenv("TMPDIR");
    }
}

TEST(UdevRuleInstallerTest, WithoutRootOnePkexecCommandDoesEverything)
{
    TempDir dir, tmp;
    setenv("TMPDIR", tmp.path.c_str(), 1);
    Runner runner;
    std::string staged, stagedText;
    runner.effect = [&](const std::vector<std::string> &argv) {
        staged = argv.at(5);
        stagedText = readFile(staged);
    };
    UdevRuleInstaller installer(options(dir.path, runner, false));
    ASSERT_EQ(installer.prepareDriver(kCamera, "", ""), kInstallOk);
    ASSERT_EQ(installer.installDriver(kCamera, "", ""), kInstallOk);
    ASSERT_EQ(runner.calls.size(), 1u);
    const std::vector<std::string> &argv = runner.calls[0];
    ASSERT_EQ(argv.size(), 8u);
    EXPECT_EQ(argv[0], "pkexec");
    EXPECT_EQ(argv[1], "/bin/sh");
    EXPECT_EQ(staged.rfind(tmp.path, 0), 0u);
    EXPECT_EQ(stagedText, std::string(kCameraRuleText));
    EXPECT_EQ(argv[6], dir.path + "/70-viscana-camera.rules");
    EXPECT_EQ(argv[7], "2ce3");
    EXPECT_TRUE(tmp.entries().empty());  // the staged copy is gone once pkexec has returned
    unsetenv("TMPDIR");

    // The script itself, run by a shell as pkexec would: the rule lands atomically at its place.
    const std::string fakeBin = tmp.path + "/bin";
    mkdir(fakeBin.c_str(), 0755);
    std::ofstream(fakeBin + "/udevadm") << "#!/bin/sh\necho \"$@\" >> " << tmp.path << "/udevadm.log\n";
    chmod((fakeBin + "/udevadm").c_str(), 0755);
    std::ofstream(tmp.path + "/staged.rules") << "RULE\n";
    std::ofstream(tmp.path + "/script.sh") << argv[3];
    std::string cmd = "PATH='" + fakeBin + "':$PATH /bin/sh '" + tmp.path + "/script.sh' '" + tmp.path +
                      "/staged.rules' '" + dir.path + "/70-viscana-camera.rules' 2ce3";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(readFile(dir.path + "/70-viscana-camera.rules"), "RULE\n");
    EXPECT_EQ(dir.entries().size(), 1u);
    EXPECT_EQ(readFile(tmp.path + "/udevadm.log"),
              "control --reload-rules\ntrigger --action=add --subsystem-match=usb --attr-match=idVendor=2ce3\n");
}
