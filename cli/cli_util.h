// Shared pieces of the pondrel command line: option parsing, help, output in text or JSON,
// and error reporting.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pondrel::cli {

// Exit statuses, one rule for every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;    // the command failed (the reason on standard error)
inline constexpr int kExitUsage = 2;      // bad command line, including every bad option value
inline constexpr int kExitStopped = 3;    // service status: the service is not running
inline constexpr int kExitTimeout = 124;  // a wait ran past --timeout (as timeout(1))

// The default of --timeout for waits on a lock or the service, in seconds.
inline constexpr int kDefaultTimeoutSeconds = 30;

struct OptionSpec {
  const char* name;     // without the leading "--"
  const char* metavar;  // nullptr for a flag
  const char* help;
};

struct CommandSpec {
  const char* path;  // "task add"
  const char* args;  // "NAME" (positional arguments, for the usage line)
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

// Global switches (--json, --timeout, --yes), accepted before the group and among any
// command's options.
struct Globals {
  bool json = false;
  bool yes = false;
  int timeout_seconds = kDefaultTimeoutSeconds;  // 0: wait without limit
  bool timeout_given = false;
};
Globals& G();
// Takes a global switch at argv[*i] (advancing *i past a value). 1 taken, 0 not a global
// switch, or kExitUsage after reporting a bad value (as a negative number: -kExitUsage).
int TakeGlobalSwitch(const std::vector<std::string>& argv, std::size_t* i);

// The one error format: "pondrel: <what>: <message>" ("pondrel: <message>" without `what`);
// with --json the object {"error":message,"what":what,"exit_status":status} instead, on
// standard error too. Returns `status`.
int Error(std::string_view what, std::string_view message, int status = kExitFailure);
// A warning that does not stop the command: "pondrel: warning: <what>: <message>" (with --json
// the object {"warning":message,"what":what} on standard error).
void Warn(std::string_view what, std::string_view message);
// A message of the system itself (its exact text) about `what`; returns kExitFailure.
int Fail(std::string_view what, std::string_view system_message);
// A message of the command line itself; returns `status`.
int Complain(std::string_view message, int status = kExitFailure);
// A refused option value: "pondrel: --<option>: <message>", kExitUsage.
int BadValue(std::string_view option, std::string_view message);

// A whole decimal number within [lo, hi] (no sign, blanks or trailing characters).
bool ParseInt(std::string_view text, long lo, long hi, long* out);

// Waiting on a lock or on the service: says once on standard error what it waits for after a
// second, and gives up when --timeout has passed.
class Waiter {
 public:
  explicit Waiter(std::string what, int timeout_seconds = G().timeout_seconds);
  // Called after each failed attempt: sleeps `interval_ms`, announces the wait when it has
  // lasted a second; false when the time is up.
  bool KeepWaiting(int interval_ms = 100);
  // Reports the timeout; returns kExitTimeout.
  int TimedOut() const;
  const std::string& What() const { return what_; }

 private:
  std::string what_;
  int timeout_seconds_;
  long long start_ms_;
  bool announced_ = false;
};

// Whether standard output (fd 1) or standard input (fd 0) is a terminal.
bool StdoutIsTerminal();
// Asks `question` on a terminal (standard input and error) unless --yes was given or standard
// input is not a terminal; true to go ahead.
bool Confirm(std::string_view question);

// A list for people and scripts: on a terminal a header line and aligned columns, otherwise
// tab-separated fields without a header.
void PrintTable(const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows);
// "key: value" lines with the keys aligned (a record for people).
void PrintRecord(const std::vector<std::pair<std::string, std::string>>& fields);

// Times. A time string of the schedule file ("YYYY/MM/DD/HH/MM/SS", local time) as ISO 8601
// with the offset, e.g. "2026-12-08T07:18:49+01:00"; JSON null when empty or invalid.
std::string JsonTime(std::string_view time_str);
std::string IsoTime(long long unix_seconds);

// JSON building.
std::string JsonString(std::string_view s);
// {"k":v,...} from already-encoded values, in the given order.
std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members);
std::string JsonArray(const std::vector<std::string>& items);
inline std::string JsonBool(bool b) { return b ? "true" : "false"; }
// Prints one JSON document with a line break.
void PrintJson(const std::string& document);

// A field of a tab-separated line: tabs and line breaks inside become blanks.
std::string Field(std::string_view s);

// Password lines from standard input, handed out in order (a password never comes from the
// command line or the environment).
bool NextStdinLine(std::string* line);

}  // namespace pondrel::cli
