#pragma once
// The Linux driver installer. What the WinUSB driver gives on Windows is, on Linux, access to the
// camera's device node; it comes from the project's udev rule. Installing means: write the rule to a
// temporary file in the rules folder and rename it into place (so a failure leaves no half-written
// rule), have udev reload its rules and re-trigger the camera. Without root rights the same steps run
// as one command through pkexec.

#include "driver_installer.h"

#include <functional>
#include <string>
#include <vector>

namespace viscana::platform {

// The rule text shipped with the program (70-viscana-camera.rules).
extern const char *const kCameraRuleText;
extern const char *const kCameraRuleFileName;

struct UdevRuleInstallerOptions {
    std::string rulesDir = "/etc/udev/rules.d";
    std::string ruleFileName = kCameraRuleFileName;
    std::string ruleText = kCameraRuleText;
    // Runs a program (argv[0] looked up in PATH) and returns its exit status, or -1 when it could not
    // be started.
    std::function<int(const std::vector<std::string> &argv)> run;
    // Whether this process may write the rules folder itself.
    std::function<bool()> isRoot;
    // Whether this process can open a device node for reading and writing.
    std::function<bool(const std::string &devnode)> canOpen;
};

class UdevRuleInstaller final : public DriverInstaller {
public:
    // Missing functions in the options get the real ones.
    explicit UdevRuleInstaller(UdevRuleInstallerOptions options = {});
    ~UdevRuleInstaller() override;

    // Lists the present USB devices (hubs left out) whose device node this process cannot open.
    int createList(std::vector<DriverDevice> &devices) override;
    void destroyList() override;
    void setLogLevel(int) override {}
    // Writes the rule text to a temporary file (in the rules folder when root, else in the temporary
    // folder for pkexec to copy). `folder` and `infName` name Windows driver files and are not used.
    int prepareDriver(const DriverDevice &device, const std::string &folder,
                      const std::string &infName) override;
    // Puts the rule in place, reloads udev's rules and re-triggers the device's vendor id.
    int installDriver(const DriverDevice &device, const std::string &folder,
                      const std::string &infName) override;
    std::string errorText(int code) const override;

    std::string rulePath() const;

private:
    int fail(int code, std::string reason);
    void removeStaged();

    UdevRuleInstallerOptions options_;
    std::vector<DriverDevice> list_;
    std::vector<std::string> listNodes_;
    std::string staged_;
    std::string lastReason_;
};

// Runs argv and waits for it; the exit status, or -1 when it could not be started.
int runProgram(const std::vector<std::string> &argv);

}  // namespace viscana::platform
