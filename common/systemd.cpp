#include "common/systemd.h"

#include <syslog.h>
#include <unistd.h>

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/fs_util.h"

namespace pondrel::systemd {
namespace {

constexpr char kDestination[] = "org.freedesktop.systemd1";
constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kManagerInterface[] = "org.freedesktop.systemd1.Manager";
constexpr char kUnitInterface[] = "org.freedesktop.systemd1.Unit";
constexpr char kPrivateSocket[] = "unix:path=/run/systemd/private";

struct BusUnref {
  void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// An sd_bus_error that frees itself.
class BusError {
 public:
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&e_); }
  sd_bus_error* get() { return &e_; }
  // The system's message text for the failure: the bus error's own, else errno's.
  std::string Text(int r) const {
    if (e_.message && *e_.message) return e_.message;
    return std::strerror(r < 0 ? -r : r);
  }

 private:
  sd_bus_error e_ = SD_BUS_ERROR_NULL;
};

void SetError(std::string* out, const std::string& text) {
  if (out) *out = text;
}

// The system bus, or systemd's private socket when no bus daemon answers (it only lets root
// in, as systemctl does).
Bus Connect(std::string* error_text) {
  sd_bus* raw = nullptr;
  int r = sd_bus_open_system(&raw);
  if (r >= 0) return Bus(raw);
  if (::geteuid() == 0) {
    sd_bus* priv = nullptr;
    if (sd_bus_new(&priv) >= 0) {
      Bus bus(priv);
      if (sd_bus_set_address(priv, kPrivateSocket) >= 0 && sd_bus_start(priv) >= 0) return bus;
    }
  }
  SetError(error_text,
           std::string("Failed to connect to the service manager: ") + std::strerror(-r));
  return nullptr;
}

// The object path of a unit, loading it when systemd does not hold it yet.
bool UnitPath(sd_bus* bus, const std::string& unit, std::string* path, std::string* error_text) {
  BusError err;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus, kDestination, kManagerPath, kManagerInterface, "LoadUnit",
                             err.get(), &raw, "s", unit.c_str());
  Message reply(raw);
  if (r < 0) {
    SetError(error_text, err.Text(r));
    return false;
  }
  const char* p = nullptr;
  r = sd_bus_message_read(raw, "o", &p);
  if (r < 0 || !p) {
    SetError(error_text, std::strerror(r < 0 ? -r : EINVAL));
    return false;
  }
  *path = p;
  return true;
}

bool CallUnitJob(const char* method, const std::string& unit, std::string* error_text) {
  Bus bus = Connect(error_text);
  if (!bus) return false;
  BusError err;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus.get(), kDestination, kManagerPath, kManagerInterface, method,
                             err.get(), &raw, "ss", unit.c_str(), "replace");
  Message reply(raw);
  if (r < 0) {
    SetError(error_text, err.Text(r));
    return false;
  }
  return true;
}

// Appends an array of strings ("as") to `m`.
int AppendStrings(sd_bus_message* m, const std::vector<std::string>& items) {
  int r = sd_bus_message_open_container(m, 'a', "s");
  for (const std::string& s : items) {
    if (r < 0) return r;
    r = sd_bus_message_append(m, "s", s.c_str());
  }
  if (r < 0) return r;
  return sd_bus_message_close_container(m);
}

bool CallUnitFiles(const char* method, const std::vector<std::string>& units, bool enable,
                   std::string* error_text) {
  Bus bus = Connect(error_text);
  if (!bus) return false;
  sd_bus_message* raw_call = nullptr;
  int r = sd_bus_message_new_method_call(bus.get(), &raw_call, kDestination, kManagerPath,
                                         kManagerInterface, method);
  Message call(raw_call);
  if (r >= 0) r = AppendStrings(raw_call, units);
  // EnableUnitFiles(as files, b runtime, b force); DisableUnitFiles(as files, b runtime).
  if (r >= 0) r = sd_bus_message_append(raw_call, "b", 0);
  if (r >= 0 && enable) r = sd_bus_message_append(raw_call, "b", 1);
  if (r < 0) {
    SetError(error_text, std::strerror(-r));
    return false;
  }
  BusError err;
  sd_bus_message* raw = nullptr;
  r = sd_bus_call(bus.get(), raw_call, 0, err.get(), &raw);
  Message reply(raw);
  if (r < 0) {
    SetError(error_text, err.Text(r));
    return false;
  }
  return true;
}

}  // namespace

bool IsBooted() {
  const char* forced = std::getenv("PONDREL_SERVICE_MANAGER");
  if (forced && std::strcmp(forced, "none") == 0) return false;
  return IsDirectory("/run/systemd/system");
}

bool Notify(std::string_view state) {
  if (state.empty()) return false;
  const std::string text(state);
  return sd_notify(0, text.c_str()) > 0;
}

std::string UnitActiveState(const std::string& unit, std::string* error_text) {
  Bus bus = Connect(error_text);
  if (!bus) return "";
  std::string path;
  if (!UnitPath(bus.get(), unit, &path, error_text)) return "";
  BusError err;
  char* value = nullptr;
  int r = sd_bus_get_property_string(bus.get(), kDestination, path.c_str(), kUnitInterface,
                                     "ActiveState", err.get(), &value);
  if (r < 0) {
    SetError(error_text, err.Text(r));
    return "";
  }
  std::string out = value ? value : "";
  std::free(value);
  return out;
}

std::string UnitFileState(const std::string& unit, std::string* error_text) {
  Bus bus = Connect(error_text);
  if (!bus) return "";
  BusError err;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus.get(), kDestination, kManagerPath, kManagerInterface,
                             "GetUnitFileState", err.get(), &raw, "s", unit.c_str());
  Message reply(raw);
  if (r < 0) {
    SetError(error_text, err.Text(r));
    return "";
  }
  const char* state = nullptr;
  if (sd_bus_message_read(raw, "s", &state) < 0 || !state) return "";
  return state;
}

bool StartUnit(const std::string& unit, std::string* error_text) {
  return CallUnitJob("StartUnit", unit, error_text);
}

bool StopUnit(const std::string& unit, std::string* error_text) {
  return CallUnitJob("StopUnit", unit, error_text);
}

bool Reload(std::string* error_text) {
  Bus bus = Connect(error_text);
  if (!bus) return false;
  BusError err;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus.get(), kDestination, kManagerPath, kManagerInterface, "Reload",
                             err.get(), &raw, "");
  Message reply(raw);
  if (r < 0) {
    SetError(error_text, err.Text(r));
    return false;
  }
  return true;
}

bool EnableUnitFiles(const std::vector<std::string>& units, std::string* error_text) {
  return CallUnitFiles("EnableUnitFiles", units, true, error_text);
}

bool DisableUnitFiles(const std::vector<std::string>& units, std::string* error_text) {
  return CallUnitFiles("DisableUnitFiles", units, false, error_text);
}

int JournalPriorityForSeverity(int severity) {
  switch (severity) {
    case 3: return LOG_ERR;
    case 2: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

bool JournalSendEvent(int priority, std::string_view message, std::uint32_t event_id,
                      std::string_view source, std::string_view identifier) {
  const std::string msg(message), src(source), ident(identifier);
  return sd_journal_send("MESSAGE=%s", msg.c_str(), "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=%s",
                         ident.c_str(), "PONDREL_EVENT_ID=%u",
                         static_cast<unsigned>(event_id & 0xFFFF), "PONDREL_EVENT_SOURCE=%s",
                         src.c_str(), nullptr) == 0;
}

}  // namespace pondrel::systemd
