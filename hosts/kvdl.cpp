// KVdl: the downloader launcher. Loads libfetchko.so from its own directory, hands it the
// option text (its arguments joined with single blanks, so the service's one argument and a
// typed command line read the same), writes the full result as decimal text and a line feed
// to the descriptor named by PONDREL_RESULT_FD when set, and exits with the result's low
// 8 bits.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/fs_util.h"
#include "common/protocol.h"
#include "common/registry.h"

namespace {

// The launcher's own start failure: the downloader library is missing or unusable. It lies
// outside the downloader's own result codes; to the service it is a failed run (its full
// value travels through the result pipe; the exit status carries its low 8 bits, 161).
constexpr int kResultNoLibrary = 4001;

void ReportResult(int result) {
  const char* fd_text = std::getenv(pondrel::kResultFdVar);
  if (!fd_text || !*fd_text) return;
  char* end = nullptr;
  long fd = std::strtol(fd_text, &end, 10);
  if (*end != '\0' || fd < 0 || fd > 65535) return;
  std::string text = std::to_string(result) + "\n";
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(static_cast<int>(fd), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string options;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) options += ' ';
    options += argv[i];
  }
  // Without a usable ROOT the run fails on its profile (and says so in its log, when it has
  // one); standard error says why.
  std::string problem;
  if (pondrel::ReadUsableRootDir(&problem).empty())
    std::fprintf(stderr, "KVdl: %s: %s\n",
                 pondrel::RegistryFilePath(pondrel::RegHive::kLocalMachine).c_str(),
                 problem.c_str());
  int result = kResultNoLibrary;
  const std::string lib = pondrel::ProgramDirectory() + "/libfetchko.so";
  if (void* handle = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    using StartFn = int (*)(const char*);
    if (auto start = reinterpret_cast<StartFn>(::dlsym(handle, "kvdl_start")))
      result = start(options.c_str());
    else
      std::fprintf(stderr, "KVdl: %s\n", ::dlerror());
  } else {
    std::fprintf(stderr, "KVdl: %s\n", ::dlerror());
  }
  ReportResult(result);
  return result & 0xFF;
}
