#include <iostream>

#include "cli/commands.h"

namespace pondrel::cli {

int RunGroup(const Group& group, const std::vector<std::string>& argv) {
  const std::vector<Command>& commands = group.commands();
  const std::size_t skip = std::string(group.name).size() + 1;
  auto print_group_help = [&](std::ostream& os) {
    std::string summary = group.summary;
    if (!summary.empty()) summary[0] = static_cast<char>(std::toupper(summary[0]));
    os << "Usage: pondrel [--json] " << group.name << " <command> [OPTIONS] [ARGS]\n\n"
       << summary << ".\n\nCommands:\n";
    for (const Command& c : commands) {
      std::string left = std::string("  ") + (c.spec.path + skip);
      if (c.spec.args && *c.spec.args) left += std::string(" ") + c.spec.args;
      if (left.size() < 28)
        left.resize(28, ' ');
      else
        left += "\n" + std::string(28, ' ');
      os << left << c.spec.summary << "\n";
    }
    os << "\nSee 'pondrel " << group.name << " <command> --help' for a command's options.\n";
  };
  std::vector<std::string> rest = group.short_forms ? group.short_forms(argv) : argv;
  // Global switches may also stand before the command word.
  std::size_t i = 0;
  for (; i < rest.size(); ++i) {
    const int g = TakeGlobalSwitch(rest, &i);
    if (g < 0) return -g;
    if (g == 0) break;
  }
  rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(std::min(i, rest.size())));
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
    if (word == c.spec.path + skip) {
      Args args;
      bool help = false;
      int r = ParseArgs(rest, c.spec, &args, &help);
      if (r != kExitOk || help) return r;
      return c.run(args);
    }
  }
  return Complain("unknown command '" + word + "' for '" + group.name + "' (see 'pondrel " +
                      group.name + " --help')",
                  kExitUsage);
}

}  // namespace pondrel::cli
