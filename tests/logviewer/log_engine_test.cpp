// The log engine's parse rules, filter and sort, on documents loaded from real files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logviewer/log_document.h"
#include "logviewer/log_line.h"
#include "taskmodel/timestr.h"
#include "tests/support/test_env.h"

namespace pondrel::logviewer {
namespace {

std::string DateText(DateKey k) {
  char buf[20];
  FormatDateKey(k, buf);
  return buf;
}

TEST(LogLine, LinesOfTheWritersLayoutParse) {
  LogLine e = ParseLogLine(
      "Apr 05 06:07:08 2003 <error><daily><cam 1> Execution failure: Invalid task (S006)");
  ASSERT_TRUE(e.accepted);
  EXPECT_EQ(DateText(e.date), "2003/04/05 06:07:08");
  EXPECT_EQ(e.level, kLevelError);
  EXPECT_EQ(e.task, "daily");
  EXPECT_EQ(e.server, "cam 1");
  EXPECT_EQ(e.code, "S006");
  EXPECT_EQ(e.message, "Execution failure: Invalid task");
  // The service's own lines: blank fields, and a day written with a leading blank.
  e = ParseLogLine(
      "Apr  5 06:07:08 2003 <info>< >< > Pondrel Task Scheduler Service has started. (S100)");
  ASSERT_TRUE(e.accepted);
  EXPECT_EQ(DateText(e.date), "2003/04/05 06:07:08");
  EXPECT_EQ(e.level, kLevelInfo);
  EXPECT_EQ(e.task, " ");
  // Level words are exact: anything else is level 0 but still an entry.
  e = ParseLogLine("Dec 31 23:59:59 2037 <Error><t><s> last second of the range (D999)");
  ASSERT_TRUE(e.accepted);
  EXPECT_EQ(e.level, kLevelOther);
  EXPECT_EQ(DateText(e.date), "2037/12/31 23:59:59");
  EXPECT_EQ(ParseLogLine("Jan 01 00:00:00 1971 <warning><t><s> first second (P001)").level,
            kLevelWarning);
  // The line's last character is not examined.
  EXPECT_TRUE(ParseLogLine("Apr 05 06:07:08 2003 <info><t><s> message text (D001]").accepted);
  EXPECT_TRUE(ParseLogLine("Feb 29 06:07:08 2004 <info><t><s> some message here (D001)").accepted);
  EXPECT_TRUE(ParseLogLine("Feb 29 06:07:08 2000 <info><t><s> some message here (D001)").accepted);
}

TEST(LogLine, ImpossibleDatesShortLinesAndBrokenFieldsArePlaceholders) {
  for (const char* line : {
           "Feb 29 06:07:08 2003 <info><t><s> some message here (D001)",
           "Feb 29 06:07:08 2100 <info><t><s> some message here (D001)",
           "Apr 31 06:07:08 2003 <info><t><s> some message here (D001)",
           "Foo 05 06:07:08 2003 <info><t><s> some message here (D001)",
           "apr 05 06:07:08 2003 <info><t><s> some message here (D001)",
           "Apr 05 06:07:08 1970 <info><t><s> some message here (D001)",
           "Apr 05 06:07:08 2038 <info><t><s> some message here (D001)",
           "Apr 05 24:07:08 2003 <info><t><s> some message here (D001)",
           "Apr 05 06:60:08 2003 <info><t><s> some message here (D001)",
           "Apr 00 06:07:08 2003 <info><t><s> some message here (D001)",
           "Apr 05 06:07:08 2003 <info><t><s> some message here (d001)",  // the code rule
           "Apr 05 06:07:08 2003 <info><t><s> some message here (DX01)",
           "Apr 05 06:07:08 2003 <info><t><s> x (D01)",
           "Apr 05 06:07:08 2003 <info><><s> an empty task name (D001)",
           "Apr 05 06:07:08 2003 <info><t>no server name at all (D001)",
           "Apr 05 06:07:08 2003 <info><t><server-name-fills> (D001)",  // no message
           "Apr 05 06:07:08 2003 <info><t><s> (D001)",
           "short line",
           "Apr 05 06:07:08 2003 (D001)",
       }) {
    const LogLine e = ParseLogLine(line);
    EXPECT_FALSE(e.accepted) << line;
    EXPECT_EQ(e.date, kNoDate);
    EXPECT_EQ(e.code, "....");
    EXPECT_EQ(e.task, "..........");
    EXPECT_EQ(e.message, line);
  }
}

TEST(LogLine, DateKeysOrderLikeTheirTexts) {
  const DateKey a = MakeDateKey(1971, 1, 1, 0, 0, 0);
  const DateKey b = MakeDateKey(2003, 4, 5, 6, 7, 8);
  const DateKey c = MakeDateKey(2037, 12, 31, 23, 59, 59);
  EXPECT_GT(a, kNoDate);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(DateText(a), "1971/01/01 00:00:00");
  EXPECT_EQ(DateText(c), "2037/12/31 23:59:59");
  EXPECT_EQ(DateText(MakeDateKey(2000, 2, 29, 12, 0, 1)), "2000/02/29 12:00:01");
}

class LogDocumentTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    const std::string path = env_.Path("kvrpd.log");
    test::WriteFile(path, text);
    return path;
  }
  std::vector<std::string> Codes(const std::vector<std::uint32_t>& rows) const {
    std::vector<std::string> out;
    for (std::uint32_t r : rows) {
      char buf[4];
      out.emplace_back(doc_.Code(r, buf));
    }
    return out;
  }
  std::vector<std::string> Column(const std::vector<std::uint32_t>& rows, int column) const {
    std::vector<std::string> out;
    for (std::uint32_t r : rows) {
      char buf[20];
      switch (column) {
        case kColumnCode: out.emplace_back(doc_.Code(r, buf)); break;
        case kColumnDate: out.emplace_back(doc_.Date(r, buf)); break;
        case kColumnTask: out.emplace_back(doc_.Task(r)); break;
        case kColumnServer: out.emplace_back(doc_.Server(r)); break;
        default: out.emplace_back(doc_.Message(r)); break;
      }
    }
    return out;
  }
  test::ScopedTestEnv env_;
  CLogDocument doc_;
};

