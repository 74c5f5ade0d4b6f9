// Device passwords.

#include <iterator>

#include "cli.h"
#include "quillon_password.h"

namespace quillon::tool {
namespace {

int HasPasswordCommand(Context& c) {
  const bool yes = HasPassword(c.device.c_str()) == 1;
  c.out().Line(yes ? "a password is set" : "no password is set (or the controller did not answer)");
  c.out().Json().Add("password", yes);
  return kExitOk;
}

const Command kCommands[] = {
    {"has-password", "", "tell whether the controller has a password set", "", {}, 0, 0, Command::Target::Device,
     HasPasswordCommand, "HasPassword"},
};

const FamilyRegistration kPassword{{"password", "Passwords", kCommands, std::size(kCommands), 40}};

}  // namespace
}  // namespace quillon::tool
