#include "cli/cli_util.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <thread>

#include "taskmodel/timestr.h"

namespace pondrel::cli {

std::string Args::Get(std::string_view name) const {
  auto it = values_.find(std::string(name));
  return it == values_.end() ? std::string() : it->second;
}

Globals& G() {
  static Globals g;
  return g;
}

void PrintHelp(const CommandSpec& spec) {
  std::string usage = std::string("Usage: pondrel [--json] ") + spec.path;
  if (!spec.options.empty()) usage += " [OPTIONS]";
  if (spec.args && *spec.args) usage += std::string(" ") + spec.args;
  std::cout << usage << "\n\n" << spec.summary << "\n";
  if (spec.details) std::cout << "\n" << spec.details << "\n";
  std::cout << "\nOptions:\n";
  for (const OptionSpec& o : spec.options) {
    std::string left = std::string("  --") + o.name;
    if (o.metavar) left += std::string(" ") + o.metavar;
    if (left.size() < 30)
      left.resize(30, ' ');
    else
      left += "\n" + std::string(30, ' ');
    std::cout << left << o.help << "\n";
  }
  std::cout << "  --help, -h                  show this help\n"
            << "Global options --json, --timeout SECONDS and --yes are accepted here too (see\n"
            << "'pondrel --help').\n";
}

namespace {

// "--name", "--name=value" or "--name value" at argv[*i] (moved past a separate value): the
// option's name and value, or a usage complaint.
int TakeLongOption(const std::vector<std::string>& argv, std::size_t* i, const CommandSpec& spec,
                   std::string* name, std::string* value) {
  *name = argv[*i].substr(2);
  value->clear();
  bool has_inline = false;
  if (auto eq = name->find('='); eq != std::string::npos) {
    *value = name->substr(eq + 1);
    name->resize(eq);
    has_inline = true;
  }
  const OptionSpec* spec_opt = nullptr;
  for (const OptionSpec& o : spec.options) {
    if (*name == o.name) spec_opt = &o;
  }
  if (!spec_opt) {
    return Complain("unknown option '--" + *name + "' for '" + spec.path + "' (see 'pondrel " +
                        spec.path + " --help')",
                    kExitUsage);
  }
  if (spec_opt->metavar) {
    if (!has_inline) {
      if (*i + 1 >= argv.size()) {
        return Complain("option '--" + *name + "' needs a value", kExitUsage);
      }
      *value = argv[++*i];
    }
  } else if (has_inline) {
    return Complain("option '--" + *name + "' takes no value", kExitUsage);
  }
  return kExitOk;
}

// Whether the command got as many arguments as it takes.
int CheckPositionalCount(const std::vector<std::string>& positional, const CommandSpec& spec) {
  if (positional.size() < spec.min_positional) {
    return Complain(std::string("'") + spec.path + "' needs " + spec.args + " (see 'pondrel " +
                        spec.path + " --help')",
                    kExitUsage);
  }
  if (positional.size() > spec.max_positional) {
    return Complain(
        "unexpected argument '" + positional[spec.max_positional] + "' for '" + spec.path + "'",
        kExitUsage);
  }
  return kExitOk;
}

}  // namespace

int ParseArgs(const std::vector<std::string>& argv, const CommandSpec& spec, Args* out,
              bool* help_shown) {
  *help_shown = false;
  bool options_done = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (!options_done && a == "--") {
      options_done = true;
      continue;
    }
    if (!options_done && (a == "--help" || a == "-h")) {
      PrintHelp(spec);
      *help_shown = true;
      return kExitOk;
    }
    if (!options_done) {
      const int g = TakeGlobalSwitch(argv, &i);
      if (g < 0) return -g;
      if (g > 0) continue;
    }
    if (!options_done && a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name, value;
      if (int rc = TakeLongOption(argv, &i, spec, &name, &value); rc != kExitOk) return rc;
      out->values_[name] = value;
      continue;
    }
    if (!options_done && a.size() > 1 && a[0] == '-' && a != "-") {
      return Complain("unknown option '" + a + "' for '" + spec.path + "'", kExitUsage);
    }
    out->positional_.push_back(a);
  }
  return CheckPositionalCount(out->positional_, spec);
}

int TakeGlobalSwitch(const std::vector<std::string>& argv, std::size_t* i) {
  const std::string& a = argv[*i];
  if (a == "--json") {
    G().json = true;
    return 1;
  }
  if (a == "--yes" || a == "-y") {
    G().yes = true;
    return 1;
  }
  if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
    std::string value;
    if (a == "--timeout") {
      if (*i + 1 >= argv.size()) return -Complain("option '--timeout' needs a value", kExitUsage);
      value = argv[++*i];
    } else {
      value = a.substr(10);
    }
    long seconds;
    if (!ParseInt(value, 0, 86400 * 365, &seconds)) {
      return -BadValue("timeout",
                       "'" + value + "' is not a number of seconds (0 waits without limit)");
    }
    G().timeout_seconds = static_cast<int>(seconds);
    G().timeout_given = true;
    return 1;
  }
  return 0;
}

