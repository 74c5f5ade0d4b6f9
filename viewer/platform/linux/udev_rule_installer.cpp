#include "udev_rule_installer.h"

#include <libudev.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace viscana::platform {

namespace {

// pkexec's exit status when the user dismissed or failed the authentication, and when it could not
// authenticate at all (no agent, not authorised).
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorised = 127;

// What runs as root through pkexec: $1 the staged rule, $2 its final path, $3 the vendor id. The rule
// is copied next to its final place and renamed, so udev never reads a partial file.
const char *const kInstallScript =
    "set -e\n"
    "tmp=$(mktemp \"$(dirname \"$2\")/.viscana-rule.XXXXXX\")\n"
    "trap 'rm -f \"$tmp\"' EXIT\n"
    "cat \"$1\" > \"$tmp\"\n"
    "chmod 0644 \"$tmp\"\n"
    "mv -f \"$tmp\" \"$2\"\n"
    "trap - EXIT\n"
    "udevadm control --reload-rules\n"
    "udevadm trigger --action=add --subsystem-match=usb --attr-match=idVendor=\"$3\"\n";

std::string hex4(uint16_t v)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", v);
    return text;
}

uint16_t attrHex(udev_device *device, const char *name)
{
    const char *text = udev_device_get_sysattr_value(device, name);
    return text ? static_cast<uint16_t>(std::strtoul(text, nullptr, 16)) : 0;
}

// The vendor and product ids from the sysfs attributes, or from the PRODUCT property ("vid/pid/bcd" in
// hexadecimal) of the device's event where the attributes are not there.
void deviceIds(udev_device *device, uint16_t &vid, uint16_t &pid)
{
    vid = attrHex(device, "idVendor");
    pid = attrHex(device, "idProduct");
    const char *product = udev_device_get_property_value(device, "PRODUCT");
    if ((vid == 0 && pid == 0) && product) {
        char *end = nullptr;
        vid = static_cast<uint16_t>(std::strtoul(product, &end, 16));
        if (end && *end == '/')
            pid = static_cast<uint16_t>(std::strtoul(end + 1, nullptr, 16));
    }
}

bool writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int runProgram(const std::vector<std::string> &argv)
{
    if (argv.empty())
        return -1;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

UdevRuleInstaller::UdevRuleInstaller(UdevRuleInstallerOptions options) : options_(std::move(options))
{
    if (!options_.run)
        options_.run = runProgram;
    if (!options_.isRoot)
        options_.isRoot = [] { return geteuid() == 0; };
    if (!options_.canOpen)
        options_.canOpen = [](const std::string &node) { return ::access(node.c_str(), R_OK | W_OK) == 0; };
}

UdevRuleInstaller::~UdevRuleInstaller()
{
    removeStaged();
}

std::string UdevRuleInstaller::rulePath() const
{
    return options_.rulesDir + "/" + options_.ruleFileName;
}

int UdevRuleInstaller::fail(int code, std::string reason)
{
    lastReason_ = std::move(reason);
    return code;
}

void UdevRuleInstaller::removeStaged()
{
    if (!staged_.empty())
        ::unlink(staged_.c_str());
    staged_.clear();
}

int UdevRuleInstaller::createList(std::vector<DriverDevice> &devices)
{
    devices.clear();
    destroyList();
    udev *context = udev_new();
    if (!context)
        return fail(kInstallErrorNotSupported, "udev is not available");
    udev_enumerate *e = udev_enumerate_new(context);
    udev_enumerate_add_match_subsystem(e, "usb");
    udev_enumerate_add_match_property(e, "DEVTYPE", "usb_device");
    udev_enumerate_scan_devices(e);
    for (udev_list_entry *entry = udev_enumerate_get_list_entry(e); entry;
         entry = udev_list_entry_get_next(entry)) {
        udev_device *d = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
        if (!d)
            continue;
        const char *node = udev_device_get_devnode(d);
        const char *cls = udev_device_get_sysattr_value(d, "bDeviceClass");
        bool hub = cls && std::strtoul(cls, nullptr, 16) == 9;
        if (node && !hub && !options_.canOpen(node)) {
            DriverDevice device;
            deviceIds(d, device.vid, device.pid);
            const char *product = udev_device_get_sysattr_value(d, "product");
            device.description = product ? product : "";
            list_.push_back(device);
            listNodes_.push_back(node);
        }
        udev_device_unref(d);
    }
    udev_enumerate_unref(e);
    udev_unref(context);
    for (size_t i = 0; i < list_.size(); ++i)
        list_[i].native = &listNodes_[i];
    devices = list_;
    if (devices.empty())
        return fail(kInstallErrorNoDevice, "no USB device without access");
    return kInstallOk;
}

void UdevRuleInstaller::destroyList()
{
    list_.clear();
    listNodes_.clear();
}

int UdevRuleInstaller::prepareDriver(const DriverDevice &, const std::string &, const std::string &)
{
    removeStaged();
    std::string dir;
    if (options_.isRoot()) {
        dir = options_.rulesDir;
    } else {
        const char *tmp = std::getenv("TMPDIR");
        dir = tmp && *tmp ? tmp : "/tmp";
    }
    std::string name = dir + "/.viscana-rule.XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    int fd = ::mkstemp(buffer.data());
    if (fd < 0)
        return fail(kInstallErrorIo, "cannot create a file in " + dir + ": " + std::strerror(errno));
    staged_ = buffer.data();
    bool ok = writeAll(fd, options_.ruleText) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    int saved = errno;
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        removeStaged();
        return fail(kInstallErrorIo, "cannot write the rule to " + dir + ": " + std::strerror(saved));
    }
    return kInstallOk;
}

