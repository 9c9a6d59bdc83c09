// What the programs say to each other, defined once: the mailslot names and messages, the
// names of the shared named objects, the downloader's option text and its results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pondrel {

// ---- Mailslots --------------------------------------------------------------------------
inline constexpr char kServiceMailslot[] = "\\\\.\\mailslot\\velta\\zoric\\ver1.0\\server\\zoricsm";
inline constexpr char kTaskViewMailslot[] = "\\\\.\\mailslot\\velta\\zoric\\ver1.0\\server\\tasdek";

// The four message tags. To the service: 01 scan now, 02 execute a task now, 03 abort a
// task, 04 a downloader's window report. To the Task View: 01 a task has changed.
inline constexpr char kTagScan[] = "ZORIC:01:";
inline constexpr char kTagExecute[] = "ZORIC:02:";
inline constexpr char kTagAbort[] = "ZORIC:03:";
inline constexpr char kTagRegister[] = "ZORIC:04:";
inline constexpr std::size_t kTagLen = 9;

enum class MailslotTag { kNone, kScan, kExecute, kAbort, kRegister };

std::string FormatScanRequest();                           // "ZORIC:01:"
std::string FormatExecuteNow(std::string_view task_name);  // "ZORIC:02:<task>"
std::string FormatAbort(std::string_view task_name);       // "ZORIC:03:<task>"
// "ZORIC:04:<task>:<window>"; the window is the downloader's process id on this platform.
std::string FormatRegister(std::string_view task_name, std::uint32_t window);
// The service's report to the Task View: "ZORIC:01::<state %02d>:<result %02d>:<end>:<task>"
// (two colons after the number).
std::string FormatTaskChanged(int state, int result, std::string_view end_time,
                              std::string_view task_name);

// The tag of a message and, in `arg`, what follows it. kNone for a text too short or with
// another tag (the probe, a single zero byte, among them).
MailslotTag ParseMailslotTag(std::string_view message, std::string_view* arg = nullptr);
// Splits the argument of "ZORIC:04:" ("<task>:<number>"). False when there is no colon,
// nothing after it, or the number (read as "%u" reads it) is missing or 0.
bool ParseRegisterArgument(std::string_view arg, std::string* task_name, std::uint32_t* window);
// The task named by a "ZORIC:01:" report (the text after its last colon).
bool ParseTaskChanged(std::string_view message, std::string* task_name);

// ---- Named objects ----------------------------------------------------------------------
inline constexpr char kTaskFileLockName[] = "VeltaZoricFileAccMutexName";  // schedule.ini
inline constexpr char kEnvLockName[] = "VeltaZoricSetEnvMutexName";      // held while downloads run
inline constexpr char kSrvLockName[] = "KVSrvMgr_Name_Mutex";            // the server profiles
inline constexpr char kEventLogMutexName[] = "MutexToProtectOrvaneLog";  // OVEvent.log
// The service's events, followed by the service's name.
inline constexpr char kStartedEventPrefix[] = "ORVANE_STATUS_STARTED_";
inline constexpr char kStoppedEventPrefix[] = "ORVANE_STATUS_STOPED_";
inline constexpr char kRequestStopEventPrefix[] = "ORVANE_REQUEST_STOP_";
// One download per server at a time: "<32 hex digits of the server id>SEM".
std::string ServerSemaphoreName(std::string_view server_id_hex);

// ---- The downloader's option text -------------------------------------------------------
// "/g <server id>,/l <log path>,/t <task name>" and the flags ",/d" (delete the pictures on
// the server after the run) and ",/h" (hang up the dial-up connection afterwards). The
// service passes it as one argument; the downloader parses it (dl::ParseCommandLine).
inline constexpr char kOptServerId = 'g';
inline constexpr char kOptLogPath = 'l';
inline constexpr char kOptTaskName = 't';
inline constexpr char kOptDelete = 'd';
inline constexpr char kOptHangUp = 'h';

struct DownloaderOptions {
  std::string server_id;  // 32 lower-case hexadecimal digits
  std::string log_path;
  std::string task_name;
  bool delete_images = false;
  bool hang_up = false;
};
std::string FormatDownloaderOptions(const DownloaderOptions& options);

// The environment variable naming the descriptor the launcher writes its full result to.
inline constexpr char kResultFdVar[] = "PONDREL_RESULT_FD";

// ---- The downloader's results -----------------------------------------------------------
namespace dl {

// The result of one download run. It crosses the library and process boundary as its number
// (kvdl_start's return value, the launcher's exit code and result pipe): ResultCode.
enum class [[nodiscard]] RunResult : int{
    kOk = 0,
    kAborted = 100,
    kServerRebuildingList = 101,  // D020
    kServerDeleting = 102,        // D021
    kServerNoStorage = 103,       // D022
    kInsufficientSpace = 104,     // D029
    kNoPictures = 110,            // worker phase 1 only; the run then ends with 0
    kWindowFailed = 200,
    kUnknownOption = 1001,
    kNoBlankAfterOption = 1002,
    kEmptyValue = 1003,
    kNoTaskName = 1005,
    kNoProfile = 1008,          // D012
    kResponseFileError = 2000,  // D018, while storing an HTTP body
    kWorkerFileError = 2001,    // D018
    kOutOfMemory = 3000,        // D010
    kSemaphoreFailed = 3001,    // D004 (or D010 for the job record)
    kPhase1StartFailed = 3002,  // D004
    kPhase2StartFailed = 3003,  // D004
    kDirectoryFailed = 4000,    // D013
    kHttpError = 8000,          // D011: client error other than a time-out
    kHttpForbidden = 8001,      // 403
    kHttpTimeout = 8002,        // D011
    kHttpUnauthorized = 8003,   // 401
    kHttpNotFound = 8004,       // 404
    kHttpUnavailable = 8005,    // 503, D026
    kHttpOtherStatus = 8006,
    kHttpSessionOption = 8007,  // D004
    kDialUpFailed = 9000,
    kProfileStoreAtDial = -1,
};

constexpr int ResultCode(RunResult r) { return static_cast<int>(r); }

}  // namespace dl
}  // namespace pondrel