constexpr char kSample[] =
    "Apr 05 06:07:08 2003 <info>< >< > Pondrel Task Scheduler Service has started. (S100)\r\n"
    "Apr 05 06:08:00 2003 <error><daily><cam> Execution failure: Invalid task (S006)\r\n"
    "not a log line\r\n"
    "Apr 06 07:00:00 2003 <warning><nightly><door> Free space is low. (D104)\r\n"
    "\r\n"
    "Apr 06 07:00:01 2003 <info><daily><door> Download has started. (D001)\r\n"
    "Apr 31 07:00:01 2003 <info><daily><door> Download has started. (D001)\r\n";

TEST_F(LogDocumentTest, RecordsPointIntoTheFileAndTheListRunsNewestFirst) {
  ASSERT_EQ(doc_.Load(Write(kSample)), 0);
  ASSERT_EQ(doc_.RecordCount(), 6u);  // the empty line between CR LF pairs gives nothing
  EXPECT_EQ(doc_.Message(1), "Execution failure: Invalid task");
  EXPECT_EQ(doc_.LevelText(3), "warning");
  EXPECT_EQ(doc_.Message(2), "not a log line");
  EXPECT_FALSE(doc_.Accepted(5));
  const std::vector<std::uint32_t> rows = doc_.FilterRows(LogFilter());
  EXPECT_EQ(Codes(rows),
            (std::vector<std::string>{"....", "D001", "D104", "....", "S006", "S100"}));
}

TEST_F(LogDocumentTest, FiltersDropPlaceholdersUnderTimeAndLevel) {
  ASSERT_EQ(doc_.Load(Write(kSample)), 0);
  LogFilter f;
  f.levels = kLevelBitError | kLevelBitWarning;
  EXPECT_EQ(Codes(doc_.FilterRows(f)), (std::vector<std::string>{"D104", "S006"}));
  f = LogFilter();
  ASSERT_TRUE(TimeStrToTime("2003/04/06/00/00/00", &f.start));
  EXPECT_EQ(Codes(doc_.FilterRows(f)), (std::vector<std::string>{"D001", "D104"}));
  f = LogFilter();
  ASSERT_TRUE(TimeStrToTime("2003/04/06/07/00/00", &f.end));  // at or before: inclusive
  EXPECT_EQ(Codes(doc_.FilterRows(f)), (std::vector<std::string>{"D104", "S006", "S100"}));
  f = LogFilter();
  f.task = "daily";
  f.server = "door";
  EXPECT_EQ(Codes(doc_.FilterRows(f)), (std::vector<std::string>{"D001"}));
  f.task = "Daily";  // exact case
  EXPECT_TRUE(doc_.FilterRows(f).empty());
  f = LogFilter();
  f.code = "s006";
  ASSERT_EQ(CheckLogFilter(&f, false, false, true), FilterCheck::kOk);
  EXPECT_EQ(f.code, "S006");
  EXPECT_EQ(Codes(doc_.FilterRows(f)), (std::vector<std::string>{"S006"}));
  // Without a level or time filter, placeholders stay.
  f = LogFilter();
  f.task = "..........";
  EXPECT_EQ(Codes(doc_.FilterRows(f)), (std::vector<std::string>{"....", "...."}));
}

