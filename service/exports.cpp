// The exports of libkestova.so, called by the host program and the uninstaller.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "common/process.h"
#include "common/registry.h"
#include "common/runtime_dir.h"
#include "common/text_util.h"
#include "service/event_log.h"
#include "service/kestova.h"
#include "service/service_manager.h"

namespace pondrel {
namespace {

// The one service body of the process.
CKestova g_kestova;
std::unique_ptr<OVEventLog> g_event_log;
std::unique_ptr<ServiceManager> g_service_manager;

constexpr int kCloseWaitMs = 10000;
constexpr int kClosePauseMs = 2000;

bool CommandIs(std::string_view word, std::string_view expected) {
  return EqualsNoCase(word, expected);
}

// The system's other programs (Task View, Log Viewer, a downloader) by their executable name.
bool IsPondrelProgram(const std::string& comm) {
  return comm == "tasdek" || comm == "lorvik" || comm == "KVdl";
}

void CloseOtherPrograms() {
  DIR* d = ::opendir("/proc");
  if (!d) return;
  const pid_t self = ::getpid();
  while (dirent* ent = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(ent->d_name, &end, 10);
    if (!end || *end || pid <= 0 || pid == self) continue;
    std::string comm;
    FILE* f = std::fopen(("/proc/" + std::string(ent->d_name) + "/comm").c_str(), "r");
    if (!f) continue;
    char buf[64] = {};
    if (std::fgets(buf, sizeof buf, f)) comm = buf;
    std::fclose(f);
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (!IsPondrelProgram(comm)) continue;
    struct stat st {};
    if (::stat(("/proc/" + std::string(ent->d_name)).c_str(), &st) != 0 || st.st_uid != ::getuid())
      continue;  // only the programs of this user
    if (!SignalProcess(static_cast<pid_t>(pid), SIGTERM)) continue;
    for (int waited = 0; waited < kCloseWaitMs && ProcessExists(static_cast<pid_t>(pid));
         waited += 100)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(kClosePauseMs));
  }
  ::closedir(d);
}

// The event log and the service manager, made once per process: 0, or the exported
// function's -2 (no event log) or -3 (no service manager).
int SetUpFramework() {
  if (!g_event_log) {
    g_event_log = std::make_unique<OVEventLog>();
    if (!g_event_log->Setup({}, kServiceName)) {
      g_event_log.reset();
      return -2;
    }
  }
  if (!g_service_manager) {
    g_service_manager = CreateServiceManager();
    if (!g_service_manager ||
        !g_service_manager->Setup(kServiceName, kServiceDisplayName, {kServiceDependency}, 0)) {
      g_service_manager.reset();
      return -3;
    }
  }
  // Under systemd the events go to the journal, with their identifier and source as fields.
  if (g_service_manager->Family() == 1)
    g_event_log->SetSink(std::make_unique<JournalEventSink>(kServiceName));
  g_kestova.setSC(g_service_manager.get(), g_event_log.get());
  return 0;
}

// A second instance leaves the first alone and ends as the taken mailslot would end it.
void AlreadyRunning() {
  g_kestova.FatalExit(kExitAlreadyRunning, "The service is already running.");
}

// A run needs the runtime directory; one it may not use is named rather than mistaken for a
// running instance. It needs ROOT too.
void EnsureRunnable() {
  std::string error;
  if (!PrepareRuntimeDir(&error)) g_kestova.FatalExit(kExitRuntimeDirRefused, error.c_str());
  // Without a usable ROOT the service body would end at once without a word.
  std::string problem;
  if (ReadUsableRootDir(&problem).empty()) {
    const std::string text =
        "cannot run the service: " + RegistryFilePath(RegHive::kLocalMachine) + ": " + problem;
    g_kestova.FatalExit(kExitNoRoot, text.c_str());
  }
}

// The start, stop and installation words say why they failed, in the system's words.
int Outcome(bool ok, const std::string& text) {
  if (ok) return 0;
  std::fprintf(stderr, "zoricsm: %s\n", text.empty() ? "The operation failed." : text.c_str());
  return 1;
}

// One command word (without its leading "-" or "/"); any other word does nothing.
int RunCommandWord(ServiceManager& scm, std::string_view word) {
  std::string text;
  if (CommandIs(word, "debug")) {
    EnsureRunnable();
    if (!scm.RunApplication(&g_kestova)) AlreadyRunning();
  } else if (CommandIs(word, "osstart")) {
    return Outcome(scm.StartInstalled(&text), text);
  } else if (CommandIs(word, "start")) {
    EnsureRunnable();
    if (!scm.RunBackground(&g_kestova)) AlreadyRunning();
    return Outcome(scm.LastError().empty(), scm.LastError());
  } else if (word.size() >= 9 && CommandIs(word.substr(0, 9), "osinstall")) {
    std::string_view rest = word.substr(9);
    bool ok = (rest.size() > 1 && rest[0] == ' ') ? scm.Install(rest.substr(1)) : scm.InstallSelf();
    return Outcome(ok, scm.LastError());
  } else if (CommandIs(word, "osremove")) {
    bool ok = scm.Remove();
    g_event_log->RemoveSource();
    return Outcome(ok, scm.LastError());
  } else if (CommandIs(word, "osstop")) {
    return Outcome(scm.Stop(&text), text);
  }
  return 0;
}

}  // namespace
}  // namespace pondrel

using namespace pondrel;

extern "C" {

__attribute__((visibility("default"))) int ExecServiceCommand(const char* command) {
  const std::string cmd = command ? command : "";
  if (const int rc = SetUpFramework(); rc != 0) return rc;
  ServiceManager& scm = *g_service_manager;
  if (cmd.empty() || (cmd[0] != '-' && cmd[0] != '/')) {
    EnsureRunnable();
    if (!scm.RunUnderManager(&g_kestova)) AlreadyRunning();
    return 0;
  }
  return RunCommandWord(scm, std::string_view(cmd).substr(1));
}

__attribute__((visibility("default"))) int doCloseZORICApplications() {
  CloseOtherPrograms();
  ExecServiceCommand("-osstop");
  return ExecServiceCommand("-osremove");
}

__attribute__((visibility("default"))) int UninstInitialize() {
  doCloseZORICApplications();
  return 0;
}

__attribute__((visibility("default"))) int UninstUnInitialize() { return 0; }

}  // extern "C"
