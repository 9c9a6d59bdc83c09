// pondrel: the command line for Pondrel's tasks, camera servers, service, log and options.
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "common/store_damage.h"

namespace pondrel::cli {

const std::vector<Group>& Groups() {
  static const std::vector<Group> kGroups = {
      {"server", "camera server profiles", ServerCommands},
      {"task", "collection tasks", TaskCommands},
      {"service", "the scheduler service", ServiceCommands},
      {"log", "the activity log", LogCommands, LogShortForms},
      {"options", "download options", OptionsCommands},
      {"images", "recorded pictures by day", ImagesCommands},
  };
  return kGroups;
}

const char* const kTopHelpTail =
    "\n"
    "Global options (before the group or among a command's options):\n"
    "  --json              machine-readable output: one JSON document on standard output,\n"
    "                      errors as a JSON object on standard error\n"
    "  --timeout SECONDS   give up waiting on a lock or the service after SECONDS\n"
    "                      (default 30; 0 waits without limit)\n"
    "  --yes, -y           do not ask before deleting\n"
    "  --help, -h          help for pondrel, a group or a command\n"
    "  --version           print the version\n"
    "\n"
    "Exit status (every command):\n"
    "  0    success\n"
    "  1    failure; the reason on standard error as \"pondrel: <what>: <message>\"\n"
    "  2    usage error, including every refused option value\n"
    "  3    'service status': the service is not running (as systemctl is-active)\n"
    "  124  a wait on a lock or the service ran past --timeout\n"
    "'task run --wait' and 'task abort --wait' end with 0 when the run succeeded and 1 when\n"
    "it failed or was aborted.\n"
    "\n"
    "Output: on a terminal, lists have a header line and aligned columns; otherwise one line\n"
    "per item with tab-separated fields and no header (for cut and awk).\n"
    "\n"
    "The installation is found through \"ROOT\" in the registry file ($PONDREL_REGISTRY,\n"
    "default /etc/pondrel/system.reg).\n";

std::string TopHelp() {
  std::string text =
      "Usage: pondrel [--json] [--timeout SECONDS] <group> <command> [OPTIONS] [ARGS]\n"
      "\n"
      "Manage Pondrel's camera servers, collection tasks, scheduler service, activity log and\n"
      "download options.\n"
      "\n"
      "Groups:\n";
  for (const Group& g : Groups()) {
    std::string left = std::string("  ") + g.name;
    left.resize(12, ' ');
    std::string words;
    for (const Command& c : g.commands()) {
      if (!words.empty()) words += ", ";
      words += c.spec.path + std::string(g.name).size() + 1;
    }
    text += left;
    text += g.summary;
    text += ": ";
    text += words;
    text += '\n';
  }
  return text + kTopHelpTail;
}

namespace {

// A damaged schedule.ini or prp1 is told once per command, whatever read it; the command goes
// on with what could be read.
void WarnDamagedStore(const StoreDamage& damage) {
  static std::set<std::string> told;
  if (!told.insert(damage.file + '\n' + damage.skipped).second) return;
  Warn(damage.file, "damaged: " + damage.skipped + "; " +
                        (damage.copy.empty() ? std::string("no copy of the file could be kept")
                                             : "the file as it was is kept in " + damage.copy));
}

int Main(int argc, char** argv) {
  SetStoreDamageObserver(WarnDamagedStore);
  std::vector<std::string> args(argv + 1, argv + argc);
  // Global switches may stand before the group.
  std::size_t i = 0;
  for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
    const int g = TakeGlobalSwitch(args, &i);
    if (g < 0) return -g;
    if (g > 0) continue;
    if (args[i] == "--help" || args[i] == "-h") {
      std::cout << TopHelp();
      return kExitOk;
    }
    if (args[i] == "--version") {
      std::cout << "pondrel 0.1\n";
      return kExitOk;
    }
    if (args[i] == "--generate") {
      if (i + 1 >= args.size())
        return Complain("option '--generate' needs man or bash-completion", kExitUsage);
      return Generate(args[i + 1]);
    }
    return Complain("unknown option '" + args[i] + "' (see 'pondrel --help')", kExitUsage);
  }
  args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));
  if (args.empty()) {
    std::cerr << TopHelp();
    return kExitUsage;
  }
  std::string group = args[0];
  args.erase(args.begin());
  if (group == "help") {
    std::cout << TopHelp();
    return kExitOk;
  }
  if (group == "servers") group = "server";
  if (group == "tasks") group = "task";
  if (group == "option") group = "options";
  if (group == "image") group = "images";
  for (const Group& g : Groups()) {
    if (group == g.name) return RunGroup(g, args);
  }
  return Complain("unknown group '" + group + "' (see 'pondrel --help')", kExitUsage);
}

}  // namespace
}  // namespace pondrel::cli

int main(int argc, char** argv) { return pondrel::cli::Main(argc, argv); }
