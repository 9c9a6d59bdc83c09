// The log engine's figures on a big activity log.
//   log_bench generate PATH MEGABYTES   writes a realistic kvrpd.log of about that size
//   log_bench open PATH                 open (read, parse, index), resident memory, sorts, filters
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "logviewer/log_document.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

long ResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string s;
  std::getline(in, s);
  return s;
}

int Generate(const char* path, long megabytes) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return 1;
  static char buf[1 << 20];
  std::setvbuf(f, buf, _IOFBF, sizeof buf);
  std::minstd_rand rng0(42);
  auto rng = [&rng0] { return static_cast<unsigned>(rng0()); };
  const char* tasks[] = {"daily", "nightly",       "front door hourly",
                         "yard",  "garage weekly", "backup"};
  const char* servers[] = {"front door", "yard", "garage", "lobby cam", "parking"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t t = 1041379200;  // 2003-01-01
  const long long target = megabytes * 1024LL * 1024LL;
  long long written = 0;
  long lines = 0;
  char line[512];
  while (written < target) {
    t += rng() % 7;
    std::tm tm;
    gmtime_r(&t, &tm);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%s %02d %02d:%02d:%02d %04d", kMonths[tm.tm_mon],
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    const unsigned kind = rng() % 1000;
    const char* task = tasks[rng() % 6];
    const char* server = servers[rng() % 5];
    int n;
    if (kind < 2) {
      n = std::snprintf(line, sizeof line,
                        "%s <info>< >< > Pondrel Task Scheduler Service has %s. (S10%d)\r\n", stamp,
                        kind ? "stopped" : "started", kind);
    } else if (kind < 3) {
      // A line cut short (a power failure) or other debris: placeholders.
      n = std::snprintf(line, sizeof line, "%.*s\r\n", static_cast<int>(rng() % 40 + 1), stamp);
    } else if (kind < 20) {
      n = std::snprintf(
          line, sizeof line,
          "%s <error><%s><%s> The camera server did not answer (HTTP %u). (D80%u)\r\n", stamp, task,
          server, 500 + rng() % 5, rng() % 8);
    } else if (kind < 40) {
      n = std::snprintf(line, sizeof line,
                        "%s <warning><%s><%s> Free space is below %u MB; the oldest pictures are "
                        "deleted. (D104)\r\n",
                        stamp, task, server, 10 + rng() % 90);
    } else if (kind < 100) {
      n = std::snprintf(line, sizeof line, "%s <info><%s><%s> Download has %s. (D00%d)\r\n", stamp,
                        task, server, kind % 2 ? "started" : "finished", kind % 2 ? 1 : 3);
    } else {
      n = std::snprintf(
          line, sizeof line,
          "%s <info><%s><%s> Picture %04d%02d%02d/%02d%02d%02d%02u stored (%u bytes). (D002)\r\n",
          stamp, task, server, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
          tm.tm_sec, rng() % 100, 20000 + rng() % 60000);
    }
    std::fwrite(line, 1, static_cast<std::size_t>(n), f);
    written += n;
    ++lines;
  }
  std::fclose(f);
  std::printf("generated %s: %lld bytes, %ld lines\n", path, written, lines);
  return 0;
}

int Open(const char* path) {
  using namespace pondrel::logviewer;
  std::printf("load average before: %s\n", LoadAverage().c_str());
  const long rss0 = ResidentKiB();
  CLogDocument doc;
  auto t0 = Clock::now();
  const int rc = doc.Load(path);
  const double open_s = Seconds(t0);
  if (rc != 0) {
    std::printf("load failed: %s\n", LoadResultText(rc).c_str());
    return 1;
  }
  const long rss = ResidentKiB();
  std::printf("open (read, parse, index): %.3f s  %zu records, %.1f MB\n", open_s,
              doc.RecordCount(), doc.ByteCount() / 1048576.0);
  std::printf("resident after open: %.1f MB (%.2f x the file; %.1f MB before)\n", rss / 1024.0,
              rss * 1024.0 / static_cast<double>(doc.ByteCount()), rss0 / 1024.0);

  t0 = Clock::now();
  std::vector<std::uint32_t> all = doc.FilterRows(LogFilter());
  std::printf("fill (no filter): %.3f s  %zu rows\n", Seconds(t0), all.size());
  static const char* const kNames[] = {"Code", "Date & Time", "Task", "Server", "Message"};
  for (int c = 0; c < kColumnCount; ++c) {
    for (bool asc : {true, false}) {
      std::vector<std::uint32_t> rows = all;
      t0 = Clock::now();
      doc.SortRows(&rows, c, asc);
      std::printf("sort %-12s %-10s: %.3f s\n", kNames[c], asc ? "ascending" : "descending",
                  Seconds(t0));
    }
  }
  LogFilter f;
  f.levels = kLevelBitError | kLevelBitWarning;
  t0 = Clock::now();
  std::size_t n = doc.FilterRows(f).size();
  std::printf("filter errors+warnings: %.3f s  %zu rows\n", Seconds(t0), n);
  f = LogFilter();
  f.task = "daily";
  f.code = "D002";
  t0 = Clock::now();
  n = doc.FilterRows(f).size();
  std::printf("filter task+code: %.3f s  %zu rows\n", Seconds(t0), n);
  f = LogFilter();
  f.start = 1041379200 + 86400 * 30;
  f.end = f.start + 86400 * 60;
  t0 = Clock::now();
  n = doc.FilterRows(f).size();
  std::printf("filter start+end: %.3f s  %zu rows\n", Seconds(t0), n);
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  std::printf("peak resident: %.1f MB\n", ru.ru_maxrss / 1024.0);
  std::printf("load average after: %s\n", LoadAverage().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "generate") == 0)
    return Generate(argv[2], std::atol(argv[3]));
  if (argc == 3 && std::strcmp(argv[1], "open") == 0) return Open(argv[2]);
  std::fprintf(stderr, "usage: log_bench generate PATH MEGABYTES | log_bench open PATH\n");
  return 2;
}
