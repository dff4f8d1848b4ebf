#include "text/utf.h"

#include <gtest/gtest.h>

#include <string>

namespace tallyweb {
namespace {

// Registry names and texts come as UTF-16 and travel as UTF-8; a name must
// come back unchanged to be opened again, whatever units it holds.
TEST(AppendWideAsUtf8, EveryUnitSurvivesTheRoundTrip) {
  struct {
    const char* name;
    std::u16string wide;
    std::string utf8;
  } cases[] = {
      {"ASCII", u"a.zip", "a.zip"},
      {"Cyrillic and CJK", u"\u043E\u4E0B", "\xD0\xBE\xE4\xB8\x8B"},
      {"a surrogate pair is one character", u"\U0001F4E6", "\xF0\x9F\x93\xA6"},
      {"an unpaired high surrogate", std::u16string(u"a") + char16_t(0xD83D) + u"b",
       "a\xED\xA0\xBD"
       "b"},
      {"an unpaired low surrogate", std::u16string(1, char16_t(0xDCA6)), "\xED\xB2\xA6"},
      {"a high surrogate last", std::u16string(u"x") + char16_t(0xD800), "x\xED\xA0\x80"},
      {"NUL stays", std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string utf8;
    AppendWideAsUtf8(c.wide.data(), c.wide.size(), utf8);
    EXPECT_EQ(c.utf8, utf8);
    EXPECT_EQ(c.wide, Utf8ToWide(utf8));
    char16_t units[8];
    EXPECT_EQ(c.wide, std::u16string(units, Utf8ToWide(utf8, units, 8)));
  }
}

TEST(NextCharacter, ABrokenSequenceIsOneReplacementAByte) {
  struct {
    const char* name;
    std::string utf8;
    std::u16string wide;
  } cases[] = {
      {"a lone continuation byte", "a\x80z", u"a\uFFFDz"},
      {"a sequence cut short", "a\xE4\xB8", u"a\uFFFD\uFFFD"},
      {"an overlong form", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.wide, Utf8ToWide(c.utf8));
  }
  char16_t units[3];
  EXPECT_EQ(1u, Utf8ToWide("a\xF0\x9F\x93\xA6", units, 2)) << "never half a pair";
}

}  // namespace
}  // namespace tallyweb
