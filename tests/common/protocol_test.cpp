#include "common/protocol.h"

#include <gtest/gtest.h>

namespace pondrel {
namespace {

TEST(Protocol, EveryServiceRequestParsesBackToItsTagAndTask) {
  std::string_view arg;
  EXPECT_EQ(ParseMailslotTag(FormatScanRequest(), &arg), MailslotTag::kScan);
  EXPECT_EQ(arg, "");
  const std::string execute = FormatExecuteNow("Night shots"), abort = FormatAbort("a:b");
  EXPECT_EQ(ParseMailslotTag(execute, &arg), MailslotTag::kExecute);
  EXPECT_EQ(arg, "Night shots");
  EXPECT_EQ(ParseMailslotTag(abort, &arg), MailslotTag::kAbort);
  EXPECT_EQ(arg, "a:b");
  EXPECT_EQ(FormatExecuteNow("t"), "ZORIC:02:t");
  EXPECT_EQ(FormatAbort("t"), "ZORIC:03:t");

  const std::string reg = FormatRegister("gate", 4294967295u);
  EXPECT_EQ(reg, "ZORIC:04:gate:4294967295");
  ASSERT_EQ(ParseMailslotTag(reg, &arg), MailslotTag::kRegister);
  std::string task;
  std::uint32_t window = 0;
  ASSERT_TRUE(ParseRegisterArgument(arg, &task, &window));
  EXPECT_EQ(task, "gate");
  EXPECT_EQ(window, 4294967295u);

  // Short texts, the probe and foreign tags are no requests.
  EXPECT_EQ(ParseMailslotTag(""), MailslotTag::kNone);
  EXPECT_EQ(ParseMailslotTag("ZORIC:04"), MailslotTag::kNone);
  EXPECT_EQ(ParseMailslotTag("ZORIC:05:x"), MailslotTag::kNone);
  EXPECT_EQ(ParseMailslotTag("zoric:01:"), MailslotTag::kNone);
  // A report without a usable window is refused.
  for (std::string_view bad : {"gate", "gate:", "gate:0", "gate:x", ":"}) {
    EXPECT_FALSE(ParseRegisterArgument(bad, &task, &window)) << bad;
  }
}

TEST(Protocol, TaskChangedReportsNameTheTask) {
  const std::string msg = FormatTaskChanged(3, 7, "2026/03/10/10/00/00", "Yard");
  EXPECT_EQ(msg, "ZORIC:01::03:07:2026/03/10/10/00/00:Yard");
  EXPECT_EQ(FormatTaskChanged(12, -1, "", "x"), "ZORIC:01::12:-1::x");
  std::string task;
  ASSERT_TRUE(ParseTaskChanged(msg, &task));
  EXPECT_EQ(task, "Yard");
  EXPECT_FALSE(ParseTaskChanged(FormatExecuteNow("Yard"), &task));
}

TEST(Protocol, ObjectNamesAndOptionText) {
  EXPECT_EQ(ServerSemaphoreName("00112233445566778899aabbccddeeff"),
            "00112233445566778899aabbccddeeffSEM");
  DownloaderOptions o;
  o.server_id = "00112233445566778899aabbccddeeff";
  o.log_path = "/srv/pictures/a b/info/dl.log";
  o.task_name = "t";
  EXPECT_EQ(FormatDownloaderOptions(o),
            "/g 00112233445566778899aabbccddeeff,/l /srv/pictures/a b/info/dl.log,/t t");
  o.delete_images = o.hang_up = true;
  EXPECT_EQ(FormatDownloaderOptions(o),
            "/g 00112233445566778899aabbccddeeff,/l /srv/pictures/a b/info/dl.log,/t t,/d,/h");
}

}  // namespace
}  // namespace pondrel
