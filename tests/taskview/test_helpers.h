// Helpers for the Task View model tests: a stored server profile and a stored task in the
// temporary ROOT of a ScopedTestEnv.
#pragma once

#include <string>

#include "servers/srvmgr.h"
#include "taskmodel/kvtask.h"

namespace pondrel::tasdek::testing {

inline Guid AddServer(const std::string& name, const std::string& image_dir) {
  CKVSrvInfo rec;
  rec.SetServerName(name);
  rec.SetImageDirectory(image_dir);
  rec.SetHostName("127.0.0.1");
  CKVSrvMgr store;
  store.Init();
  store.Add(&rec);
  return rec.GetId();
}

inline CKVTask MakeTask(const std::string& name, const Guid& server) {
  CKVTask t;
  t.SetName(name);
  SetTaskField(t.StartTime, "2003/01/01/08/00/00");
  t.ServerId = server;
  return t;
}

inline void StoreTask(const CKVTask& t) {
  CKVTaskMgr mgr;
  CKVTaskFileLock lock(mgr, -1);
  mgr.WriteTask(t);
}

}  // namespace pondrel::tasdek::testing
