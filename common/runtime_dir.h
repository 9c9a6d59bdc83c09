// The runtime directory that holds the system's named objects and mailslots:
// $PONDREL_RUNTIME_DIR, else /run/pondrel. The system installation's directory belongs to root
// and the group "pondrel" with mode 2770, so only root and the group's members reach anything
// in it; a private installation (and every test) uses a directory of its own.
//
// A directory is used only when it is a real directory (not a link), belongs to root or to
// this process's user, and gives other users no access at all. Anything else is refused with
// a text that names the directory.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace pondrel {

inline constexpr char kRuntimeDirVar[] = "PONDREL_RUNTIME_DIR";
inline constexpr char kDefaultRuntimeDir[] = "/run/pondrel";
inline constexpr char kRuntimeGroup[] = "pondrel";

std::string RuntimeDir();

// Whether this process can use the runtime directory as it is. False with a text naming the
// directory and the fault when it is missing, not ours, open to others or closed to us.
bool CheckRuntimeDir(std::string* error = nullptr);
// True when the runtime directory exists but is refused (the text in `error`): a missing one
// only means that nothing runs yet.
bool RuntimeDirRefused(std::string* error);
// As CheckRuntimeDir, but creates a missing directory first (mode 2770; the system
// directory, created by root, is given to the group "pondrel" when that group exists).
bool PrepareRuntimeDir(std::string* error = nullptr);
// Writes a refused directory's text to stderr, once per text and process; the callers whose
// only answer is "not held" or "not sent" use it so that the reason is not lost.
void ReportRuntimeDirProblem(const std::string& error);

// "<dir>/<object name>.lock".
std::string ObjectLockPath(std::string_view object_name);
// "<dir>/mailslot/<name>": the mailslot name without its leading "\\.\mailslot\", every
// further '\' turned into '.'.
std::string MailslotSocketPath(std::string_view mailslot_name);
// Whether a name can become a file name there (not empty, no '/', no NUL, not "." or "..").
bool UsableObjectName(std::string_view name);

// Whether a message from this sender is accepted: root, this process's own user, or a member
// (by primary or supplementary group) of the runtime directory's group.
bool TrustedSender(uid_t uid, gid_t gid);

}  // namespace pondrel
