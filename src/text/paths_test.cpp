#include "text/paths.h"

#include <gtest/gtest.h>

#include <string>

namespace tallyweb {
namespace {

TEST(LastDelimiter, FindsTheLastDelimiter) {
  struct {
    const char* name;
    std::string text;
    std::size_t want;
  } cases[] = {
      {"empty", "", 0},
      {"no delimiter", "abc", 0},
      {"backslash", "C:\\Tools\\x.exe", 9},
      {"colon only", "C:x", 2},
      {"trailing", "C:\\D\\", 5},
      {"NUL is never one", std::string("a\\b\0", 4), 2},
      // "C:\Отчёт 下载 ✓\x.txt": bytes of its letters that would be lead
      // bytes in a double-byte code page do not hide the backslash.
      {"a folder in UTF-8",
       "C:\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xE4\xB8\x8B\xE8\xBD\xBD "
       "\xE2\x9C\x93\\x.txt",
       25},
      {"0x5C after 0x95 is a backslash", "C:\\\x95\\x.txt", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, LastDelimiter(c.text, "\\:"));
  }
}

TEST(DirectoryPart, KeepsTheDelimiter) {
  EXPECT_EQ("C:\\D\\", DirectoryPart("C:\\D\\a.zip", "\\:"));
  EXPECT_EQ("", DirectoryPart("a.zip", "\\:"));
  EXPECT_EQ("/opt/tw/", DirectoryPart("/opt/tw/Tallyweb", "/"));
}

}  // namespace
}  // namespace tallyweb
