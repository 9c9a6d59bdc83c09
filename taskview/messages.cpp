#include "taskview/messages.h"

namespace pondrel::tasdek {

const char* ErrorText(int code) {
  switch (code) {
    case 1: return kMsgReadFailed;
    case 2: return kMsgWriteSettingFailed;
    case 3: return kMsgNoMemory;
    case 4: return kMsgStartFailed;
    case 5: return kMsgStopFailed;
    case 6: return kMsgMutexError;
    case 7: return kMsgTaskRunning;
    default: return "";
  }
}

}  // namespace pondrel::tasdek
