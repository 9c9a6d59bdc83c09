// A stand-in downloader library for testing the KVdl launcher: records the option text it is
// given and returns the result named by FAKE_FETCHKO_RESULT.
#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int kvdl_start(const char* options) {
  if (const char* out = std::getenv("FAKE_FETCHKO_OUT")) {
    if (FILE* f = std::fopen(out, "w")) {
      std::fputs(options ? options : "(null)", f);
      std::fclose(f);
    }
  }
  const char* r = std::getenv("FAKE_FETCHKO_RESULT");
  return r ? std::atoi(r) : 0;
}
