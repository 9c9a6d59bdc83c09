// The command groups of pondrel. Each takes the arguments after its group word.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/cli_util.h"

namespace pondrel::cli {

struct Command {
  CommandSpec spec;
  std::function<int(const Args&)> run;
};

struct Group {
  const char* name;
  const char* summary;
  const std::vector<Command>& (*commands)();
  // Rewrites the group's short forms (as -n for --lines) before parsing; may be null.
  std::vector<std::string> (*short_forms)(const std::vector<std::string>&) = nullptr;
};

// Every group with its commands: the one source of help, the man page and the completion.
const std::vector<Group>& Groups();
std::string TopHelp();

// Runs the subcommand named by argv[0] of a group (help for the group itself with --help or
// without a subcommand).
int RunGroup(const Group& group, const std::vector<std::string>& argv);

const std::vector<Command>& ServerCommands();
const std::vector<Command>& TaskCommands();
const std::vector<Command>& ServiceCommands();
const std::vector<Command>& LogCommands();
std::vector<std::string> LogShortForms(const std::vector<std::string>& argv);
const std::vector<Command>& OptionsCommands();
const std::vector<Command>& ImagesCommands();

// pondrel --generate man|bash-completion: the manual page (roff) or the bash completion
// script, made from the same help texts.
int Generate(const std::string& what);

}  // namespace pondrel::cli

#include "servers/srvinfo.h"

namespace pondrel::cli {

// Fails with a message naming the registry file when "ROOT" is not set.
bool RequireRoot(int* status);

// The server profile named `key` (exact name, else its 32-digit identifier), read in full.
// kExitOk, or the failure's status after reporting it. `option` names where the key came
// from in the error ("--server"; "" for a positional argument).
int FindServer(const std::string& key, CKVSrvInfo* out, const std::string& option = "");
// Every server profile (fields of `mask`), waiting for the profile lock as --timeout allows.
// kExitOk, or the failure's status after reporting it.
int LoadServers(std::vector<CKVSrvInfo>* out, std::uint16_t mask);

}  // namespace pondrel::cli

namespace pondrel::tasdek {
class CTasdekDoc;
}

namespace pondrel::cli {

// Takes the schedule file's lock for the document (held until the document goes), waiting as
// --timeout allows; then loads the tasks. kExitOk, or the failure's status after reporting it.
int LockAndLoadTasks(tasdek::CTasdekDoc* doc);

}  // namespace pondrel::cli
