// The log engine's reading rules and bad input: missing files and directories, the fall-back
// to the service's log, files that are no files, unreadable files, binary garbage, CR-only
// line ends, huge lines, files changing while read; follow mode; the streaming readers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/registry.h"
#include "logviewer/log_document.h"
#include "logviewer/log_file.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel::logviewer {
namespace {

constexpr char kLine[] = "Apr 05 06:07:08 2003 <info><daily><cam> Download has started. (D001)";

std::string Lines(int n, const char* end = "\r\n") {
  std::string s;
  for (int i = 0; i < n; ++i) s += std::string(kLine) + end;
  return s;
}

void Append(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
}

// Reads `path` with the streaming reader and compares every line with the document's record.
void ExpectStreamMatchesDocument(const std::string& path, const CLogDocument& doc) {
  CLogLineReader reader;
  ASSERT_EQ(reader.Open(path), 0);
  std::string_view line;
  bool cut;
  std::size_t i = 0;
  while (reader.Next(&line, &cut)) {
    ASSERT_LT(i, doc.RecordCount());
    const LogLine e = ParseLogLine(line);
    ASSERT_EQ(doc.Line(i), line) << i;
    ASSERT_EQ(doc.Accepted(i), e.accepted);
    ASSERT_EQ(doc.Task(i), e.task);
    ASSERT_EQ(doc.Server(i), e.server);
    ASSERT_EQ(doc.Message(i), e.message);
    ++i;
  }
  EXPECT_EQ(i, doc.RecordCount());
}

TEST(LogReading, MissingFilesDirectoriesAndTheFallBack) {
  test::ScopedTestEnv env;
  CLogDocument doc;
  // A missing file in an existing directory is an empty log, without fall-back.
  EXPECT_EQ(doc.Load(env.Path("nothing.log")), 0);
  EXPECT_EQ(doc.RecordCount(), 0u);
  std::string used;
  EXPECT_EQ(doc.LoadChosen(env.Path("nothing.log"), &used), 0);
  EXPECT_EQ(used, env.Path("nothing.log"));
  // A missing directory falls back to the service's log, ROOT/SYSTEM/kvrpd.log.
  EXPECT_EQ(doc.Load(env.Path("no-dir/kvrpd.log")), ENOENT);
  std::filesystem::create_directories(env.Root() + "/SYSTEM");
  test::WriteFile(env.Root() + "/SYSTEM/kvrpd.log", Lines(3));
  EXPECT_EQ(doc.LoadChosen(env.Path("no-dir/kvrpd.log"), &used), 0);
  EXPECT_EQ(used, env.Root() + "/SYSTEM/kvrpd.log");
  EXPECT_EQ(doc.RecordCount(), 3u);
  EXPECT_EQ(doc.LoadChosen("", &used), 0);
  EXPECT_EQ(doc.RecordCount(), 3u);
  // Without ROOT there is no default log.
  RegistryKey key;
  ASSERT_TRUE(key.OpenAll(kSettingsKey));
  ASSERT_TRUE(key.DeleteValue("ROOT"));
  EXPECT_EQ(doc.LoadChosen("", &used), ENOENT);
  EXPECT_EQ(LoadResultText(ENOENT), "No such file or directory");
  EXPECT_EQ(LoadResultText(kLoadNoMemory), "Not enough memory");
  EXPECT_EQ(LoadResultText(99999), "An unknown error occurred");
}

TEST(LogReading, DirectoriesFifosAndDevicesGiveTheSystemsMessageWithoutHanging) {
  test::ScopedTestEnv env;
  CLogDocument doc;
  EXPECT_EQ(doc.Load(env.Dir()), EISDIR);
  EXPECT_EQ(doc.Load("/dev/zero"), EINVAL);
  const std::string fifo = env.Path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // No writer: nothing to read, at once.
  EXPECT_EQ(doc.Load(fifo), 0);
  EXPECT_EQ(doc.RecordCount(), 0u);
  // A writer that keeps the FIFO open: what it wrote is read, and the load does not wait for more.
  const int w = ::open(fifo.c_str(), O_RDWR);
  ASSERT_GE(w, 0);
  const std::string two = Lines(2);
  ASSERT_EQ(::write(w, two.data(), two.size()), static_cast<ssize_t>(two.size()));
  EXPECT_EQ(doc.Load(fifo), 0);
  EXPECT_EQ(doc.RecordCount(), 2u);
  ::close(w);
  CLogLineReader reader;
  EXPECT_EQ(reader.Open(env.Dir()), EISDIR);
  EXPECT_EQ(ForEachLineBackwards(env.Dir(), [](std::string_view, bool) { return true; }), EISDIR);
}

TEST(LogReading, AnUnreadableFileIsRetriedThenReported) {
  test::ScopedTestEnv env;
  const std::string path = env.Path("secret.log");
  test::WriteFile(path, Lines(1));
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  ASSERT_EQ(::chmod(env.Dir().c_str(), 0755), 0);
  // Root reads every file: the reader runs as an unprivileged user in a child process.
  const int status = test::RunInChild([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 90;
    CLogDocument doc;
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = doc.Load(path);
    const auto waited = std::chrono::steady_clock::now() - t0;
    // Ten attempts, 100 ms apart.
    return rc == EACCES && waited >= std::chrono::milliseconds(800) ? 0 : 1;
  });
  if (status == 90) GTEST_SKIP() << "cannot change user here";
  EXPECT_EQ(status, 0);
}

TEST(LogReading, BinaryGarbageNulsAndCrOnlyLineEndsGivePlaceholdersOrEntries) {
  test::ScopedTestEnv env;
  const std::string path = env.Path("kvrpd.log");
  std::string text = std::string(kLine) + "\r";  // CR-only line ends
  text += std::string(kLine) + "\r";
  std::string with_nul = kLine;
  with_nul[45] = '\0';  // inside the message
  text += with_nul + "\n";
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) text += static_cast<char>(rng());
  text += "\n" + std::string(kLine);  // the last line has no line end
  test::WriteFile(path, text);
  CLogDocument doc;
  ASSERT_EQ(doc.Load(path), 0);
  ASSERT_GE(doc.RecordCount(), 4u);
  EXPECT_TRUE(doc.Accepted(0));
  EXPECT_TRUE(doc.Accepted(1));
  // A NUL is an ordinary byte: the rest of the line and of the file are still read.
  EXPECT_TRUE(doc.Accepted(2));
  EXPECT_EQ(doc.Message(2).size(), std::string_view("Download has started.").size());
  EXPECT_TRUE(doc.Accepted(doc.RecordCount() - 1));
  std::size_t total = 0;
  for (std::size_t i = 0; i < doc.RecordCount(); ++i) total += doc.Line(i).size();
  EXPECT_LE(total, text.size());
  // Every sort and filter copes.
  std::vector<std::uint32_t> rows = doc.FilterRows(LogFilter());
  for (int c = 0; c < kColumnCount; ++c) doc.SortRows(&rows, c, c % 2 == 0);
  EXPECT_EQ(rows.size(), doc.RecordCount());
  // The streaming reader splits and parses the same way.
  ExpectStreamMatchesDocument(path, doc);
  std::size_t back = doc.RecordCount();
  ASSERT_EQ(ForEachLineBackwards(path,
                                 [&](std::string_view l, bool) {
                                   EXPECT_EQ(l, doc.Line(--back));
                                   return true;
                                 }),
            0);
  EXPECT_EQ(back, 0u);
}

