#include "taskmodel/kvtask.h"

namespace pondrel {
struct CKVTaskMgr::ParsedFile {};
bool SetTaskField(char*, std::size_t, std::string_view) { return false; }
int CKVTask::Validate() { return -1; }
CKVTaskMgr::CKVTaskMgr() {}
CKVTaskMgr::CKVTaskMgr(std::string_view) {}
CKVTaskMgr::~CKVTaskMgr() = default;
int CKVTaskMgr::ReadTask(std::string_view, CKVTask*) { return -1; }
int CKVTaskMgr::GetFirstTask(CKVTask*) { return -1; }
int CKVTaskMgr::GetNextTask(CKVTask*) { return -1; }
int CKVTaskMgr::WriteTask(const CKVTask&) { return -1; }
int CKVTaskMgr::DeleteTask(std::string_view) { return -1; }
int CKVTaskMgr::ReplaceTask(std::string_view, const CKVTask&) { return -1; }
int CKVTaskMgr::ReadAllTasks(std::vector<CKVTask>*) { return -1; }
bool CKVTaskMgr::Lock(int, const std::atomic<bool>*) { return false; }
void CKVTaskMgr::Unlock() {}
}  // namespace pondrel
