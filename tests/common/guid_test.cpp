#include "common/guid.h"

#include <gtest/gtest.h>

#include <set>

namespace pondrel {
namespace {

TEST(Guid, TextFormsFollowStoredOrderAndRegistryLayout) {
  Guid g;
  for (int i = 0; i < 16; ++i) g.bytes[i] = static_cast<std::uint8_t>(0x10 + i);
  EXPECT_EQ(GuidToHex(g), "101112131415161718191a1b1c1d1e1f");
  EXPECT_EQ(GuidToRegistryForm(g), "13121110-1514-1716-1819-1A1B1C1D1E1F");

  Guid back;
  ASSERT_TRUE(GuidFromHex("101112131415161718191a1b1c1d1e1f", &back));
  EXPECT_EQ(back, g);
  ASSERT_TRUE(GuidFromRegistryForm("{13121110-1514-1716-1819-1a1b1c1d1e1f}", &back));
  EXPECT_EQ(back, g);
  ASSERT_TRUE(GuidFromRegistryForm("13121110-1514-1716-1819-1A1B1C1D1E1F", &back));
  EXPECT_EQ(back, g);

  EXPECT_FALSE(GuidFromHex("101112131415161718191A1B1C1D1E1F", &back));  // upper case
  EXPECT_FALSE(GuidFromHex("101112131415161718191a1b1c1d1e1", &back));
  EXPECT_FALSE(GuidFromHex("101112131415161718191a1b1c1d1e1fg", &back));
  EXPECT_FALSE(GuidFromHex("1011121314151617 8191a1b1c1d1e1f", &back));
  EXPECT_FALSE(GuidFromRegistryForm("13121110-1514-1716-18191A1B1C1D1E1F", &back));
  EXPECT_FALSE(GuidFromRegistryForm("{13121110-1514-1716-1819-1A1B1C1D1E1F", &back));
}

TEST(Guid, CreatedIdentifiersAreNonZeroAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    Guid g;
    ASSERT_TRUE(CreateGuid(&g));
    EXPECT_FALSE(g.IsZero());
    EXPECT_TRUE(seen.insert(GuidToHex(g)).second);
  }
  EXPECT_TRUE(Guid{}.IsZero());
}

}  // namespace
}  // namespace pondrel