TEST(LogReading, AHundredMegabyteLineWithoutAnEnd) {
  test::ScopedTestEnv env;
  const std::string path = env.Path("kvrpd.log");
  std::string text = Lines(2, "\n") + std::string(100u << 20, 'x');
  test::WriteFile(path, text);
  text.clear();
  CLogDocument doc;
  ASSERT_EQ(doc.Load(path), 0);
  ASSERT_EQ(doc.RecordCount(), 3u);
  EXPECT_FALSE(doc.Accepted(2));
  EXPECT_EQ(doc.Message(2).size(), 100u << 20);
  // The streaming reader keeps memory small: the line comes cut.
  CLogLineReader reader;
  ASSERT_EQ(reader.Open(path), 0);
  std::string_view line;
  bool cut = false;
  int n = 0, cuts = 0;
  while (reader.Next(&line, &cut)) {
    ++n;
    cuts += cut;
    if (cut) {
      EXPECT_EQ(line.size(), kMaxStreamLine);
    }
  }
  EXPECT_EQ(n, 3);
  EXPECT_EQ(cuts, 1);
  n = cuts = 0;
  ASSERT_EQ(ForEachLineBackwards(path,
                                 [&](std::string_view l, bool c) {
                                   ++n;
                                   cuts += c;
                                   if (c) {
                                     EXPECT_EQ(l.substr(0, 3), "xxx");
                                   }
                                   return true;
                                 }),
            0);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(cuts, 1);
}

