// Helpers for the Task View model tests: a stored server profile and a stored task in the
// temporary ROOT of a ScopedTestEnv.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "servers/srvmgr.h"
#include "taskmodel/kvtask.h"

namespace pondrel::tasdek::testing {

inline Guid AddServer(const std::string& name, const std::string& image_dir) {
  CKVSrvInfo rec;
  EXPECT_TRUE(rec.SetServerName(name).ok());
  EXPECT_TRUE(rec.SetImageDirectory(image_dir).ok());
  EXPECT_TRUE(rec.SetHostName("127.0.0.1").ok());
  CKVSrvMgr store;
  EXPECT_TRUE(store.Init());
  EXPECT_EQ(store.Add(&rec), SrvResult::SRV_OK);
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
  TaskFileLock lock(mgr, -1);
  mgr.WriteTask(t);
}

}  // namespace pondrel::tasdek::testing
