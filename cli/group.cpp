#include <iostream>

#include "cli/commands.h"

namespace pondrel::cli {

int RunGroup(const char* group, const char* summary, const std::vector<Command>& commands,
             const std::vector<std::string>& argv) {
  auto print_group_help = [&](std::ostream& os) {
    os << "Usage: pondrel [--json] " << group << " <command> [OPTIONS] [ARGS]\n\n"
       << summary << "\n\nCommands:\n";
    for (const Command& c : commands) {
      std::string left = std::string("  ") + (c.spec.path + std::string(group).size() + 1);
      if (c.spec.args && *c.spec.args) left += std::string(" ") + c.spec.args;
      if (left.size() < 28) left.resize(28, ' ');
      else left += "\n" + std::string(28, ' ');
      os << left << c.spec.summary << "\n";
    }
    os << "\nSee 'pondrel " << group << " <command> --help' for a command's options.\n";
  };
  std::vector<std::string> rest(argv);
  // --json may also stand before the command word.
  while (!rest.empty() && rest[0] == "--json") {
    G().json = true;
    rest.erase(rest.begin());
  }
  if (rest.empty()) {
    print_group_help(std::cerr);
    return kExitUsage;
  }
  if (rest[0] == "--help" || rest[0] == "-h" || rest[0] == "help") {
    print_group_help(std::cout);
    return kExitOk;
  }
  const std::string word = rest[0];
  rest.erase(rest.begin());
  for (const Command& c : commands) {
    if (word == c.spec.path + std::string(group).size() + 1) {
      Args args;
      bool help = false;
      int r = ParseArgs(rest, c.spec, &args, &help);
      if (r != kExitOk || help) return r;
      return c.run(args);
    }
  }
  return Complain("unknown command '" + word + "' for '" + group + "' (see 'pondrel " + group +
                      " --help')",
                  kExitUsage);
}

}  // namespace pondrel::cli
