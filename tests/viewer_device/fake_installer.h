#pragma once
// A scripted driver installer for the installation thread and the window: each InDriver call takes the
// next attempt of the script (what createList lists and returns, what prepare and install return).
// Thread-safe: the thread that installs and the test read it concurrently.

#include "driver_installer.h"
#include "thread_in_drive.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSemaphore>

#include <memory>
#include <string>
#include <vector>

namespace devtest {

struct FakeAttempt {
    int listResult = 0;
    std::vector<std::pair<uint16_t, uint16_t>> devices = {{0x2CE3, 0x3301}};
    int prepareResult = 0;
    int installResult = 0;
    bool block = false;  // createList waits until the script's gate opens
};

struct FakeScript {
    QMutex lock;
    std::vector<FakeAttempt> attempts;  // used in order; the last one repeats
    int created = 0;
    std::vector<std::string> calls;     // "list", "prepare 2CE3", "install 2CE3", "destroy", "level 3"
    QSemaphore gate;                    // opened once by open(); stays open

    void open() { gate.release(1000); }

    void record(const std::string &call)
    {
        QMutexLocker l(&lock);
        calls.push_back(call);
    }
    std::vector<std::string> snapshot()
    {
        QMutexLocker l(&lock);
        return calls;
    }
};

class FakeInstaller final : public viscana::platform::DriverInstaller {
public:
    FakeInstaller(std::shared_ptr<FakeScript> script, FakeAttempt attempt)
        : script_(std::move(script)), attempt_(std::move(attempt))
    {
    }
    int createList(std::vector<viscana::platform::DriverDevice> &devices) override
    {
        if (attempt_.block) {
            script_->gate.acquire();
            script_->gate.release();
        }
        script_->record("list");
        devices.clear();
        if (attempt_.listResult != 0)
            return attempt_.listResult;
        for (auto [vid, pid] : attempt_.devices)
            devices.push_back({vid, pid, "fake", this});
        return devices.empty() ? viscana::platform::kInstallErrorNoDevice : 0;
    }
    void destroyList() override { script_->record("destroy"); }
    void setLogLevel(int level) override { script_->record("level " + std::to_string(level)); }
    int prepareDriver(const viscana::platform::DriverDevice &d, const std::string &folder,
                      const std::string &inf) override
    {
        script_->record("prepare " + hex(d.vid) + " " + folder + " " + inf);
        return attempt_.prepareResult;
    }
    int installDriver(const viscana::platform::DriverDevice &d, const std::string &, const std::string &) override
    {
        script_->record("install " + hex(d.vid));
        return attempt_.installResult;
    }
    std::string errorText(int code) const override { return "fake error " + std::to_string(code); }

private:
    static std::string hex(uint16_t v)
    {
        char t[8];
        std::snprintf(t, sizeof t, "%04X", v);
        return t;
    }
    std::shared_ptr<FakeScript> script_;
    FakeAttempt attempt_;
};

// Installs the script as ThreadInDrive's installer for the lifetime of this object.
class FakeInstallerScope {
public:
    explicit FakeInstallerScope(std::vector<FakeAttempt> attempts)
        : script(std::make_shared<FakeScript>())
    {
        script->attempts = std::move(attempts);
        std::shared_ptr<FakeScript> s = script;
        ThreadInDrive::setInstallerFactory([s]() -> std::unique_ptr<viscana::platform::DriverInstaller> {
            QMutexLocker l(&s->lock);
            size_t i = std::min<size_t>(static_cast<size_t>(s->created), s->attempts.size() - 1);
            ++s->created;
            return std::make_unique<FakeInstaller>(s, s->attempts[i]);
        });
    }
    ~FakeInstallerScope() { ThreadInDrive::setInstallerFactory(nullptr); }
    int created()
    {
        QMutexLocker l(&script->lock);
        return script->created;
    }

    std::shared_ptr<FakeScript> script;
};

}  // namespace devtest
