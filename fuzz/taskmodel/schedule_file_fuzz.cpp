// Feeds arbitrary bytes to the schedule.ini reader (and the time-string parser), then lets the
// store rewrite the file: nothing may crash, and a rewrite must leave a file that reads back.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "taskmodel/kvtask.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"

namespace {

// A plain array, so that the clean-up at exit never sees a destroyed string.
char g_root[] = "/tmp/schedule-fuzz-XXXXXX";

void RemoveScratch() {
  char path[sizeof g_root + 32];
  for (const char* name : {"/schedule.ini", "/schedule.inibk"}) {
    std::snprintf(path, sizeof path, "%s%s", g_root, name);
    unlink(path);
  }
  rmdir(g_root);
}

const std::string& ScratchRoot() {
  static const std::string kRoot = [] {
    if (!mkdtemp(g_root)) abort();
    std::atexit(RemoveScratch);
    return std::string(g_root);
  }();
  return kRoot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pondrel;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::tm tm;
  if (ParseTimeStr(text, &tm)) FormatTimeStr(tm);

  const std::string path = ScratchRoot() + "/schedule.ini";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  CKVTaskMgr mgr(ScratchRoot());
  std::vector<CKVTask> tasks;
  mgr.ReadAllTasks(&tasks);
  CKVTask t;
  int count = 0;
  for (int rc = mgr.GetFirstTask(&t); rc == 0 && count < 1000; rc = mgr.GetNextTask(&t), ++count) {
    t.Validate();
    CKVSchedule().ComputeNextTime(&t, 1700000000);
  }
  if (!tasks.empty()) {
    CKVTask first = tasks.front();
    first.EndCode = 1;
    if (mgr.WriteTask(first) == 0) {
      CKVTask back;
      if (mgr.ReadTask(first.Name, &back) != 0 || std::string(back.Name) != first.Name) abort();
    }
    mgr.DeleteTask(first.Name);
  }
  return 0;
}
