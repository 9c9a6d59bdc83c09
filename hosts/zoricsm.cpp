// zoricsm: the service host. Loads libkestova.so from its own directory and hands it the
// first command-line argument; in the modes that run the service, the call returns only once
// the service has stopped.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "hosts/host_util.h"

namespace {
constexpr int kExitNoLibrary = 3;
}

int main(int argc, char** argv) {
  const std::string lib = pondrel::host::OwnDirectory() + "/libkestova.so";
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
  int rc = exec(argc > 1 ? argv[1] : "");
  return rc == 0 ? 0 : 1;
}
