// The service manager of a Linux machine: systemd. Everything the service and the Task View
// need of it goes through here: whether systemd runs the machine, the notify protocol
// (readiness, stopping, status text), unit control over systemd's bus (start, stop, enable,
// disable, reload, the state of a unit) and the journal.
//
// Unit control talks to systemd over the system bus, or over systemd's private socket when
// no bus daemon runs (as root), so no "systemctl" process is started. Failures hand back the
// system's own message text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pondrel::systemd {

// Whether systemd runs this machine (the directory /run/systemd/system exists). A private
// installation says otherwise with PONDREL_SERVICE_MANAGER=none (tests do), so that it never
// reaches the machine's own units.
bool IsBooted();

// One notification to the service manager ("READY=1", "STOPPING=1", "STATUS=..."), when this
// process was started with NOTIFY_SOCKET. False when nobody listens or it could not be sent.
bool Notify(std::string_view state);

// A unit's active state ("active", "inactive", "activating", "deactivating", "failed",
// "reloading"), "" when it cannot be asked.
std::string UnitActiveState(const std::string& unit, std::string* error_text = nullptr);
// The state of a unit's file ("enabled", "disabled", "static", ...), "" when there is none.
std::string UnitFileState(const std::string& unit, std::string* error_text = nullptr);

// Queues a start or stop job ("replace" mode). False with the system's text on failure.
bool StartUnit(const std::string& unit, std::string* error_text);
bool StopUnit(const std::string& unit, std::string* error_text);
// Makes systemd read the unit files again.
bool Reload(std::string* error_text);
// Enables or disables unit files by name or path (the [Install] section's links).
bool EnableUnitFiles(const std::vector<std::string>& units, std::string* error_text);
bool DisableUnitFiles(const std::vector<std::string>& units, std::string* error_text);

// Journal priorities for the design's event severities (the identifier's top two bits):
// 3 error, 2 warning, 0 and 1 information.
int JournalPriorityForSeverity(int severity);

// One journal entry: MESSAGE and PRIORITY, SYSLOG_IDENTIFIER, and PONDREL_EVENT_ID and
// PONDREL_EVENT_SOURCE for the event's identifier and source. False when the journal did not
// take it.
bool JournalSendEvent(int priority, std::string_view message, std::uint32_t event_id,
                      std::string_view source, std::string_view identifier);

}  // namespace pondrel::systemd
