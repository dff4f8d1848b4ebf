#include "platform/system_facts.h"

#include <gtest/gtest.h>

#include <string>

namespace tallyweb {
namespace {

// A double-byte system whose lead bytes are 0x81-0x9F and 0xE0-0xFC, as in
// the Japanese code page, where 0x5C can be the second byte of a character.
SystemFacts JapaneseFacts() {
  return MakeSystemFacts(true, {0x81, 0x9F, 0xE0, 0xFC, 0, 0, 0, 0, 0, 0, 0, 0}, true);
}

TEST(MakeSystemFacts, LeadBytesCountOnlyOnDoubleByteSystems) {
  const std::array<std::uint8_t, 12> ranges = {0x81, 0x82, 0, 0, 0xE0, 0xE0};
  const SystemFacts single = MakeSystemFacts(false, ranges, true);
  const SystemFacts dbcs = MakeSystemFacts(true, ranges, false);
  EXPECT_FALSE(single.lead_byte[0x81]);
  EXPECT_TRUE(single.nt);
  EXPECT_TRUE(dbcs.lead_byte[0x81]);
  EXPECT_TRUE(dbcs.lead_byte[0x82]);
  EXPECT_FALSE(dbcs.lead_byte[0x83]);
  EXPECT_FALSE(dbcs.lead_byte[0xE0]) << "ranges after the (0, 0) pair must be ignored";
}

TEST(MakeSystemFacts, RangeWithHighBelowLowAddsNothingAndSixRangesAtMost) {
  const std::array<std::uint8_t, 12> ranges = {0x90, 0x80, 1, 1, 2, 2, 3, 3, 4, 4, 0xFF, 0xFF};
  const SystemFacts facts = MakeSystemFacts(true, ranges, false);
  EXPECT_FALSE(facts.lead_byte[0x85]);
  EXPECT_TRUE(facts.lead_byte[1]);
  EXPECT_TRUE(facts.lead_byte[0xFF]) << "the sixth range counts, high included";
}

TEST(LastDelimiter, FindsTheLastDelimiterThatIsACharacterOfItsOwn) {
  const SystemFacts plain;
  const SystemFacts japanese = JapaneseFacts();
  struct {
    const char* name;
    std::string text;
    const SystemFacts& facts;
    std::size_t want;
  } cases[] = {
      {"empty", "", plain, 0},
      {"no delimiter", "abc", plain, 0},
      {"backslash", "C:\\Tools\\x.exe", plain, 9},
      {"colon only", "C:x", plain, 2},
      {"trailing", "C:\\D\\", plain, 5},
      {"NUL is never one", std::string("a\\b\0", 4), plain, 2},
      {"0x5C after one lead byte is a trail byte",
       "C:\\\x95\\x.txt", japanese, 3},
      {"0x5C after two lead bytes is a delimiter",
       "C:\\\x95\x95\\x", japanese, 6},
      {"trail-byte rule off on single-byte systems",
       "C:\\\x95\\x.txt", plain, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, LastDelimiter(c.text, "\\:", c.facts));
  }
}

TEST(DirectoryPart, KeepsTheDelimiter) {
  EXPECT_EQ("C:\\D\\", DirectoryPart("C:\\D\\a.zip", "\\:", SystemFacts{}));
  EXPECT_EQ("", DirectoryPart("a.zip", "\\:", SystemFacts{}));
  EXPECT_EQ("/opt/tw/", DirectoryPart("/opt/tw/Tallyweb", "/", SystemFacts{}));
}

}  // namespace
}  // namespace tallyweb
