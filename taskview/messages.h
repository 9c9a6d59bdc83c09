// The Task View's own texts, word for word as the user sees them. The command line shows the
// same texts, so a message means the same thing whichever front end printed it.
#pragma once

namespace pondrel::tasdek {

// Error display codes 1-7 of the main window.
inline constexpr const char* kMsgReadFailed = "Failed to read a file.";
inline constexpr const char* kMsgWriteSettingFailed = "Failed to write a setting file.";
inline constexpr const char* kMsgNoMemory = "Not enough memory.";
inline constexpr const char* kMsgStartFailed =
    "Failed to start the Pondrel Task Scheduler Service.";
inline constexpr const char* kMsgStopFailed = "Failed to stop the Pondrel Task Scheduler Service.";
inline constexpr const char* kMsgMutexError = "Mutex error";
inline constexpr const char* kMsgTaskRunning = "You can not modify a running task's settings.";

// Text for an error display code (1-7); empty for other values.
const char* ErrorText(int code);

inline constexpr const char* kMsgNoServer =
    "Server is not registerd.\n Set the server information first.";

// Task editor.
inline constexpr const char* kMsgTaskNameMissing = "Task Name is not specified.";
inline constexpr const char* kFmtTaskNameFormat = "Task Name is invalid.%s is invalid format.";
inline constexpr const char* kMsgTaskNameChars =
    "The following characters are invalid for a Task Name. \n \" \\ / | : ; , * ? < >";
inline constexpr const char* kMsgTaskNameExists = "The specified task name already exists.";
inline constexpr const char* kMsgServerNotSpecified = "Server has not been specified.";
inline constexpr const char* kMsgDayRange = "Specify a day in the range of 1 to 31.";
inline constexpr const char* kMsgWeekRange = "Specify a week in the range of 1 to 53.";
inline constexpr const char* kMsgNoWeekday = "Select at least one day of the week.";
inline constexpr const char* kMsgMonthDayRange =
    "Specify a day of the month in the range of 1 to 31.";
inline constexpr const char* kMsgRepeatIntervalRange =
    "Specify an interval value for repetition in the range of 1 to 23.";
inline constexpr const char* kMsgRepeatTimesRange =
    "Specify a number of repetition times in the range of 1 to 23.";
inline constexpr const char* kMsgRetryTimesRange =
    "Specify a number of retry times in case of failure in the range of 1 to 10.";
inline constexpr const char* kMsgRetryIntervalRange =
    "Specify an interval value for retrying in case of failure in the range of 1 to 10.";
inline constexpr const char* kFmtDuplicateAs = "Duplicate the task as \"%s\".";
inline constexpr const char* kFmtDeleteTaskAsk = "Are you sure you want to delete \"%s\"?";

// Service control.
inline constexpr const char* kMsgServiceNotStarted =
    "Pondrel Task Scheduler Service has not been started.";
inline constexpr const char* kMsgAskStart =
    "Pondrel Task Scheduler Service will be started.\r\nDo you want to countinue?";
inline constexpr const char* kMsgAskStop =
    "Are you sure you want to stop the Pondrel Task Scheduler Service?";
inline constexpr const char* kMsgAskAbort = "Are you sure you want to abort the selected task?";
inline constexpr const char* kMsgAskClearLog = "Are you sure you want to clear the log file?";

// Server editor and server list.
inline constexpr const char* kCaptionServerInfo = "Server Information";
inline constexpr const char* kCaptionServerList = "Server Profiles List";
inline constexpr const char* kMsgServerNoMemory = "Not enough memory";
inline constexpr const char* kMsgServerWriteFailed = "Failed to write a file.";
inline constexpr const char* kMsgServerReadFailed = "Failed to read a file.";
inline constexpr const char* kMsgServerNameExists = "The specified server name already exists.";
inline constexpr const char* kMsgServerDirInUse =
    "The specified image directory is already in use.";
inline constexpr const char* kMsgServerRunning =
    "You can not modify a running server's information.";
inline constexpr const char* kMsgAskDeleteServer =
    "Are you sure you want to delete the specified server?";
inline constexpr const char* kFmtCheckEmpty = "%s is not specified.";
inline constexpr const char* kFmtCheckTooLong = "Please enter %s with %d charactors or less.";
inline constexpr const char* kFmtCheckRange = "Specify %s in the range of %d to %d.";
inline constexpr const char* kFmtCheckFormat = "%s is invalid format.";
inline constexpr const char* kFmtCheckBadChars =
    "The following characters are invalid for a %s. \n \" \\ / | : ; , * ? < >";
inline constexpr const char* kNoProxyOrPpp = "----------";

// Options.
inline constexpr const char* kCaptionOptions = "Options";
inline constexpr const char* kMsgFreeSpaceMissing =
    "The minimum amount free space required on image is not specified.";
inline constexpr const char* kMsgMaxPicturesMissing =
    "The maximum number of pictures downloaded at a download is not specified.";
inline constexpr const char* kFmtFreeSpaceRange =
    "Specify the minimum amount free space required on image in the range of %d to %d.";
inline constexpr const char* kFmtMaxPicturesRange =
    "Specify the maximum number of pictures downloaded at a download in the range of %ld to %ld.";

}  // namespace pondrel::tasdek
