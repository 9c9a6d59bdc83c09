#include "cli/cli_util.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

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
    if (left.size() < 30) left.resize(30, ' ');
    else left += "\n" + std::string(30, ' ');
    std::cout << left << o.help << "\n";
  }
  std::cout << "  --help, -h                  show this help\n";
}

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
    if (!options_done && a == "--json") {
      G().json = true;
      continue;
    }
    if (!options_done && a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a.substr(2), value;
      bool has_inline = false;
      if (auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
        has_inline = true;
      }
      const OptionSpec* spec_opt = nullptr;
      for (const OptionSpec& o : spec.options) {
        if (name == o.name) spec_opt = &o;
      }
      if (!spec_opt) {
        return Complain("unknown option '--" + name + "' for '" + spec.path +
                            "' (see 'pondrel " + spec.path + " --help')",
                        kExitUsage);
      }
      if (spec_opt->metavar) {
        if (!has_inline) {
          if (i + 1 >= argv.size()) {
            return Complain("option '--" + name + "' needs a value", kExitUsage);
          }
          value = argv[++i];
        }
      } else if (has_inline) {
        return Complain("option '--" + name + "' takes no value", kExitUsage);
      }
      out->values_[name] = value;
      continue;
    }
    if (!options_done && a.size() > 1 && a[0] == '-' && a != "-") {
      return Complain("unknown option '" + a + "' for '" + spec.path + "'", kExitUsage);
    }
    out->positional_.push_back(a);
  }
  if (out->positional_.size() < spec.min_positional) {
    return Complain(std::string("'") + spec.path + "' needs " + spec.args +
                        " (see 'pondrel " + spec.path + " --help')",
                    kExitUsage);
  }
  if (out->positional_.size() > spec.max_positional) {
    return Complain("unexpected argument '" + out->positional_[spec.max_positional] + "' for '" +
                        spec.path + "'",
                    kExitUsage);
  }
  return kExitOk;
}

int Fail(std::string_view system_message) {
  std::cerr << system_message << "\n";
  return kExitFailure;
}

int Complain(std::string_view message, int status) {
  std::cerr << "pondrel: " << message << "\n";
  return status;
}

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