int Error(std::string_view what, std::string_view message, int status) {
  if (G().json) {
    std::vector<std::pair<std::string, std::string>> members = {{"error", JsonString(message)}};
    if (!what.empty()) members.push_back({"what", JsonString(what)});
    members.push_back({"exit_status", std::to_string(status)});
    std::cerr << JsonObject(members) << "\n";
  } else if (what.empty()) {
    std::cerr << "pondrel: " << message << "\n";
  } else {
    std::cerr << "pondrel: " << what << ": " << message << "\n";
  }
  return status;
}

void Warn(std::string_view what, std::string_view message) {
  if (G().json) {
    std::cerr << JsonObject({{"warning", JsonString(message)}, {"what", JsonString(what)}}) << "\n";
  } else {
    std::cerr << "pondrel: warning: " << what << ": " << message << "\n";
  }
  std::cerr << std::flush;
}

int Fail(std::string_view what, std::string_view system_message) {
  return Error(what, system_message, kExitFailure);
}

int Complain(std::string_view message, int status) { return Error("", message, status); }

int BadValue(std::string_view option, std::string_view message) {
  return Error("--" + std::string(option), message, kExitUsage);
}

bool ParseInt(std::string_view text, long lo, long hi, long* out) {
  if (text.empty() || text.size() > 18) return false;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

namespace {
long long SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

Waiter::Waiter(std::string what, int timeout_seconds)
    : what_(std::move(what)), timeout_seconds_(timeout_seconds), start_ms_(SteadyMs()) {}

bool Waiter::KeepWaiting(int interval_ms) {
  const long long elapsed = SteadyMs() - start_ms_;
  if (timeout_seconds_ > 0 && elapsed >= timeout_seconds_ * 1000LL) return false;
  if (!announced_ && elapsed >= 1000) {
    announced_ = true;
    if (!G().json) {
      std::cerr << "pondrel: waiting for " << what_;
      if (timeout_seconds_ > 0)
        std::cerr << " (at most " << timeout_seconds_ << " s, see --timeout)";
      std::cerr << " ...\n" << std::flush;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
  return true;
}

int Waiter::TimedOut() const {
  return Error(what_,
               "still busy after " + std::to_string(timeout_seconds_) + " s; gave up (--timeout)",
               kExitTimeout);
}

bool StdoutIsTerminal() { return ::isatty(1) != 0; }

bool Confirm(std::string_view question) {
  if (G().yes || !::isatty(0)) return true;
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

namespace {
// Width on a terminal: characters, not bytes (UTF-8 continuation bytes do not count).
std::size_t Width(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}
}  // namespace

void PrintTable(const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
  if (!StdoutIsTerminal()) {
    for (const auto& row : rows) {
      for (std::size_t c = 0; c < row.size(); ++c) std::cout << (c ? "\t" : "") << Field(row[c]);
      std::cout << "\n";
    }
    return;
  }
  std::vector<std::size_t> width(header.size());
  for (std::size_t c = 0; c < header.size(); ++c) width[c] = Width(header[c]);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size() && c < width.size(); ++c) {
      width[c] = std::max(width[c], Width(Field(row[c])));
    }
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const std::string cell = Field(cells[c]);
      out += cell;
      if (c + 1 < cells.size()) out += std::string(width[c] - Width(cell) + 2, ' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    std::cout << out << "\n";
  };
  line(header);
  for (const auto& row : rows) line(row);
}

void PrintRecord(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::size_t w = 0;
  for (const auto& [k, _] : fields) w = std::max(w, Width(k));
  for (const auto& [k, v] : fields) {
    std::cout << k << ":" << std::string(w - Width(k) + 1, ' ') << v << "\n";
  }
}

std::string IsoTime(long long unix_seconds) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return "null";
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  const long off = tm.tm_gmtoff;
  char zone[40];
  std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", off < 0 ? '-' : '+', std::labs(off) / 3600,
                (std::labs(off) % 3600) / 60);
  return JsonString(std::string(buf) + zone);
}

std::string JsonTime(std::string_view time_str) {
  std::time_t t;
  if (time_str.empty() || !TimeStrToTime(time_str, &t)) return "null";
  return IsoTime(t);
}

void PrintJson(const std::string& document) { std::cout << document << "\n"; }

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string out = "{";
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i) out += ",";
    out += JsonString(members[i].first) + ":" + members[i].second;
  }
  return out + "}";
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ",";
    out += items[i];
  }
  return out + "]";
}

std::string Field(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

bool NextStdinLine(std::string* line) {
  // Typed at a terminal, the password is not echoed.
  termios saved{};
  const bool tty = ::isatty(0) && ::tcgetattr(0, &saved) == 0;
  if (tty) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(0, TCSAFLUSH, &quiet);
    std::cerr << "Password: " << std::flush;
  }
  const bool got = static_cast<bool>(std::getline(std::cin, *line));
  if (tty) {
    ::tcsetattr(0, TCSAFLUSH, &saved);
    std::cerr << "\n";
  }
  if (!got) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

}  // namespace pondrel::cli
