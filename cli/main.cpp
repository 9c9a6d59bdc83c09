// pondrel: the command line for Pondrel's tasks, camera servers, service, log and options.
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_util.h"
#include "cli/commands.h"

namespace pondrel::cli {
namespace {

constexpr const char* kTopHelp =
    "Usage: pondrel [--json] <group> <command> [OPTIONS] [ARGS]\n"
    "\n"
    "Manage Pondrel's camera servers, collection tasks, scheduler service, activity log and\n"
    "download options.\n"
    "\n"
    "Groups:\n"
    "  server    camera server profiles: list, show, add, edit, delete\n"
    "  task      collection tasks: list, show, add, edit, duplicate, delete, run, abort\n"
    "  service   the scheduler service: status, start, stop, install, remove\n"
    "  log       the activity log: show, clear, path\n"
    "  options   download options: get, set\n"
    "  images    recorded pictures by day: days, album, delete\n"
    "\n"
    "Global options:\n"
    "  --json       machine-readable output (one JSON document)\n"
    "  --help, -h   help for pondrel, a group or a command\n"
    "  --version    print the version\n"
    "\n"
    "Exit status: 0 success, 1 failure (the reason on standard error), 2 usage error.\n"
    "The installation is found through \"ROOT\" in the registry file ($PONDREL_REGISTRY,\n"
    "default /etc/pondrel/system.reg).\n";

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // Global switches may stand before the group.
  while (!args.empty() && args[0].size() > 1 && args[0][0] == '-') {
    if (args[0] == "--json") {
      G().json = true;
    } else if (args[0] == "--help" || args[0] == "-h") {
      std::cout << kTopHelp;
      return kExitOk;
    } else if (args[0] == "--version") {
      std::cout << "pondrel 0.1\n";
      return kExitOk;
    } else {
      return Complain("unknown option '" + args[0] + "' (see 'pondrel --help')", kExitUsage);
    }
    args.erase(args.begin());
  }
  if (args.empty()) {
    std::cerr << kTopHelp;
    return kExitUsage;
  }
  const std::string group = args[0];
  args.erase(args.begin());
  if (group == "server" || group == "servers") return RunServerGroup(args);
  if (group == "task" || group == "tasks") return RunTaskGroup(args);
  if (group == "service") return RunServiceGroup(args);
  if (group == "log") return RunLogGroup(args);
  if (group == "options" || group == "option") return RunOptionsGroup(args);
  if (group == "images" || group == "image") return RunImagesGroup(args);
  if (group == "help") {
    std::cout << kTopHelp;
    return kExitOk;
  }
  return Complain("unknown group '" + group + "' (see 'pondrel --help')", kExitUsage);
}

}  // namespace
}  // namespace pondrel::cli

int main(int argc, char** argv) { return pondrel::cli::Main(argc, argv); }
