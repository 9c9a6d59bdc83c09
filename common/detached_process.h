// Programs started detached: in a session of their own, without a terminal, never waited for
// (the middle process of a double fork leaves at once, so the program runs on as an orphan of
// init). The service host's start and stop words and the desktop's opener are started so.
#pragma once

#include <string>
#include <vector>

namespace pondrel {

// Starts `program` (a path) with `args`. True when it was started; false when it could not
// be run at all (exec failed).
bool StartDetached(const std::string& program, const std::vector<std::string>& args);

// The shell's default-verb open: "xdg-open PATH", which starts the user's preferred
// application for the file (the browser for an HTML page). True when the opener was found
// and started; what it then does is its own affair.
bool OpenWithDesktop(const std::string& path);

}  // namespace pondrel
