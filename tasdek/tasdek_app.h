// The Task View as a program: its command-line words, embedded mode, the single-instance
// rule and the registration of its automation object with the session bus.
#pragma once

#include <string>

namespace pondrel::tasdek {

// The words of the command line. The whole command line (program path included, arguments
// joined by blanks) is scanned for "-" and "/"; after each, the rest of the line up to its end
// is compared without regard to case with the words, so a word counts only as the last
// argument written directly after "-" or "/".
struct CommandWords {
  bool reg_server = false;    // "RegServer"
  bool unreg_server = false;  // "UnregServer"
  bool stand_alone = false;   // "StandAloneMode" or "SAM"
  bool embedding = false;     // "Embedding": started by the session bus for automation
};
CommandWords ParseCommandWords(const std::string& command_line);

// The stand-alone flag ("SAM"); embedded mode is on when the flag is off and the host
// product's key "SOFTWARE\VELTA\Orvane\KV\VEZO\1.0\" exists. Asked whenever needed.
void SetStandAlone(bool on);
bool IsEmbeddedMode();

// Session-bus names of the automation object and of the frame's own requests.
inline constexpr char kBusName[] = "Tasdek.Document";
inline constexpr char kDocumentPath[] = "/Document";
inline constexpr char kDocumentInterface[] = "Tasdek.Document";
inline constexpr char kFramePath[] = "/MainFrame";
inline constexpr char kFrameInterface[] = "Tasdek.MainFrame";
// The single-instance object.
inline constexpr char kInstanceMutex[] = "VeltaZoricTaskViewerMutexName";

// The activation file for the user's session bus:
// $XDG_DATA_HOME/dbus-1/services/Tasdek.Document.service (~/.local/share/...).
std::string ActivationFilePath();
// "RegServer": writes the activation file that starts `program` with "-Embedding". False on a
// write failure.
bool RegisterServer(const std::string& program);
// "UnregServer": removes the activation file and the user's settings tree
// "SOFTWARE\VELTA\Orvane\KV\RIDAVOR\1.0\" under HKEY_CURRENT_USER.
bool UnregisterServer();

}  // namespace pondrel::tasdek
