// A test launcher that stands in for KVdl. It parses the service's one option argument
// ("/g <id>,/l <log>,/t <task>[,/d][,/h]"), records it, and behaves as the control file
// "<FAKE_KVDL_DIR>/<task>.ctl" says, one word per line:
//   register        send "ZORIC:04:<task>:<pid>" to the service's mailslot
//   delayregister <ms>  wait that long before the report (a slow start)
//   log <text>      write one activity-log line with <text> to the /l path
//   wait            stay until SIGTERM (result 100) or until "<task>.go" appears
//   ignoreterm      a SIGTERM does not end the wait
//   result <n>      the result to report (default 0)
//   noresult        exit without writing to the result pipe
//   die             end by SIGKILL (no result can be obtained)
// Every start appends "<pid> <option text>" to "<FAKE_KVDL_DIR>/<task>.args".
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/mailslot.h"
#include "taskmodel/activity_log.h"

namespace {

volatile sig_atomic_t g_term = 0;
void OnTerm(int) { g_term = 1; }

std::string OptionValue(const std::string& text, char letter) {
  std::string key = std::string("/") + letter + " ";
  auto pos = text.find(key);
  if (pos == std::string::npos) return {};
  pos += key.size();
  auto end = text.find(",/", pos);
  return text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

void WriteResult(int result) {
  const char* fd_text = std::getenv("PONDREL_RESULT_FD");
  if (!fd_text) return;
  std::string text = std::to_string(result) + "\n";
  [[maybe_unused]] ssize_t n = ::write(std::atoi(fd_text), text.data(), text.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::string options;
  for (int i = 1; i < argc; ++i) options += (i > 1 ? " " : "") + std::string(argv[i]);
  const char* dir_env = std::getenv("FAKE_KVDL_DIR");
  std::string dir = dir_env ? dir_env : "/tmp";
  std::string task = OptionValue(options, 't');
  std::string log_path = OptionValue(options, 'l');
  {
    std::ofstream args(dir + "/" + task + ".args", std::ios::app);
    args << ::getpid() << " " << options << " fd=" << (std::getenv("PONDREL_RESULT_FD") ? 1 : 0)
         << "\n";
  }
  bool do_register = false, do_wait = false, ignore_term = false, no_result = false, die = false;
  int result = 0, register_delay_ms = 0;
  std::ifstream ctl(dir + "/" + task + ".ctl");
  std::string line;
  while (std::getline(ctl, line)) {
    std::istringstream words(line);
    std::string w;
    words >> w;
    if (w == "register")
      do_register = true;
    else if (w == "wait")
      do_wait = true;
    else if (w == "ignoreterm")
      ignore_term = true;
    else if (w == "noresult")
      no_result = true;
    else if (w == "die")
      die = true;
    else if (w == "result")
      words >> result;
    else if (w == "delayregister")
      words >> register_delay_ms;
    else if (w == "log") {
      std::string text;
      std::getline(words, text);
      if (!text.empty() && text[0] == ' ') text.erase(0, 1);
      pondrel::WriteLogLine(log_path, task, "fake", pondrel::kLogInfo, text);
    }
  }
  struct sigaction sa {};
  sa.sa_handler = ignore_term ? SIG_IGN : OnTerm;
  sigaction(SIGTERM, &sa, nullptr);
  if (do_register) {
    std::this_thread::sleep_for(std::chrono::milliseconds(register_delay_ms));
    pondrel::CKVMailSlot slot(pondrel::kServiceMailslot);
    std::string msg = "ZORIC:04:" + task + ":" + std::to_string(::getpid());
    slot.Send(msg);
  }
  if (do_wait) {
    std::string go = dir + "/" + task + ".go";
    while (!g_term && ::access(go.c_str(), F_OK) != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a signal ends the sleep
    if (g_term) result = 100;
  }
  if (die) ::raise(SIGKILL);
  if (!no_result) WriteResult(result);
  return result & 0xFF;
}
