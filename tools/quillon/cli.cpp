#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "access/last_error.h"
#include "args.h"
#include "quillon_discovery.h"
#include "terminal.h"
#include "virtual_session.h"

#ifndef QUILLON_TOOL_VERSION
#define QUILLON_TOOL_VERSION "unknown"
#endif

namespace quillon::tool {
namespace {

std::vector<Family>& Registry() {
  static std::vector<Family> families;
  return families;
}

const OptionInfo kGlobalOptions[] = {
    {"--virtual", "DIR", "work on the virtual bridge kept in DIR instead of the machine's devices"},
    {"--device", "PATH", "the bridge to use (\\\\.\\PhysicalDriveN, /dev/sdX, /dev/sgN); default: the first found"},
    {"--json", nullptr, "print one JSON object instead of text"},
    {"--quiet", nullptr, "no progress line"},
    {"--trace", nullptr, "with --virtual: list every request the virtual bridge received on standard error"},
    {"--help", nullptr, "show help (also after a command)"},
    {"--version", nullptr, "show the program's version and exit"},
};

const OptionInfo* FindGlobal(const std::string& name) {
  const std::string full = name == "-d" ? "--device" : name == "-q" ? "--quiet" : name == "-h" ? "--help" : name;
  for (const OptionInfo& o : kGlobalOptions)
    if (full == o.name) return &o;
  return nullptr;
}

const OptionInfo* FindOption(const Command& command, const std::string& name) {
  for (const OptionInfo& o : command.options)
    if (name == o.name) return &o;
  return nullptr;
}

void PrintOptions(const std::vector<OptionInfo>& options) {
  std::size_t width = 0;
  for (const OptionInfo& o : options)
    width = std::max(width, std::strlen(o.name) + (o.value ? std::strlen(o.value) + 1 : 0));
  for (const OptionInfo& o : options) {
    std::string left = o.name;
    if (o.value) left += std::string(" ") + o.value;
    std::printf("  %-*s  %s\n", static_cast<int>(width), left.c_str(), o.help);
  }
}

void PrintProgramHelp() {
  std::printf(
      "usage: quillon [--virtual DIR] [--device PATH] [--json] [--quiet] [--trace] COMMAND [ARGS...]\n"
      "       quillon COMMAND --help\n"
      "       quillon --version\n\n"
      "Manages USB storage bridges through the Quillon library, on the machine's devices or on a\n"
      "virtual bridge kept in a folder (quillon --virtual DIR init creates one).\n\n"
      "Exit status: 0 success, 1 the export or the device reported failure, 2 usage error or bad input.\n\n"
      "Options:\n");
  PrintOptions(std::vector<OptionInfo>(std::begin(kGlobalOptions), std::end(kGlobalOptions)));
  for (const Family& f : Families()) {
    std::printf("\n%s:\n", f.title);
    for (std::size_t i = 0; i < f.count; ++i)
      std::printf("  %-16s %s\n", f.commands[i].name, f.commands[i].summary);
  }
}

std::string Synopsis(const Command& c) {
  std::string text = std::string("quillon ") + (c.target == Command::Target::Virtual ? "--virtual DIR " : "") + c.name;
  for (const OptionInfo& o : c.options) text += std::string(" [") + o.name + (o.value ? std::string(" ") + o.value : "") + "]";
  if (*c.arguments) text += std::string(" ") + c.arguments;
  return text;
}

void PrintCommandHelp(const Command& c) {
  std::printf("usage: %s\n\n%s\n", Synopsis(c).c_str(), c.summary);
  if (*c.details) std::printf("\n%s\n", c.details);
  if (!c.options.empty()) {
    std::printf("\nOptions:\n");
    PrintOptions(c.options);
  }
  if (c.target == Command::Target::Device || *c.exports) std::printf("\n");
  if (c.target == Command::Target::Device)
    std::printf("Runs on the bridge given with --device, or on the first bridge found.\n");
  if (*c.exports) std::printf("Library exports: %s\n", c.exports);
}

void Emit(const Context& context, const Output& out, int status) {
  if (context.json) {
    JsonObject object;
    object.Add("command", context.command().name);
    object.Add("ok", status == kExitOk);
    if (!context.device.empty()) object.Add("device", context.device);
    std::string fields = out.JsonFields().Text();
    std::string text = object.Text();
    if (!out.JsonFields().Empty()) text = text.substr(0, text.size() - 1) + ", " + fields.substr(1);
    if (!out.Errors().empty()) {
      JsonObject error;
      error.Add("error", out.Errors().front());
      text = text.substr(0, text.size() - 1) + ", " + error.Text().substr(1);
    }
    std::printf("%s\n", text.c_str());
  } else {
    for (const std::string& line : out.Lines()) std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
  for (const std::string& e : out.Errors()) std::fprintf(stderr, "quillon %s: %s\n", context.command().name, e.c_str());
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "quillon: %s\nTry 'quillon --help'.\n", message.c_str());
  return kExitUsage;
}

}  // namespace

FamilyRegistration::FamilyRegistration(const Family& family) { Registry().push_back(family); }

std::vector<Family> Families() {
  std::vector<Family> families = Registry();
  std::stable_sort(families.begin(), families.end(), [](const Family& a, const Family& b) { return a.order < b.order; });
  return families;
}

const Command* FindCommand(const std::string& name) {
  for (const Family& f : Registry())
    for (std::size_t i = 0; i < f.count; ++i)
      if (name == f.commands[i].name) return &f.commands[i];
  return nullptr;
}

std::string Context::Value(const char* option, const std::string& fallback) const {
  auto it = options.find(option);
  return it == options.end() ? fallback : it->second;
}

int Context::Usage(const std::string& message) {
  out_.Error(message);
  return kExitUsage;
}

int Context::Failed(const std::string& message) {
  out_.Error(message);
  return kExitFailed;
}

int Context::ExportFailed(const std::string& fallback) {
  const std::string reason = LibraryReason();
  out_.Error(reason.empty() ? fallback : reason);
  return LastErrorKind() == ErrorKind::BadInput ? kExitUsage : kExitFailed;
}

bool Context::DeviceFailed() const { return LastErrorKind() == ErrorKind::Device; }

std::string Context::LibraryReason() const { return LastErrorText(); }

void Context::ForgetLibraryReason() { ClearLastError(); }

int RunTool(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const Command* command = nullptr;
  bool help = false;
  bool version = false;
  bool json = false;
  bool quiet = false;
  bool trace = false;
  bool deviceGiven = false;
  std::string device;
  std::string virtualDir;
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  bool optionsEnded = false;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (command == nullptr) {
        if (arg == "help") {
          help = true;
          continue;
        }
        command = FindCommand(arg);
        if (command == nullptr) return UsageError("unknown command '" + arg + "'");
      } else {
        positional.push_back(arg);
      }
      continue;
    }
    std::string name = arg;
    std::string value;
    bool inlineValue = false;
    const auto eq = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inlineValue = true;
    }
    const OptionInfo* found = FindGlobal(name);
    const bool global = found != nullptr;
    if (!global && command != nullptr) found = FindOption(*command, name);
    if (found == nullptr) {
      return command ? UsageError(std::string(command->name) + ": unknown option '" + name + "'")
                     : UsageError("unknown option '" + name + "'");
    }
    if (found->value == nullptr && inlineValue) return UsageError(std::string(found->name) + " takes no value");
    if (found->value != nullptr && !inlineValue) {
      if (i + 1 >= args.size()) return UsageError(std::string(found->name) + " needs a value (" + found->value + ")");
      value = args[++i];
    }
    if (!global) {
      options[found->name] = value;
    } else if (std::strcmp(found->name, "--virtual") == 0) {
      if (value.empty()) return UsageError("--virtual needs a folder");
      virtualDir = value;
    } else if (std::strcmp(found->name, "--device") == 0) {
      device = value;
      deviceGiven = true;
    } else if (std::strcmp(found->name, "--json") == 0) {
      json = true;
    } else if (std::strcmp(found->name, "--quiet") == 0) {
      quiet = true;
    } else if (std::strcmp(found->name, "--trace") == 0) {
      trace = true;
    } else if (std::strcmp(found->name, "--version") == 0) {
      version = true;
    } else {
      help = true;
    }
  }

  if (version && !help) {
    std::printf("quillon %s\n", QUILLON_TOOL_VERSION);
    return kExitOk;
  }
  if (help || command == nullptr) {
    if (command) {
      PrintCommandHelp(*command);
    } else if (!positional.empty()) {
      return UsageError("unknown command '" + positional.front() + "'");
    } else {
      PrintProgramHelp();
      if (!help) return kExitUsage;  // nothing asked for at all
    }
    return kExitOk;
  }

  Output out;
  Context context(*command, out);
  context.arguments = positional;
  context.options = options;
  context.json = json;
  context.quiet = quiet;
  context.progress = !quiet && IsTerminal(stderr);
  context.virtualDir = virtualDir;

  const int argumentCount = static_cast<int>(positional.size());
  if (argumentCount < command->minArguments || argumentCount > command->maxArguments) {
    return UsageError(std::string(command->name) + ": " +
                      (argumentCount < command->minArguments ? "missing arguments" : "too many arguments") +
                      "\nusage: " + Synopsis(*command));
  }
  std::string error;
  if (deviceGiven && !CheckDevicePath(device, &error)) return UsageError(error);
  if (command->target == Command::Target::Virtual && virtualDir.empty())
    return UsageError(std::string(command->name) + " works on a virtual bridge: give --virtual DIR");

  std::unique_ptr<VirtualSession> session;
  if (!virtualDir.empty() && command->target != Command::Target::Virtual) {
    session = OpenVirtualSession(virtualDir, &error);
    if (!session) return UsageError(error);
    context.session = session.get();
  }

  int status = kExitOk;
  if (command->target == Command::Target::Device) {
    if (deviceGiven) {
      context.device = device;
    } else {
      char first[kMaxDevicePath + 1] = {};
      if (FindFirstDevice(first) == 0) {
        status = context.Failed("no bridge found (name one with --device)");
      } else {
        context.device = first;
      }
    }
  }
  if (status == kExitOk) {
    context.ForgetLibraryReason();
    status = command->run(context);
  }
  if (session && trace)
    for (const std::string& line : session->Trace()) std::fprintf(stderr, "trace: %s\n", line.c_str());
  if (session && !session->Save(&error)) {
    // What the command did is lost with the state: its result must not be reported as done.
    if (status == kExitOk) {
      out.DiscardResult();
      status = kExitFailed;
    }
    out.Error("cannot save the virtual bridge: " + error);
  }
  Emit(context, out, status);
  return status;
}

}  // namespace quillon::tool
