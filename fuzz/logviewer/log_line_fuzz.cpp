// Feeds arbitrary bytes to the log line parser, and as a whole file to the log engine and the
// streaming readers: nothing may crash, every view must lie inside its line, and the engine
// must split and parse lines exactly as the line parser does.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "logviewer/log_document.h"
#include "logviewer/log_file.h"
#include "logviewer/log_line.h"

namespace {

char g_dir[] = "/tmp/log-fuzz-XXXXXX";

void RemoveScratch() {
  std::string path = std::string(g_dir) + "/kvrpd.log";
  unlink(path.c_str());
  rmdir(g_dir);
}

const std::string& ScratchLog() {
  static const std::string kPath = [] {
    if (!mkdtemp(g_dir)) abort();
    std::atexit(RemoveScratch);
    return std::string(g_dir) + "/kvrpd.log";
  }();
  return kPath;
}

bool Inside(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pondrel::logviewer;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const LogLine e = ParseLogLine(text);
  if (e.accepted) {
    if (!Inside(e.task, text) || !Inside(e.server, text) || !Inside(e.code, text) ||
        !Inside(e.message, text) || e.message.empty()) {
      abort();
    }
    char date[20];
    FormatDateKey(e.date, date);
  } else if (e.message != text) {
    abort();
  }

  FILE* f = std::fopen(ScratchLog().c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  CLogDocument doc;
  if (doc.Load(ScratchLog()) != 0) return 0;
  CLogLineReader reader;
  if (reader.Open(ScratchLog()) != 0) abort();
  std::string_view line;
  bool cut;
  std::size_t i = 0;
  while (reader.Next(&line, &cut)) {
    if (i >= doc.RecordCount() || doc.Line(i) != line) abort();
    const LogLine parsed = ParseLogLine(line);
    if (parsed.accepted != doc.Accepted(i) || parsed.message != doc.Message(i) ||
        parsed.task != doc.Task(i)) {
      abort();
    }
    ++i;
  }
  if (i != doc.RecordCount()) abort();
  std::vector<std::uint32_t> rows = doc.FilterRows(LogFilter());
  for (int c = 0; c < kColumnCount; ++c) doc.SortRows(&rows, c, true);
  return 0;
}
