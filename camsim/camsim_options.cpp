#include "camsim/camsim_options.h"

#include <charconv>
#include <string_view>

namespace pondrel::camsim {

const char kCamsimUsage[] =
    "usage: camsim [options]\n"
    "  --port N                 port on 127.0.0.1 (0 = any free port; default 0)\n"
    "  --bind 127.0.0.1         the only address accepted\n"
    "  --port-file FILE         write the port there once listening (removed at exit)\n"
    "  --request-log FILE       append \"<method> <target> <status> <bytes>\" per request\n"
    "  --pictures N             pictures held at start (default 10)\n"
    "  --picture-size BYTES     size of each picture file (default 4096)\n"
    "  --start YYYY/MM/DD/hh/mm/ss  recording time of the first picture (default\n"
    "                           2024/01/01/00/00/00)\n"
    "  --interval-cs N          hundredths of a second between pictures (default 100)\n"
    "  --zone-offset MINUTES    camera time zone, minutes east of UTC (default 0)\n"
    "  --extension N            header extension word (default 1; 0 = 320x240 camera)\n"
    "  --width N --height N     picture size in pixels with an extension (640x480)\n"
    "  --cameras 1,2,..         camera numbers cycled over the pictures (default 1)\n"
    "  --triggers 33,1,..       trigger values cycled over the pictures (default 33)\n"
    "  --id-prefix TEXT         put before the serial number of each identifier\n"
    "  --user U --password P    credentials of every request (default: none required)\n"
    "  --admin-user U --admin-password P  credentials required for deletion\n"
    "  --missing-status CODE    answer to a picture request for an unknown id (404)\n"
    "  --list-eol crlf|lf       line ends of the picture list (default crlf)\n"
    "  --fault TARGET=ACTION    e.g. data=code:503, data.7=error, status=stall:5,\n"
    "                           list=drop, data=trickle:2000, data.3=oversize:2500000,\n"
    "                           rpdel=code:401*1, status=drop@0, data=close (the answer\n"
    "                           closes the connection), data=hangup*3 (a kept connection\n"
    "                           dropped unannounced after the answer), list=endless\n"
    "                           (a body without length that never ends) (repeatable)\n"
    "  --state N                server state in the status body (2, 3, 4)\n"
    "  --count N                picture count in the status body (default: pictures held)\n"
    "  --control KEY=VALUE      any control line (repeatable)\n"
    "  --threads N              request threads (default 16); a kept connection holds one\n"
    "                           and serves up to 100 requests\n"
    "Control while running: POST /-camsim-/control with key=value lines; GET /-camsim-/stats.\n";

namespace {

bool ToInt(const std::string& text, long min, long max, long* out) {
  long v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

bool ToByteList(const std::string& text, std::vector<std::uint8_t>* out) {
  out->clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    long v = 0;
    if (!ToInt(text.substr(start, comma - start), 0, 255, &v)) return false;
    out->push_back(static_cast<std::uint8_t>(v));
    start = comma + 1;
  }
  return !out->empty();
}

// The options read so far; the credentials become a pair only once the command line is read.
struct OptionsDraft {
  CamsimOptions options;
  std::string user, password, admin_user, admin_password;
  bool has_user = false, has_admin = false;
};

enum class Taken { kYes, kBadValue, kUnknown };

// The options that shape the pictures the server holds.
Taken TakeSeriesOption(const std::string& name, const std::string& value, PictureSeries* s) {
  long n = 0;
  if (name == "--picture-size") {
    if (!ToInt(value, 0, 100000000, &n)) return Taken::kBadValue;
    s->picture_size = static_cast<std::size_t>(n);
  } else if (name == "--start") {
    if (!ParseTimeString(value, &s->start)) return Taken::kBadValue;
  } else if (name == "--interval-cs") {
    if (!ToInt(value, 1, 100L * 86400 * 366, &n)) return Taken::kBadValue;
    s->interval_cs = n;
  } else if (name == "--zone-offset") {
    if (!ToInt(value, -1440, 1440, &n)) return Taken::kBadValue;
    s->zone_offset = static_cast<std::int16_t>(n);
  } else if (name == "--extension") {
    if (!ToInt(value, 0, 65535, &n)) return Taken::kBadValue;
    s->extension = static_cast<std::uint16_t>(n);
  } else if (name == "--width") {
    if (!ToInt(value, 1, 8192, &n)) return Taken::kBadValue;
    s->width = static_cast<std::uint16_t>(n);
  } else if (name == "--height") {
    if (!ToInt(value, 1, 8192, &n)) return Taken::kBadValue;
    s->height = static_cast<std::uint16_t>(n);
  } else if (name == "--cameras") {
    if (!ToByteList(value, &s->cameras)) return Taken::kBadValue;
  } else if (name == "--triggers") {
    if (!ToByteList(value, &s->triggers)) return Taken::kBadValue;
  } else if (name == "--id-prefix") {
    // Identifiers travel verbatim in query strings and "&"-joined deletion batches.
    for (unsigned char c : value) {
      if (c <= ' ' || c == 0x7F || c == '&' || c == '#') return Taken::kBadValue;
    }
    s->id_prefix = value;
  } else {
    return Taken::kUnknown;
  }
  return Taken::kYes;
}

// The options of the process and of the server's answers: where it listens, what it asks
// for, how it lists, and the control lines it starts with.
Taken TakeServerOption(const std::string& name, const std::string& value, OptionsDraft* d) {
  CamsimOptions& o = d->options;
  long n = 0;
  if (name == "--port") {
    if (!ToInt(value, 0, 65535, &n)) return Taken::kBadValue;
    o.port = static_cast<int>(n);
  } else if (name == "--bind") {
    // Only loopback: the simulator is never reachable from another machine.
    if (value != "127.0.0.1") return Taken::kBadValue;
    o.bind = value;
  } else if (name == "--port-file") {
    o.port_file = value;
  } else if (name == "--request-log") {
    o.request_log = value;
  } else if (name == "--pictures") {
    if (!ToInt(value, 0, 1000000, &n)) return Taken::kBadValue;
    o.server.pictures = static_cast<int>(n);
  } else if (name == "--user" || name == "--password") {
    (name == "--user" ? d->user : d->password) = value;
    d->has_user = true;
  } else if (name == "--admin-user" || name == "--admin-password") {
    (name == "--admin-user" ? d->admin_user : d->admin_password) = value;
    d->has_admin = true;
  } else if (name == "--missing-status") {
    if (!ToInt(value, 100, 599, &n)) return Taken::kBadValue;
    o.server.missing_picture_status = static_cast<int>(n);
  } else if (name == "--list-eol") {
    if (value != "crlf" && value != "lf") return Taken::kBadValue;
    o.server.list_crlf = value == "crlf";
  } else if (name == "--fault") {
    o.control_text += "fault." + value + "\n";
  } else if (name == "--state") {
    o.control_text += "state=" + value + "\n";
  } else if (name == "--count") {
    o.control_text += "count=" + value + "\n";
  } else if (name == "--control") {
    o.control_text += value + "\n";
  } else if (name == "--threads") {
    if (!ToInt(value, 1, 256, &n)) return Taken::kBadValue;
    o.threads = static_cast<int>(n);
  } else {
    return TakeSeriesOption(name, value, &o.server.series);
  }
  return Taken::kYes;
}

}  // namespace

OptionsResult ParseCamsimOptions(const std::vector<std::string>& args, CamsimOptions* out,
                                 std::string* error) {
  OptionsDraft draft;
  ParseTimeString("2024/01/01/00/00/00", &draft.options.server.series.start);
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool has_value = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      has_value = true;
    }
    if (name == "--help" || name == "-h") return OptionsResult::kHelp;
    if (!has_value) {
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return OptionsResult::kError;
      }
      value = args[++i];
    }
    const Taken taken = TakeServerOption(name, value, &draft);
    if (taken == Taken::kBadValue) {
      *error = "bad value for " + name;
      error->append(": \"").append(value).append("\"");
      return OptionsResult::kError;
    }
    if (taken == Taken::kUnknown) {
      *error = "unknown option " + name;
      return OptionsResult::kError;
    }
  }
  CamsimOptions& o = draft.options;
  if (draft.has_user) o.server.user = Credentials{draft.user, draft.password};
  if (draft.has_admin) o.server.admin = Credentials{draft.admin_user, draft.admin_password};
  *out = std::move(o);
  return OptionsResult::kRun;
}

}  // namespace pondrel::camsim
