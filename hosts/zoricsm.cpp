// zoricsm: the service host. Loads libkestova.so from its own directory and hands it its
// command line (the arguments joined with single blanks, so that "zoricsm -osinstall <path>"
// typed in a shell reads as the one option text "-osinstall <path>"); in the modes that run the
// service, the call returns only once the service has stopped.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "common/fs_util.h"

namespace {
constexpr int kExitNoLibrary = 3;
}

int main(int argc, char** argv) {
  const std::string lib = pondrel::ProgramDirectory() + "/libkestova.so";
  void* handle = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::fprintf(stderr, "zoricsm: %s\n", ::dlerror());
    return kExitNoLibrary;
  }
  using ExecFn = int (*)(const char*);
  auto exec = reinterpret_cast<ExecFn>(::dlsym(handle, "ExecServiceCommand"));
  if (!exec) {
    std::fprintf(stderr, "zoricsm: %s\n", ::dlerror());
    return kExitNoLibrary;
  }
  std::string command;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command += ' ';
    command += argv[i];
  }
  int rc = exec(command.c_str());
  return rc == 0 ? 0 : 1;
}
