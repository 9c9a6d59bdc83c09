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

// Runs the subcommand named by argv[0] of a group (help for the group itself with --help or
// without a subcommand).
int RunGroup(const char* group, const char* summary, const std::vector<Command>& commands,
             const std::vector<std::string>& argv);

int RunServerGroup(const std::vector<std::string>& argv);
int RunTaskGroup(const std::vector<std::string>& argv);
int RunServiceGroup(const std::vector<std::string>& argv);
int RunLogGroup(const std::vector<std::string>& argv);
int RunOptionsGroup(const std::vector<std::string>& argv);
int RunImagesGroup(const std::vector<std::string>& argv);

}  // namespace pondrel::cli

#include "servers/srvinfo.h"

namespace pondrel::cli {

// Fails with a message naming the registry file when "ROOT" is not set.
bool RequireRoot(int* status);

// The server profile named `key` (exact name, else its 32-digit identifier), read in full.
// kExitOk, or the failure's status after reporting it.
int FindServer(const std::string& key, CKVSrvInfo* out);

}  // namespace pondrel::cli
