#include "taskmodel/schedule.h"

namespace pondrel {
int FindNextRunTime(const CKVTask&, std::time_t, std::time_t*) { return -1; }
int CKVSchedule::ComputeNextTime(CKVTask*) const { return -1; }
int CKVSchedule::ComputeNextTime(CKVTask*, std::time_t) const { return -1; }
int CKVSchedule::UpdateTask(CKVTaskMgr*, CKVTask*) const { return -1; }
}  // namespace pondrel
