// libfetchko.so: the image downloader's entry point, loaded and called by the launcher KVdl.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Performs one download run for the option text `command_line` ("/g <32 hex digits>,/l
// <log path>,/t <task name>" with optional ",/d" and ",/h"; empty for manual mode) and returns
// the run's result code. Runs to completion on the calling thread; SIGTERM to the process
// during the call aborts the run (result 100).
__attribute__((visibility("default"))) int kvdl_start(const char* command_line);

#ifdef __cplusplus
}
#endif
