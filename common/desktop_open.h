// The shell's default-verb open: a file handed to the desktop's opener (xdg-open), which
// starts the user's preferred application for it (the browser for an HTML page).
#pragma once

#include <string>

namespace pondrel {

// Starts "xdg-open PATH" detached (a session of its own, no terminal, never waited for).
// True when the opener was found and started; what it then does is its own affair.
bool OpenWithDesktop(const std::string& path);

}  // namespace pondrel
