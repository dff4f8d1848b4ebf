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

// Each reader of UTF-8 keeps its own rule for a byte that starts no
// character, and names also read longer forms as their number; everything
// else, a broken sequence giving back all but its first byte included, is
// the same for all three.
TEST(DecodeUtf8, TheThreeRulesSideBySide) {
  const auto decode = [](std::string_view utf8, BadUtf8Byte bad, Utf8Forms forms) {
    std::u16string wide;
    char16_t units[2];
    char32_t code = 0;
    for (std::size_t at = 0; at < utf8.size();) {
      if (DecodeUtf8(utf8, &at, bad, forms, &code)) wide.append(units, ToUtf16(code, units));
    }
    return wide;
  };
  struct {
    const char* name;
    std::string utf8;
    std::u16string texts;  // U+FFFD, shortest forms
    std::u16string names;  // U+DC00 plus the byte, any length
    std::u16string hive;   // dropped, shortest forms
  } cases[] = {
      {"a byte no character starts with", "a\xFFz", u"a\uFFFDz", u"a\xDCFFz", u"az"},
      {"a sequence cut short", "a\xE4\xB8", u"a\uFFFD\uFFFD", u"a\xDCE4\xDCB8", u"a"},
      {"a broken sequence gives back its next byte", "\xE4z", u"\uFFFDz", u"\xDCE4z", u"z"},
      {"an overlong two-byte form", "\xC0\xAF", u"\uFFFD\uFFFD", u"\xDCC0\xDCAF", u""},
      {"an overlong three-byte A", "\xE0\x81\x81", u"\uFFFD\uFFFD\uFFFD", u"A", u""},
      {"an encoded surrogate", "\xED\xA0\xBD", u"\xD83D", u"\xD83D", u"\xD83D"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", u"\xDC00\xDC00", u""},
      {"U+10FFFF is a surrogate pair", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF", u"\xDBFF\xDFFF",
       u"\xDBFF\xDFFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.texts, decode(c.utf8, BadUtf8Byte::kReplacementCharacter, Utf8Forms::kShortest));
    EXPECT_EQ(c.texts, Utf8ToWide(c.utf8));
    EXPECT_EQ(c.names, decode(c.utf8, BadUtf8Byte::kLoneSurrogate, Utf8Forms::kAnyLength));
    EXPECT_EQ(c.hive, decode(c.utf8, BadUtf8Byte::kDropped, Utf8Forms::kShortest));
  }
}

}  // namespace
}  // namespace tallyweb