TEST(LogReading, AFileThatGrowsShrinksOrIsReplacedWhileRead) {
  test::ScopedTestEnv env;
  const std::string path = env.Path("kvrpd.log");
  test::WriteFile(path, Lines(200000));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::mt19937 rng(1);
    while (!stop) {
      switch (rng() % 3) {
        case 0: Append(path, Lines(1000)); break;
        case 1: ::truncate(path.c_str(), static_cast<off_t>(rng() % (16u << 20))); break;
        default: {
          test::WriteFile(path + ".new", Lines(static_cast<int>(rng() % 100000)));
          ::rename((path + ".new").c_str(), path.c_str());
        }
      }
    }
  });
  for (int i = 0; i < 30; ++i) {
    CLogDocument doc;
    EXPECT_EQ(doc.Load(path), 0);
    std::vector<std::uint32_t> rows = doc.FilterRows(LogFilter());
    doc.SortRows(&rows, kColumnMessage, true);
    for (std::size_t r = 0; r < doc.RecordCount(); r += 997) {
      EXPECT_LE(doc.Line(r).size(), doc.ByteCount());
    }
    CLogLineReader reader;
    ASSERT_EQ(reader.Open(path), 0);
    std::string_view line;
    bool cut;
    while (reader.Next(&line, &cut)) {
    }
    ForEachLineBackwards(path, [](std::string_view, bool) { return true; });
  }
  stop = true;
  writer.join();
}

TEST(LogReading, RefreshTakesInAppendedLinesAndReloadsAReplacedFile) {
  test::ScopedTestEnv env;
  const std::string path = env.Path("kvrpd.log");
  CLogDocument doc;
  ASSERT_EQ(doc.Load(path), 0);  // not there yet
  bool changed, reloaded;
  test::WriteFile(path, Lines(2));
  ASSERT_EQ(doc.Refresh(&changed, &reloaded), 0);
  EXPECT_TRUE(changed);
  EXPECT_EQ(doc.RecordCount(), 2u);
  // Half a line first: shown, and replaced by the whole line when its end arrives.
  const std::string line = kLine;
  Append(path, line.substr(0, 30));
  ASSERT_EQ(doc.Refresh(&changed, &reloaded), 0);
  EXPECT_TRUE(changed);
  EXPECT_FALSE(reloaded);
  ASSERT_EQ(doc.RecordCount(), 3u);
  EXPECT_FALSE(doc.Accepted(2));
  Append(path, line.substr(30) + "\r\n");
  ASSERT_EQ(doc.Refresh(&changed, &reloaded), 0);
  ASSERT_EQ(doc.RecordCount(), 3u);
  EXPECT_TRUE(doc.Accepted(2));
  EXPECT_EQ(doc.Task(2), "daily");
  ASSERT_EQ(doc.Refresh(&changed, &reloaded), 0);
  EXPECT_FALSE(changed);
  // Truncated, then replaced by another file.
  test::WriteFile(path, Lines(1));
  ASSERT_EQ(doc.Refresh(&changed, &reloaded), 0);
  EXPECT_TRUE(reloaded);
  EXPECT_EQ(doc.RecordCount(), 1u);
  test::WriteFile(path + ".new", Lines(4));
  ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
  ASSERT_EQ(doc.Refresh(&changed, &reloaded), 0);
  EXPECT_TRUE(reloaded);
  EXPECT_EQ(doc.RecordCount(), 4u);
}

TEST(LogReading, ALargeLogParsedInPartsEqualsTheLineByLineParse) {
  test::ScopedTestEnv env;
  const std::string path = env.Path("kvrpd.log");
  // Enough to be parsed on every core, with the part boundaries falling anywhere.
  std::string text;
  std::minstd_rand rng(3);
  const char* tasks[] = {"daily", "nightly", "hourly", " "};
  while (text.size() < (12u << 20)) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "Apr %02u 06:07:%02u 2003 <info><%s><cam %u> Picture %u stored. (D%03u)%s",
                  static_cast<unsigned>(rng() % 28 + 1), static_cast<unsigned>(rng() % 60),
                  tasks[rng() % 4], static_cast<unsigned>(rng() % 5), static_cast<unsigned>(rng()),
                  static_cast<unsigned>(rng() % 1000), rng() % 50 == 0 ? "\r" : "\r\n");
    text += line;
    if (rng() % 100 == 0) text += "garbage line\n";
  }
  test::WriteFile(path, text);
  CLogDocument doc;
  ASSERT_EQ(doc.Load(path), 0);
  ExpectStreamMatchesDocument(path, doc);
  LogFilter f;
  f.task = "nightly";
  f.levels = kLevelBitInfo;
  const std::vector<std::uint32_t> rows = doc.FilterRows(f);
  for (std::uint32_t r : rows) ASSERT_EQ(doc.Task(r), "nightly");
  std::vector<std::uint32_t> sorted = doc.FilterRows(LogFilter());
  doc.SortRows(&sorted, kColumnServer, true);
  // Names ascending, then the placeholders.
  for (std::size_t k = 1; k < sorted.size(); ++k) {
    const std::string_view a = doc.Server(sorted[k - 1]), b = doc.Server(sorted[k]);
    if (a[0] == '.') {
      ASSERT_EQ(b, "..........");
    } else if (b[0] != '.') {
      ASSERT_LE(a, b);
    }
  }
}

}  // namespace
}  // namespace pondrel::logviewer
