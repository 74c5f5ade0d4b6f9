#ifndef QUILLON_TOOL_CLI_H
#define QUILLON_TOOL_CLI_H

// The command table of the quillon tool. Each export family lives in one file under commands/ with a
// table of its subcommands, registered at start-up:
//
//   const Command kCommands[] = {{"read-flash", ...}, {"erase-sector", ...}};
//   const FamilyRegistration kFlash{{"flash", "SPI flash", kCommands, std::size(kCommands), 20}};
//
// so a new family is one new file; nothing else needs to know about it.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "output.h"

namespace quillon::tool {

// Exit statuses.
enum : int {
  kExitOk = 0,       // the export reported success
  kExitFailed = 1,   // the export (or the device) reported failure
  kExitUsage = 2,    // the command line or an input file was refused before anything was sent
};

struct OptionInfo {
  const char* name;   // "--address"
  const char* value;  // "ADDR"; null for a flag
  const char* help;
};

class Context;

struct Command {
  enum class Target {
    None,     // needs no bridge (or finds one itself)
    Device,   // runs on one bridge: --device, or the first bridge found
    Virtual,  // only with --virtual; runs before the virtual bridge is loaded
  };
  const char* name;
  const char* arguments;   // positional arguments for the synopsis, "" when none
  const char* summary;     // one line
  const char* details;     // further help text, "" when none
  std::vector<OptionInfo> options;
  int minArguments;
  int maxArguments;
  Target target;
  int (*run)(Context&);
  const char* exports;     // the library exports it calls, for the help text
};

struct Family {
  const char* name;
  const char* title;
  const Command* commands;
  std::size_t count;
  int order;  // position in the help listing
};

// Registers a family when its file's static objects are constructed.
struct FamilyRegistration {
  explicit FamilyRegistration(const Family& family);
};

// Every registered family, in help order.
std::vector<Family> Families();
const Command* FindCommand(const std::string& name);

class VirtualSession;

// What a command runs with.
class Context {
 public:
  Context(const Command& command, Output& out) : command_(command), out_(out) {}

  const Command& command() const { return command_; }
  Output& out() { return out_; }

  // Positional arguments and options of the command.
  std::vector<std::string> arguments;
  std::map<std::string, std::string> options;  // "--name" -> value ("" for a flag)
  bool Has(const char* option) const { return options.count(option) != 0; }
  std::string Value(const char* option, const std::string& fallback = "") const;

  // The bridge the command runs on (Target::Device), at most 24 characters.
  std::string device;
  bool json = false;
  bool quiet = false;
  bool progress = false;          // a progress line may be drawn (terminal, not quiet)
  std::string virtualDir;         // --virtual DIR, empty on real devices
  VirtualSession* session = nullptr;

  // Reports and returns the exit status.
  int Usage(const std::string& message);   // kExitUsage
  int Failed(const std::string& message);  // kExitFailed

  // After an export returned failure: reports the library's own reason for it (fallback when the
  // library recorded none) and returns kExitUsage when the library refused an argument or file before
  // sending anything to the device, else kExitFailed. The library's reason is cleared before the
  // command runs; call ForgetLibraryReason() between two exports of one command.
  int ExportFailed(const std::string& fallback);
  // The library recorded, since the command started or the last ForgetLibraryReason(), that the device
  // could not be opened or failed a command. For exports whose 0 means both "no" and "failed".
  bool DeviceFailed() const;
  // The library's reason text, "" when none.
  std::string LibraryReason() const;
  void ForgetLibraryReason();

 private:
  const Command& command_;
  Output& out_;
};

// Runs the program; returns the exit status.
int RunTool(int argc, char** argv);

}  // namespace quillon::tool

#endif
