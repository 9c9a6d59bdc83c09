#include "taskmodel/timestr.h"

#include <gtest/gtest.h>

#include "tests/taskmodel/tz_guard.h"

namespace pondrel {
namespace {

using test::ScopedTimeZone;

TEST(TimeStr, ParsesBothSeparatorsAndRunsOfThem) {
  std::tm tm;
  ASSERT_TRUE(ParseTimeStr("2003/04/05/06/07/08", &tm));
  EXPECT_EQ(tm.tm_year, 103);
  EXPECT_EQ(tm.tm_mon, 3);
  EXPECT_EQ(tm.tm_mday, 5);
  EXPECT_EQ(tm.tm_hour, 6);
  EXPECT_EQ(tm.tm_min, 7);
  EXPECT_EQ(tm.tm_sec, 8);
  EXPECT_EQ(tm.tm_isdst, -1);
  ASSERT_TRUE(ParseTimeStr("2003/4/5:6::7//8", &tm));
  EXPECT_EQ(FormatTimeStr(tm), "2003/04/05/06/07/08");
}

TEST(TimeStr, RefusesAnythingButSixNumbersOfARealTime) {
  std::tm tm;
  for (const char* bad : {"", "2003/04/05/06/07", "2003/04/05/06/07/08/09", "2003/04/05 06:07:08",
                          "2003/02/29/00/00/00", "2003/13/01/00/00/00", "2003/04/05/24/00/00",
                          "10000/01/01/00/00/00", "1899/12/31/00/00/00", "2003/04/05/06/07/0x",
                          "2003/-4/05/06/07/08", "99999999999/1/1/1/1/1"}) {
    EXPECT_FALSE(ParseTimeStr(bad, &tm)) << bad;
  }
  EXPECT_TRUE(ParseTimeStr("2004/02/29/23/59/59", &tm));
}

TEST(TimeStr, FormatRefusesOutOfRangeAndShortBuffers) {
  std::tm tm{};
  tm.tm_year = 10000 - 1900;
  tm.tm_mon = 0;
  tm.tm_mday = 1;
  char buf[kTimeStrSize] = "x";
  EXPECT_FALSE(FormatTimeStr(tm, buf, sizeof buf));
  EXPECT_STREQ(buf, "");
  tm.tm_year = 103;
  char small[19];
  EXPECT_FALSE(FormatTimeStr(tm, small, sizeof small));
  EXPECT_TRUE(FormatTimeStr(tm, buf, sizeof buf));
  EXPECT_STREQ(buf, "2003/01/01/00/00/00");
}

TEST(TimeStr, WallClockTimeAcrossDaylightSavingInBerlin) {
  ScopedTimeZone tz("Europe/Berlin");
  std::time_t t;
  // Winter (CET, UTC+1) and summer (CEST, UTC+2): the zone decides, not the caller.
  ASSERT_TRUE(TimeStrToTime("2024/01/15/12/00/00", &t));
  EXPECT_EQ(t, 1705316400);  // 11:00 UTC
  ASSERT_TRUE(TimeStrToTime("2024/07/15/12/00/00", &t));
  EXPECT_EQ(t, 1721037600);  // 10:00 UTC
  EXPECT_EQ(TimeToTimeStr(t), "2024/07/15/12/00/00");

  // 02:30 does not exist on 2024-03-31: moved forward by the gap, to 03:30 CEST.
  ASSERT_TRUE(TimeStrToTime("2024/03/31/02/30/00", &t));
  EXPECT_EQ(t, 1711848600);  // 01:30 UTC
  EXPECT_EQ(TimeToTimeStr(t), "2024/03/31/03/30/00");

  // 02:30 happens twice on 2024-10-27: the first one (CEST) is meant.
  ASSERT_TRUE(TimeStrToTime("2024/10/27/02/30/00", &t));
  EXPECT_EQ(t, 1729989000);  // 00:30 UTC
  EXPECT_EQ(TimeToTimeStr(t), "2024/10/27/02/30/00");
}

TEST(TimeStr, DayStepsKeepTheWallClockTime) {
  ScopedTimeZone tz("Europe/Berlin");
  std::time_t t, next;
  ASSERT_TRUE(TimeStrToTime("2024/03/30/08/00/00", &t));
  ASSERT_TRUE(AddLocalDays(t, 1, &next));
  EXPECT_EQ(TimeToTimeStr(next), "2024/03/31/08/00/00");
  EXPECT_EQ(next - t, 23 * 3600);  // the short day
  ASSERT_TRUE(AddLocalDays(next, 210, &next));
  EXPECT_EQ(TimeToTimeStr(next), "2024/10/27/08/00/00");
  ASSERT_TRUE(AddLocalDays(next, -1, &t));
  EXPECT_EQ(TimeToTimeStr(t), "2024/10/26/08/00/00");
  EXPECT_EQ(next - t, 25 * 3600);  // the long day
}

}  // namespace
}  // namespace pondrel
