// Shared pieces of the pondrel command line: option parsing, help, output in text or JSON,
// and error reporting.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pondrel::cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct OptionSpec {
  const char* name;     // without the leading "--"
  const char* metavar;  // nullptr for a flag
  const char* help;
};

struct CommandSpec {
  const char* path;      // "task add"
  const char* args;      // "NAME" (positional arguments, for the usage line)
  const char* summary;
  std::vector<OptionSpec> options;
  std::size_t min_positional = 0;
  std::size_t max_positional = 0;
  const char* details = nullptr;  // more help text
};

class Args {
 public:
  bool Has(std::string_view name) const { return values_.count(std::string(name)) != 0; }
  // The last value given for the option ("" for a flag or when absent).
  std::string Get(std::string_view name) const;
  const std::vector<std::string>& Positional() const { return positional_; }

 private:
  friend int ParseArgs(const std::vector<std::string>&, const CommandSpec&, Args*, bool*);
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

// Parses the arguments of one command. Prints the help and sets *help_shown for --help/-h.
// kExitOk, or kExitUsage after printing the problem to standard error.
int ParseArgs(const std::vector<std::string>& argv, const CommandSpec& spec, Args* out,
              bool* help_shown);
void PrintHelp(const CommandSpec& spec);

// Global switches, set once by main.
struct Globals {
  bool json = false;
};
Globals& G();

// A message of the system itself (exact text) to standard error; returns kExitFailure.
int Fail(std::string_view system_message);
// A message of the command line (prefixed "pondrel: ") to standard error; returns `status`.
int Complain(std::string_view message, int status = kExitFailure);

// JSON building.
std::string JsonString(std::string_view s);
// {"k":v,...} from already-encoded values, in the given order.
std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members);
std::string JsonArray(const std::vector<std::string>& items);
inline std::string JsonBool(bool b) { return b ? "true" : "false"; }

// A field of a tab-separated line: tabs and line breaks inside become blanks.
std::string Field(std::string_view s);

// Password lines from standard input, handed out in order (a password never comes from the
// command line or the environment).
bool NextStdinLine(std::string* line);

}  // namespace pondrel::cli
