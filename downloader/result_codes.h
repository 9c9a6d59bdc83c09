// The result codes of one download run (kvdl_start's return value and the launcher's exit
// code), the worker's own codes, and the activity-log messages of the downloader.
#pragma once

#include "common/protocol.h"         // the run results (RunResult)
#include "taskmodel/activity_log.h"  // the levels kLogInfo, kLogWarning, kLogError

namespace pondrel::dl {

// Message texts (English string table).
inline constexpr char kMsgStarted[] = "Download has started. (D001)";
inline constexpr char kMsgCompletedNone[] = "Download is completed: No pictures (D002)";
inline constexpr char kMsgCompletedNoDelete[] =
    "Download is completed: %d picture(s) (no picture deleted,  Recorded date of the latest "
    "downloaded image: %s) (D002)";
inline constexpr char kMsgCompletedDeleted[] =
    "Download is completed: %d picture(s) (%d picture(s)  deleted,  Recorded date of the "
    "latest downloaded image: %s) (D002)";
inline constexpr char kMsgAborted[] = "Download has aborted. (D003)";
inline constexpr char kMsgFatal[] = "Fatal error (D004)";
inline constexpr char kMsgNoMemory[] = "Not enough memory. (D010)";
inline constexpr char kMsgCommunication[] = "Communication error (D011)";
inline constexpr char kMsgNoServerInfo[] = "Failed to get the server information. (D012)";
inline constexpr char kMsgNoDirectory[] = "Can not create a new directory. (D013)";
inline constexpr char kMsgWorkFileD014[] = "Work file I/O error (D014)";
inline constexpr char kMsgWorkFileD015[] = "Work file I/O error (D015)";
inline constexpr char kMsgNoWorkDirectory[] = "Failed to create a new work directory (D017)";
inline constexpr char kMsgWorkFileD018[] = "Work file I/O error (D018)";
inline constexpr char kMsgAddImageFailed[] = "Failed to add image information: %s (D019)";
inline constexpr char kMsgServerRebuilding[] =
    "Cannot start because the server is recreating the list of the recorded pictures. (D020)";
inline constexpr char kMsgServerDeleting[] =
    "Cannot start because the server is deleting the recorded pictures. (D021)";
inline constexpr char kMsgServerNoStorage[] = "No storage device is found on the server. (D022)";
inline constexpr char kMsgUnsupported[] =
    "The server does not support the required function. (D023)";
inline constexpr char kMsgUnsupportedOrPort[] =
    "The server does not support the required function, or the port number is invalid. (D024)";
inline constexpr char kMsgDeleteLoginFailed[] =
    "Could not delete images because login as an Administrator failed. (D025)";
inline constexpr char kMsgDisconnected[] = "Disconnected. (D026)";
inline constexpr char kMsgDeleteFailed[] = "Failed to delete image files. (D027)";
inline constexpr char kMsgLoginFailed[] = "Failed to login. (D028)";
inline constexpr char kMsgInsufficientSpace[] =
    "Download is aborted because of insufficient free space.[%lldMB remaining, %lldMB needs] "
    "(D029)";
inline constexpr char kMsgOldImagesDeleted[] =
    "Old image was deleted because of insufficient free space: %d image(s) (D030)";
inline constexpr char kMsgLowSpace[] =
    "Additional free space is going to be required on the disk to save images.[%lldMB "
    "remaining, %lldMB needs] (D031)";
// A download option outside its range: name, value, range and the default used (warning).
inline constexpr char kMsgOptionOutOfRange[] =
    "The download option %s holds %lu, outside %lu to %lu; %lu is used instead. (D032)";
inline constexpr char kMsgDialConnected[] = "Dial-up connection has completed. (P001)";
inline constexpr char kMsgDialFailed[] = "Dial-up connection failed (P002)";
inline constexpr char kMsgDialError[] = "Dial-up connection error: \"%s\" (P003)";
inline constexpr char kDialParamsUnreadable[] = "Failed to get connection information";

// Status lines of the progress reporter.
inline constexpr char kStatusCreatingList[] = "Creating the list of images.";
inline constexpr char kStatusDownloaded[] = "%s downloaded. %ld picture(s) remaining.";
inline constexpr char kStatusDeleting[] = "Deleting image files on the server.";
inline constexpr char kStatusWillAbort[] = "The task will abort.";

}  // namespace pondrel::dl
