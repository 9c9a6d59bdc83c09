// The user-facing texts of the profile store in one place: the field labels, the check-result
// texts and the store results that the server editor and the tools show. The texts are the
// system's own (kept exactly, spelling included).
#pragma once

#include <cstdint>
#include <string>

#include "servers/srv_result.h"
#include "servers/srvinfo.h"

namespace pondrel {

// Check-result texts; %s is the field's label.
inline constexpr char kMsgNotSpecified[] = "%s is not specified.";  // kinds 2, 7
inline constexpr char kMsgTooLong[] =
    "Please enter %s with %d charactors or less.";                           // kind 3 (limit)
inline constexpr char kMsgRange[] = "Specify %s in the range of %d to %d.";  // kind 4 (1, 65535)
inline constexpr char kMsgInvalidFormat[] = "%s is invalid format.";         // kinds 5, 6
inline constexpr char kMsgNotEnoughMemory[] = "Not enough memory";           // kind 1
// Kind 8: two lines, the second listing the forbidden characters each after a blank.
inline constexpr char kMsgBadCharsLine1[] = "The following characters are invalid for a %s. ";
inline constexpr char kMsgBadCharsLine2[] = " \" \\ / | : ; , * ? < >";
// Store results 8 and 9.
inline constexpr char kMsgNameExists[] = "The specified server name already exists.";
inline constexpr char kMsgDirInUse[] = "The specified image directory is already in use.";
// A damaged profile file was kept aside before a rewrite (%s: the copy's path).
inline constexpr char kMsgDamagedSaved[] =
    "The server profile file was damaged; its unreadable part was kept in %s.";

// The label of a field ("Server Name", "Image Directory", ...); "" for the id and flags.
const char* SrvFieldLabel(std::uint16_t field);

// The whole text for a refused value, e.g. "HTTP Port is invalid format."; the two lines of
// CHK_BAD_CHARS are joined by "\n". "" for an accepted one.
std::string FormatCheckMessage(CheckResult result);

// The text for store results that the user sees as such (name exists, directory in use); ""
// for the others, which the caller words itself (file errors, lock).
std::string FormatStoreMessage(SrvResult srv_result);

}  // namespace pondrel