TEST_F(LogDocumentTest, FilterChecksRunInTheDialogsOrder) {
  LogFilter f;
  EXPECT_EQ(CheckLogFilter(&f, true, true, true), FilterCheck::kTaskMissing);
  f.task = "t";
  EXPECT_EQ(CheckLogFilter(&f, true, true, true), FilterCheck::kServerMissing);
  f.server = "s";
  EXPECT_EQ(CheckLogFilter(&f, true, true, true), FilterCheck::kCodeMissing);
  for (const char* bad : {"D01", "1234", "DD01", "D0011", "D 01"}) {
    f.code = bad;
    EXPECT_EQ(CheckLogFilter(&f, true, true, true), FilterCheck::kCodeInvalid) << bad;
  }
  f.code = "p123";
  f.start = 2000;
  f.end = 1000;
  EXPECT_EQ(CheckLogFilter(&f, true, true, true), FilterCheck::kStartAfterEnd);
  f.end = 2000;
  EXPECT_EQ(CheckLogFilter(&f, true, true, true), FilterCheck::kOk);
  EXPECT_EQ(f.code, "P123");
  // A code typed but not chosen is dropped.
  EXPECT_EQ(CheckLogFilter(&f, true, true, false), FilterCheck::kOk);
  EXPECT_EQ(f.code, "");
  EXPECT_STREQ(FilterCheckText(FilterCheck::kCodeInvalid), "The format of Code is invalid");
  EXPECT_STREQ(FilterCheckText(FilterCheck::kStartAfterEnd),
               "Cannot set Start Date & Time after End Date & Time");
}

TEST_F(LogDocumentTest, SortingPutsPlaceholdersLastAndDescendingIsTheReverse) {
  ASSERT_EQ(doc_.Load(Write(kSample)), 0);
  std::vector<std::uint32_t> rows = doc_.FilterRows(LogFilter());
  doc_.SortRows(&rows, kColumnDate, true);
  EXPECT_EQ(
      Column(rows, kColumnDate),
      (std::vector<std::string>{"2003/04/05 06:07:08", "2003/04/05 06:08:00", "2003/04/06 07:00:00",
                                "2003/04/06 07:00:01", "..........", ".........."}));
  // Clicking "Date & Time" twice: the oldest last, placeholders first.
  doc_.SortRows(&rows, kColumnDate, false);
  EXPECT_EQ(Column(rows, kColumnDate),
            (std::vector<std::string>{"..........", "..........", "2003/04/06 07:00:01",
                                      "2003/04/06 07:00:00", "2003/04/05 06:08:00",
                                      "2003/04/05 06:07:08"}));
  doc_.SortRows(&rows, kColumnCode, true);
  EXPECT_EQ(Column(rows, kColumnCode),
            (std::vector<std::string>{"D001", "D104", "S006", "S100", "....", "...."}));
  doc_.SortRows(&rows, kColumnTask, true);
  EXPECT_EQ(Column(rows, kColumnTask), (std::vector<std::string>{" ", "daily", "daily", "nightly",
                                                                 "..........", ".........."}));
  doc_.SortRows(&rows, kColumnServer, false);
  EXPECT_EQ(Column(rows, kColumnServer),
            (std::vector<std::string>{"..........", "..........", "door", "door", "cam", " "}));
  // Messages compare byte by byte, placeholders' raw lines included.
  doc_.SortRows(&rows, kColumnMessage, true);
  const std::vector<std::string> m = Column(rows, kColumnMessage);
  EXPECT_TRUE(std::is_sorted(m.begin(), m.end())) << m[0];
}

TEST_F(LogDocumentTest, MessageSortSeparatesLongCommonPrefixes) {
  std::string text;
  // Messages that agree in their first 8, 16 and 24 bytes, and one that is a prefix of another.
  for (const char* m :
       {"Picture 20030405/06070803 was downloaded.", "Picture 20030405/06070801 was downloaded.",
        "Picture 20030405/0607080", "Picture 20030405/06070802 was downloaded.",
        "Picture 20030405/06070801 was downloaded", "Picture \xE9", "Picture 1"}) {
    text += std::string("Apr 05 06:07:08 2003 <info><t><s> ") + m + " (D001)\n";
  }
  ASSERT_EQ(doc_.Load(Write(text)), 0);
  std::vector<std::uint32_t> rows = doc_.FilterRows(LogFilter());
  doc_.SortRows(&rows, kColumnMessage, true);
  std::vector<std::string> m = Column(rows, kColumnMessage);
  EXPECT_TRUE(std::is_sorted(m.begin(), m.end())) << m[0] << " / " << m[1];
  EXPECT_EQ(m.back(), "Picture \xE9");  // unsigned bytes
  // Sorting twice in a row by the same column gives the same order.
  std::vector<std::uint32_t> again = rows;
  doc_.SortRows(&again, kColumnMessage, true);
  EXPECT_EQ(again, rows);
}

TEST_F(LogDocumentTest, TaskNamesBeginningWithADotSortWithThePlaceholders) {
  ASSERT_EQ(doc_.Load(Write("Apr 05 06:07:08 2003 <info><.hidden><s> one message (D001)\n"
                            "garbage\n"
                            "Apr 05 06:07:09 2003 <info><zeta><s> another message (D001)\n")),
            0);
  std::vector<std::uint32_t> rows = doc_.FilterRows(LogFilter());
  doc_.SortRows(&rows, kColumnTask, true);
  EXPECT_EQ(Column(rows, kColumnTask), (std::vector<std::string>{"zeta", "..........", ".hidden"}));
}

}  // namespace
}  // namespace pondrel::logviewer
