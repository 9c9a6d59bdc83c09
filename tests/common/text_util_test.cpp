#include "common/text_util.h"

#include <gtest/gtest.h>

namespace pondrel {
namespace {

TEST(TextUtil, CopyCutAlwaysTerminatesAndReportsCuts) {
  char buf[4];
  EXPECT_TRUE(CopyCut(buf, sizeof buf, "abc"));
  EXPECT_STREQ(buf, "abc");
  EXPECT_FALSE(CopyCut(buf, sizeof buf, "abcd"));
  EXPECT_STREQ(buf, "abc");
}

TEST(TextUtil, Utf8CutNeverSplitsASequence) {
  std::string text = "a\xC3\xA9\xE6\x97\xA5";  // a, e-acute (2 bytes), a CJK sign (3 bytes)
  EXPECT_EQ(Utf8CutPrefix(text, 1), "a");
  EXPECT_EQ(Utf8CutPrefix(text, 2), "a");
  EXPECT_EQ(Utf8CutPrefix(text, 3), "a\xC3\xA9");
  EXPECT_EQ(Utf8CutPrefix(text, 5), "a\xC3\xA9");
  EXPECT_EQ(Utf8CutPrefix(text, 6), text);
  EXPECT_EQ(Utf8CutPrefix("\xE6\x97", 5), "\xE6\x97");  // a truncated sequence at the end
}

TEST(TextUtil, Base64OfEveryPaddingLength) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("\xff\xfe"), "//4=");
}

TEST(TextUtil, PeerTextCannotBreakALogLine) {
  EXPECT_EQ(EscapeForLog("ok text"), "ok text");
  EXPECT_EQ(EscapeForLog("a\r\nb\tc\\d\x01"), "a\\r\\nb\\tc\\\\d\\x01");
  EXPECT_TRUE(EqualsNoCase("ROOT", "root"));
  EXPECT_FALSE(EqualsNoCase("ROOT", "roo"));
  EXPECT_EQ(ParseLeadingNumber("  42abc"), 42);
  EXPECT_EQ(ParseLeadingNumber("x42"), 0);
  EXPECT_EQ(ParseLeadingNumber(""), 0);
}

}  // namespace
}  // namespace pondrel
