// The service and damaged stores: a damaged schedule.ini or prp1 is logged once, however often
// the service reads it, and the service goes on with what it could read.
#include <gtest/gtest.h>

#include "tests/service/service_fixture.h"

namespace pondrel::test {
namespace {

TEST_F(ServiceFixture, EachDamagedStoreIsLoggedOnceAndTheReadablePartStillRuns) {
  Guid srv = AddServer("cam");
  // prp1 ends in bytes that cannot be read; the task "lost" names a server that is not in
  // the readable part, so every start looks for it through the damage again.
  const std::string prp1 = env_.Root() + "/prp1";
  WriteFile(prp1, ReadFile(prp1) + std::string(50, '\xee'));
  WriteTask(MakeTask("lost", Guid{{9, 9, 9}}, 30));
  WriteTask(MakeTask("good", srv, 30));
  // A block of NUL bytes between the two sections.
  const std::string schedule = env_.Root() + "/schedule.ini";
  std::string text = ReadFile(schedule);
  text.insert(text.find("[good]"), std::string(16, '\0'));
  WriteFile(schedule, text);

  StartService();
  Advance(60);
  ASSERT_TRUE(WaitUntil([&] { return ReadTask("good").ActResult == kResultSucceeded; }));
  ASSERT_TRUE(WaitUntil([&] { return CountInLog("(S001)") == 1; }));
  Advance(86400);  // the next day: both are due again, "lost" is looked for again
  ASSERT_TRUE(WaitUntil([&] { return CountInLog("(S001)") == 2; }));
  StopService();

  EXPECT_EQ(CountInLog("(S020)"), 2) << ServiceLog();
  EXPECT_EQ(CountInLog("<warning>< >< > " + schedule + " is damaged: 16 NUL bytes"), 1)
      << ServiceLog();
  EXPECT_EQ(CountInLog("; the file as it was is kept in " + schedule + ".damaged. (S020)"), 1)
      << ServiceLog();
  EXPECT_EQ(CountInLog("<warning>< >< > " + prp1 + " is damaged: the last 50 bytes"), 1)
      << ServiceLog();
  EXPECT_EQ(CountInLog("; the file as it was is kept in " + prp1 + ".damaged. (S020)"), 1)
      << ServiceLog();
  // The service's rewrites kept both tasks; the NUL bytes are gone, the copy has them.
  EXPECT_EQ(ReadFile(schedule).find('\0'), std::string::npos);
  EXPECT_EQ(ReadFile(schedule + ".damaged"), text);
  EXPECT_STREQ(ReadTask("lost").Name, "lost");
}

}  // namespace
}  // namespace pondrel::test