int UdevRuleInstaller::installDriver(const DriverDevice &device, const std::string &, const std::string &)
{
    if (staged_.empty())
        return fail(kInstallErrorInvalidParam, "no rule was prepared");
    const std::string vendor = hex4(device.vid);
    const std::string target = rulePath();
    if (!options_.isRoot()) {
        int status = options_.run({"pkexec", "/bin/sh", "-c", kInstallScript, "sh", staged_, target, vendor});
        removeStaged();
        if (status == 0)
            return kInstallOk;
        if (status < 0)
            return fail(kInstallErrorNeedsAdmin, "pkexec could not be started");
        if (status == kPkexecDismissed)
            return fail(kInstallErrorUserCancel, "pkexec: the authentication was dismissed or refused");
        if (status == kPkexecNotAuthorised)
            return fail(kInstallErrorNeedsAdmin, "pkexec: not authorised, or no authentication agent");
        return fail(kInstallErrorIo, "installing " + target + " as root failed (exit status " +
                                         std::to_string(status) + ")");
    }
    if (::rename(staged_.c_str(), target.c_str()) != 0) {
        int saved = errno;
        removeStaged();
        return fail(saved == EACCES || saved == EPERM ? kInstallErrorAccess : kInstallErrorIo,
                    "cannot put the rule at " + target + ": " + std::strerror(saved));
    }
    staged_.clear();
    int status = options_.run({"udevadm", "control", "--reload-rules"});
    if (status != 0)
        return fail(kInstallErrorOther, "udevadm control --reload-rules failed (status " +
                                            std::to_string(status) + ")");
    status = options_.run({"udevadm", "trigger", "--action=add", "--subsystem-match=usb",
                           "--attr-match=idVendor=" + vendor});
    if (status != 0)
        return fail(kInstallErrorOther, "udevadm trigger failed (status " + std::to_string(status) + ")");
    return kInstallOk;
}

std::string UdevRuleInstaller::errorText(int code) const
{
    std::string text;
    switch (code) {
    case kInstallOk: return "Success";
    case kInstallErrorIo: text = "Input/output error"; break;
    case kInstallErrorInvalidParam: text = "Invalid parameter"; break;
    case kInstallErrorAccess: text = "Access denied (insufficient permissions)"; break;
    case kInstallErrorNoDevice: text = "No USB device without access was found"; break;
    case kInstallErrorUserCancel: text = "Cancelled by the user"; break;
    case kInstallErrorNeedsAdmin: text = "Root rights could not be obtained"; break;
    case kInstallErrorOther: text = "Other error"; break;
    default: text = "Error " + std::to_string(code); break;
    }
    if (!lastReason_.empty())
        text += ": " + lastReason_;
    return text;
}

std::unique_ptr<DriverInstaller> createDriverInstaller()
{
    return std::make_unique<UdevRuleInstaller>();
}

}  // namespace viscana::platform
