#include "winehive/wine_hive.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tallyweb {
namespace {

using namespace std::string_literals;

// A hive Wine wrote itself (testdata/make_wine_system_reg.sh): keys put in
// the 32-bit view of a 64-bit prefix by `reg add /reg:32` and regedit.
constexpr char kWineSystemReg[] =
#include "testdata/wine_system_reg.inc"
    ;

constexpr char kHeader[] = "WINE REGISTRY Version 2\n";

std::unique_ptr<WineHive> WineWritten() {
  auto hive = WineHive::Parse(std::string(kWineSystemReg));
  EXPECT_NE(nullptr, hive);
  return hive;
}

// The key at a backslash-separated path, or false.
bool Walk(WineHive& hive, const std::string& path, WineHive::KeyId* key) {
  *key = WineHive::kRoot;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t stop = path.find('\\', start);
    if (stop == std::string::npos) stop = path.size();
    if (!hive.FindChild(*key, path.substr(start, stop - start), key)) return false;
    start = stop + 1;
  }
  return true;
}

std::vector<std::string> Children(WineHive& hive, WineHive::KeyId key) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < hive.ChildCount(key); ++i)
    names.push_back(hive.Name(hive.Child(key, i)));
  return names;
}

// The lines that make the key above them a link to `target`, a full path.
std::string LinkLines(const std::string& target) {
  std::string hex = "hex(6):";
  for (char c : target) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "%02x,00,", static_cast<unsigned char>(c));
    hex += byte;
  }
  hex.resize(hex.size() - 1);
  return "#link\n\"SymbolicLinkValue\"=" + hex + "\n";
}

const char kHiveTest[] = "Software\\Wow6432Node\\Tesmora\\HiveTest";
const char kHiveAdd[] = "Software\\Wow6432Node\\Tesmora\\HiveAdd";

// The values the hive Wine wrote holds, as a program reading them gets them.
struct ValueCase {
  const char* key;
  const char* name;
  std::uint32_t type;
  std::string delivered;
};
const ValueCase kWineWrittenValues[] = {
    {kHiveTest, "", kRegSz, "default text\0"s},
    {kHiveTest, "Text", kRegSz, "plain\0"s},
    {kHiveTest, "Quoted", kRegSz, "C:\\Dir\\\"q\" [x]\0"s},
    {kHiveTest, "Tab", kRegSz, "a\tb\0"s},
    {kHiveTest, "Newline", kRegSz, "a\n\rb\0"s},
    {kHiveTest, "Esc", kRegSz, "\x1b\x07\x08\x0b\x0c\0"s},
    {kHiveTest, "EmbeddedNul", kRegSz, "a\0b\0"s},
    {kHiveTest, "Octal", kRegSz,
     "\x01"
     "7\0"s},
    {kHiveTest, "Digit", kRegSz,
     "\xc3\x80"
     "1\0"s},
    {kHiveTest, "Café", kRegSz, "naïve über 中文 😀\0"s},
    {kHiveTest, "NoNul", kRegSz, "ab\0"s},
    {kHiveTest, "OddBytes", kRegSz, "a\0"s},
    {kHiveTest, "EmptySz", kRegSz, ""},
    {kHiveTest, "Expand", kRegExpandSz, "%SystemRoot%\\x\0"s},
    {kHiveTest, "Multi", kRegMultiSz, "a\0bc\0\0"s},
    {kHiveTest, "DwordMax", kRegDword, "\xff\xff\xff\xff"},
    {kHiveTest, "DwordPos", kRegDword, "\xff\xff\xff\x7f"},
    {kHiveTest, "ShortDword", kRegDword, "\x01\x02"},
    {kHiveTest, "BigEndian", kRegDwordBigEndian, "\0\0\0\x01"s},
    {kHiveTest, "Qword", kRegQword, "\x01\x02\x03\x04\x05\x06\x07\x08"},
    {kHiveTest, "EmptyBinary", kRegBinary, ""},
    {kHiveTest, "EmptyNone", kRegNone, ""},
    {kHiveTest, "NoneData", kRegNone, "\x01\x02"},
    {kHiveTest, "Binary", kRegBinary,
     "\0\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
     "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f"
     " !\"#$%&'()*+,-./0123456789:;<=>?"s},
    {kHiveTest, "View", kRegSz, "32-bit\0"s},
    {kHiveAdd, "Sz", kRegSz, "é ü 中 \"q\" \\back\0"s},
    {kHiveAdd, "Dw", kRegDword, "\xff\xff\xff\xff"},
    {kHiveAdd, "Qw", kRegQword, "\x88\x77\x66\x55\x44\x33\x22\x11"},
    {kHiveAdd, "Ex", kRegExpandSz, "%TEMP%\\x\0"s},
    {kHiveAdd, "Ms", kRegMultiSz, "one\0two\0\0"s},
    {kHiveAdd, "Bin", kRegBinary, "\x01\x02\xff"},
    {kHiveAdd, "None", kRegNone, "\0\0"s},
    {kHiveAdd, "Empty", kRegSz, "\0"s},
    {"Software\\Wow6432Node\\Tesmora\\HiveAdd\\Kéy 中", "", kRegSz, "dflt\0"s},
    {"Software\\Tesmora\\HiveTest", "View", kRegSz, "64-bit\0"s},
};

TEST(WineHive, ReadsEveryValueTypeAsWineWroteIt) {
  auto hive = WineWritten();
  ASSERT_NE(nullptr, hive);
  for (const auto& c : kWineWrittenValues) {
    SCOPED_TRACE(std::string(c.key) + " : " + c.name);
    WineHive::KeyId key;
    ASSERT_TRUE(Walk(*hive, c.key, &key));
    const WineHiveValue* value = hive->FindValue(key, c.name);
    ASSERT_NE(nullptr, value);
    EXPECT_EQ(c.type, value->type);
    EXPECT_EQ(c.delivered, DeliveredData(*value));
  }
}

TEST(WineHive, LosesNoValueAndKeepsStringsAsStored) {
  auto hive = WineWritten();
  ASSERT_NE(nullptr, hive);
  WineHive::KeyId key;
  ASSERT_TRUE(Walk(*hive, kHiveTest, &key));
  EXPECT_EQ(25u, hive->Values(key).size()) << "what RegQueryInfoKey counts under Wine";
  EXPECT_EQ("p\0l\0a\0i\0n\0\0\0"s, StoredData(*hive->FindValue(key, "Text")));
  EXPECT_EQ("a\0\0\0\0"s, StoredData(*hive->FindValue(key, "OddBytes")));
  EXPECT_EQ("=\xd8\0\xde\0\0"s, StoredData(*hive->FindValue(key, "Café")).substr(28));
}

TEST(WineHive, EnumeratesSubkeysInWinesOrder) {
  auto hive = WineWritten();
  ASSERT_NE(nullptr, hive);
  struct {
    const char* key;
    std::vector<std::string> children;
  } cases[] = {
      // As RegEnumKeyExA lists them under Wine: letters compared as lower
      // case, so '[' and '_' come before them.
      {"Software\\Wow6432Node\\Tesmora\\HiveTest\\Order",
       {"[br] \"q\"", "A", "a_b", "aa", "b", "C", "Ünïcode 中"}},
      {"", {"Software"}},
      {"Software", {"Tesmora", "Wow6432Node"}},
      // Keys Wine leaves out of the file because they have only subkeys.
      {"Software\\Wow6432Node", {"Classes", "Tesmora"}},
      {"Software\\Wow6432Node\\Tesmora", {"HiveAdd", "HiveTest"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    WineHive::KeyId key;
    ASSERT_TRUE(Walk(*hive, c.key, &key));
    EXPECT_EQ(c.children, Children(*hive, key));
  }
}

TEST(WineHive, MatchesNamesIgnoringCaseAsWineDoes) {
  auto hive = WineWritten();
  ASSERT_NE(nullptr, hive);
  struct {
    const char* path;
    bool found;
  } keys[] = {
      {"SOFTWARE\\wow6432node\\TESMORA\\hivetest\\order\\A_B", true},
      {"Software\\Wow6432Node\\Tesmora\\HiveAdd\\kéy 中", true},
      {"Software\\Wow6432Node\\Tesmora\\HiveAdd\\KÉY 中", true},
      {"Software\\Wow6432Node\\Tesmora\\HiveTest\\Order\\[br] \"q\"", true},
      {"Software\\Wow6432Node\\Tesmora\\HiveTes", false},
      {"Software\\Wow6432Node\\Tesmora\\HiveTestX", false},
  };
  for (const auto& c : keys) {
    SCOPED_TRACE(c.path);
    WineHive::KeyId key;
    EXPECT_EQ(c.found, Walk(*hive, c.path, &key));
  }
  WineHive::KeyId key;
  ASSERT_TRUE(Walk(*hive, kHiveTest, &key));
  EXPECT_NE(nullptr, hive->FindValue(key, "EMBEDDEDnul"));
  EXPECT_NE(nullptr, hive->FindValue(key, "CAFé"));
  EXPECT_NE(nullptr, hive->FindValue(key, "CAFÉ"));
  EXPECT_EQ(nullptr, hive->FindValue(key, "Embedded"));
}

TEST(WineHive, LastWriteTimeComesFromTheTimeOptionElseTheKeyLine) {
  auto hive = WineHive::Parse(std::string(kHeader) +
                              "[Timed] 1700000000\n#time=1dd872b64f7797a\n\n"
                              "[Seconds] 1700000000\n\n"
                              "[Implied\\\\Child] 1700000000\n");
  ASSERT_NE(nullptr, hive);
  struct {
    const char* path;
    std::uint64_t time;
  } cases[] = {
      {"Timed", 0x1dd872b64f7797aull},
      {"Seconds", 133444736000000000ull},
      {"Implied", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    WineHive::KeyId key;
    ASSERT_TRUE(Walk(*hive, c.path, &key));
    EXPECT_EQ(c.time, hive->LastWriteTime(key));
  }
}

// A value list as text, to compare whole lists in one expectation.
std::string Describe(const std::vector<WineHiveValue>& values) {
  std::string text;
  for (const auto& v : values) {
    text += v.name + "|" + std::to_string(v.type) + "|" + StoredData(v) + ";";
  }
  return text;
}

// Forgotten values are parsed again from the text, into memory that held
// another key's values: nothing of the old key may show through.
TEST(WineHive, ValuesForgottenAndReadAgainAreTheSame) {
  const std::string text = std::string(kHeader) +
                           "[Big] 1700000000\n"
                           "\"a\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12\n"
                           "@=\"a default value long enough to need memory\"\n"
                           "#time=1dd872b64f7797a\n"
                           "[Dup] 1700000001\n\"x\"=\"first\"\n"
                           "[Other] 1700000002\n\"b\"=hex:09\n\"x\"=dword:00000001\n"
                           "[Dup] 1700000003\n\"X\"=\"second\"\n@=hex(7):61,00,00,00\n"
                           "[Empty] 1700000004\n";
  auto fresh = WineHive::Parse(text);
  auto reused = WineHive::Parse(text);
  ASSERT_NE(nullptr, fresh);
  ASSERT_NE(nullptr, reused);
  for (const char* path : {"Big", "Other", "Dup", "Empty", "Big", "Dup", "Other"}) {
    SCOPED_TRACE(path);
    WineHive::KeyId key;
    ASSERT_TRUE(Walk(*reused, path, &key));
    EXPECT_EQ(Describe(fresh->Values(key)), Describe(reused->Values(key)));
    EXPECT_EQ(fresh->LastWriteTime(key), reused->LastWriteTime(key));
    reused->ForgetValues(key);
  }
}

// A run looks its download keys up in the order it listed them; any other
// order, and names between two subkeys, must be answered as well.
TEST(WineHive, FindsSubkeysWhateverOrderTheyAreLookedUpIn) {
  struct {
    const char* what;
    std::string keys;
  } hives[] = {
      {"written sorted", "[L\\\\a] 1\n[L\\\\b] 1\n[L\\\\c] 1\n[L\\\\d] 1\n"},
      {"out of order", "[L\\\\c] 1\n[L\\\\a] 1\n[L\\\\d] 1\n[L\\\\b] 1\n"},
  };
  struct {
    const char* name;
    bool found;
  } lookups[] = {{"a", true}, {"b", true},  {"bb", false}, {"c", true}, {"d", true}, {"e", false},
                 {"d", true}, {"c", true},  {"A", true},   {"b", true}, {"", false}, {"a", true},
                 {"c", true}, {"0", false}, {"D", true},   {"d", true}};
  for (const auto& h : hives) {
    SCOPED_TRACE(h.what);
    auto hive = WineHive::Parse(kHeader + h.keys);
    ASSERT_NE(nullptr, hive);
    WineHive::KeyId list;
    ASSERT_TRUE(Walk(*hive, "L", &list));
    for (const auto& l : lookups) {
      SCOPED_TRACE(l.name);
      WineHive::KeyId child = WineHive::kRoot;
      ASSERT_EQ(l.found, hive->FindChild(list, l.name, &child));
      if (l.found) {
        EXPECT_EQ(std::string(1, static_cast<char>(l.name[0] | 0x20)), hive->Name(child));
      }
    }
  }
}

// Consecutive key lines whose paths share their first bytes share keys; the
// same names in another case, or runs of backslashes, lead to the same keys.
TEST(WineHive, KeyLinesSharingAPathPrefixFindTheSameKeys) {
  struct {
    const char* what;
    std::string keys;
    const char* parent;
    std::vector<std::string> children;
  } cases[] = {
      {"siblings", "[A\\\\B\\\\x] 1\n[A\\\\B\\\\y] 1\n[A\\\\B\\\\z] 1\n", "A\\B", {"x", "y", "z"}},
      {"other case",
       "[A\\\\B\\\\x] 1\n[a\\\\b\\\\y] 1\n[A\\\\b\\\\z] 1\n",
       "A\\B",
       {"x", "y", "z"}},
      {"a deeper line between",
       "[A\\\\B\\\\x] 1\n[A\\\\B\\\\x\\\\deep] 1\n[A\\\\B\\\\y] 1\n",
       "A\\B",
       {"x", "y"}},
      {"a longer name with the same start",
       "[A\\\\B\\\\x] 1\n[A\\\\BB\\\\y] 1\n[A\\\\B\\\\z] 1\n",
       "A",
       {"B", "BB"}},
      {"runs of backslashes",
       "[A\\\\B\\\\x] 1\n[A\\\\B\\\\\\\\y] 1\n[A\\\\\\\\B\\\\z] 1\n",
       "A\\B",
       {"x", "y", "z"}},
      {"an escaped line between",
       "[A\\\\B\\\\x] 1\n[A\\\\B\\\\\\x79] 1\n[A\\\\B\\\\z] 1\n",
       "A\\B",
       {"x", "y", "z"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto hive = WineHive::Parse(kHeader + c.keys);
    ASSERT_NE(nullptr, hive);
    WineHive::KeyId parent;
    ASSERT_TRUE(Walk(*hive, c.parent, &parent));
    EXPECT_EQ(c.children, Children(*hive, parent));
    EXPECT_EQ(1u, hive->ChildCount(WineHive::kRoot));
  }
}

// A hex value goes on over lines ending in a backslash, whatever the next
// line holds, as the wine server reads it: even a key line is taken, and the
// values after it stay with the key before.
TEST(WineHive, AValueJoinedOverLinesTakesTheLinesWineTakes) {
  struct {
    const char* what;
    std::string a_body;
    std::string a_values;
    std::string b_values;  // "-": no key B
  } cases[] = {
      {"continued", "\"v\"=hex:01,\\\n  02\n", "v|3|\x01\x02;", "w|4|\x01\0\0\0;"s},
      {"continued over a blank line", "\"v\"=hex:01,\\\\\n\n", "v|3|\x01;", "w|4|\x01\0\0\0;"s},
      {"continued into a comment", "\"v\"=hex:01,\\\n;02\n", "v|0|;", "w|4|\x01\0\0\0;"s},
      {"continued onto the next key", "\"v\"=hex:01,\\\n", "v|0|;w|4|\x01\0\0\0;"s, "-"},
      {"a time after a value", "\"v\"=hex:01\n#time=1\n", "v|3|\x01;", "w|4|\x01\0\0\0;"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto hive = WineHive::Parse(kHeader + "[A] 1\n"s + c.a_body + "[B] 1\n\"w\"=dword:00000001\n");
    ASSERT_NE(nullptr, hive);
    WineHive::KeyId a, b;
    ASSERT_TRUE(Walk(*hive, "A", &a));
    EXPECT_EQ(c.a_values, Describe(hive->Values(a)));
    if (c.b_values == "-") {
      EXPECT_FALSE(Walk(*hive, "B", &b));
    } else {
      ASSERT_TRUE(Walk(*hive, "B", &b));
      EXPECT_EQ(c.b_values, Describe(hive->Values(b)));
    }
  }
}

// A hive over a mapped file tells its owner which stretches it has read, as
// it goes, and reads them again afterwards exactly as text kept in memory.
TEST(WineHive, ReleasesTheTextItHasReadAndReadsItAgainAlike) {
  std::string text = kHeader;
  const std::string padding(200, 'p');
  for (int i = 0; i < 20000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%06d", i);
    text += "[List\\\\"s + name + "] 1700000000\n\"Name\"=\"" + name + "\"\n\"Pad\"=\"" + padding +
            "\"\n";
  }
  ASSERT_GT(text.size(), 4u << 20);
  auto owner = std::make_shared<const std::string>(text);
  std::vector<std::pair<std::size_t, std::size_t>> released;
  auto record = [&](std::size_t begin, std::size_t end) { released.emplace_back(begin, end); };
  auto mapped = WineHive::Parse(*owner, owner, record);
  ASSERT_NE(nullptr, mapped);
  std::size_t indexed = 0;
  for (const auto& r : released) {
    EXPECT_LT(r.first, r.second);
    EXPECT_LE(r.second, text.size());
    EXPECT_EQ(0u, r.first % 65536);
    indexed += r.second - r.first;
  }
  // All but the last megabyte or so of the text was given back while indexing.
  EXPECT_GT(indexed + (2u << 20), text.size());

  released.clear();
  auto kept = WineHive::Parse(text);
  WineHive::KeyId list, kept_list;
  ASSERT_TRUE(Walk(*mapped, "List", &list));
  ASSERT_TRUE(Walk(*kept, "List", &kept_list));
  ASSERT_EQ(kept->ChildCount(kept_list), mapped->ChildCount(list));
  for (std::size_t i = 0; i < mapped->ChildCount(list); ++i) {
    WineHive::KeyId key = mapped->Child(list, i);
    WineHive::KeyId kept_key;
    ASSERT_TRUE(kept->FindChild(kept_list, mapped->Name(key), &kept_key));
    ASSERT_EQ(Describe(kept->Values(kept_key)), Describe(mapped->Values(key)));
    mapped->ForgetValues(key);
  }
  EXPECT_GE(released.size(), 4u);
}

// The whole tree below `key`: names in enumeration order, values, times.
std::string DescribeTree(WineHive& hive, WineHive::KeyId key) {
  std::string out = hive.Name(key) + " " + std::to_string(hive.LastWriteTime(key)) + " {" +
                    Describe(hive.Values(key)) + "}";
  hive.ForgetValues(key);
  for (std::size_t i = 0; i < hive.ChildCount(key); ++i) {
    out += "\n" + DescribeTree(hive, hive.Child(key, i));
  }
  return out;
}

// Keys out of order are read through the owner's copies rather than the
// mapped text: each must read exactly what the text in memory reads, up to
// the next key line and no further.
TEST(WineHive, KeysOutOfOrderReadThroughCopiesReadAlike) {
  // Wine's own hive with its keys in reverse order.
  std::string reversed = kHeader;
  {
    const std::string wine = kWineSystemReg;
    std::vector<std::string> blocks;
    for (std::size_t at = wine.find("\n["); at != std::string::npos;) {
      std::size_t next = wine.find("\n[", at + 1);
      blocks.push_back(
          wine.substr(at + 1, next == std::string::npos ? std::string::npos : next - at));
      at = next;
    }
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) reversed += *it + "\n";
  }
  struct {
    const char* what;
    std::string keys;
  } cases[] = {
      {"Wine's hive reversed", reversed},
      {"a key listed twice",
       "[B] 2\n\"v\"=\"b\"\n[A] 1\n\"v\"=\"a\"\n[a] 3\n#time=1dd872b64f7702e\n\"w\"=dword:1\n"},
      {"a hex value takes a [ line",
       "[Z] 1\n\"h\"=hex:01,\\\n[Y] 5\n\"v\"=\"z\"\n[Y] 6\n\"v\"=\"y\"\n"},
      {"escaped names",
       "[L\\\\b\\x00e9] 1\n\"v\"=\"1\"\n[L\\\\a] 2\n\"v\"=\"2\"\n[L\\\\\\xc9] 3\n"},
      {"blanks before [, an unmade key",
       "  [Q] 7\n\"v\"=\"q\"\n [P\n\"x\"=\"lost\"\n[P] 1\n\"v\"=\"p\"\n"},
      {"CR LF, a cut last line", "[D] 1\r\n\"v\"=\"d\"\r\n[C] 2\r\n@=\"c\"\r\n[B] 4\r\n\"v\"=\"cu"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = kHeader + c.keys;
    auto owner = std::make_shared<const std::string>(text);
    std::size_t copies = 0;
    auto read = [&](std::size_t begin, std::size_t end, char* out) {
      EXPECT_LT(begin, end);
      EXPECT_LE(end, text.size());
      ++copies;
      text.copy(out, end - begin, begin);
      return end - begin;
    };
    auto copied = WineHive::Parse(
        *owner, owner, [](std::size_t, std::size_t) {}, read);
    auto kept = WineHive::Parse(text);
    ASSERT_NE(nullptr, copied);
    ASSERT_NE(nullptr, kept);
    ASSERT_TRUE(copied->KeysOutOfOrder());
    EXPECT_EQ(DescribeTree(*kept, WineHive::kRoot), DescribeTree(*copied, WineHive::kRoot));
    EXPECT_GT(copies, 0u);
  }
}

// What Wine accepts when it loads a hive, beyond what it writes.
TEST(WineHive, ReadsValueSyntaxWineAccepts) {
  struct {
    const char* what;
    std::string body;
    std::uint32_t type;
    std::string delivered;
  } cases[] = {
      {"CR LF line ends", "[K] 1\r\n\"a\"=\"x\"\r\n", kRegSz, "x\0"s},
      {"str: prefix", "[K] 1\n\"a\"=str:\"x\"\n", kRegSz, "x\0"s},
      {"blanks around =", "[K] 1\n  \"a\" =  dword:1\n", kRegDword, "\x01\0\0\0"s},
      {"hex(2) data is UTF-16", "[K] 1\n\"a\"=hex(2):41,00,e9,00,00,00\n", kRegExpandSz, "Aé\0"s},
      {"hex type in capitals", "[K] 1\n\"a\"=hex(B):0A,0b\n", kRegQword, "\x0a\x0b"},
      {"\\x without digits", "[K] 1\n\"a\"=\"\\xz\"\n", kRegSz, "xz\0"s},
      {"lone surrogate", "[K] 1\n\"a\"=\"\\xd800\"\n", kRegSz, "\xed\xa0\x80\0"s},
      {"raw UTF-8", "[K] 1\n\"a\"=\"\xc3\xa9\"\n", kRegSz, "é\0"s},
      {"a byte that is not UTF-8 is dropped", "[K] 1\n\"a\"=\"x\xe9y\"\n", kRegSz, "xy\0"s},
      {"anything after the closing quote", "[K] 1\n\"a\"=\"x\" ;c\n", kRegSz, "x\0"s},
      {"dword with a blank", "[K] 1\n\"a\"=dword: 00000010\n", kRegDword, "\x10\0\0\0"s},
      {"dword with 0x", "[K] 1\n\"a\"=dword:0x10\n", kRegDword, "\x10\0\0\0"s},
      {"dword and a comment", "[K] 1\n\"a\"=dword:10 ;c\n", kRegDword, "\x10\0\0\0"s},
      {"dword of nine digits", "[K] 1\n\"a\"=dword:123456789\n", kRegDword, "\x89\x67\x45\x23"s},
      {"dword without digits", "[K] 1\n\"a\"=dword:\n", kRegDword, "\0\0\0\0"s},
      {"type in capitals is no type", "[K] 1\n\"a\"=DWORD:1\n", kRegNone, ""},
      {"hex byte over FF", "[K] 1\n\"a\"=hex:01,100\n", kRegNone, ""},
      {"later line wins", "[K] 1\n\"a\"=\"1\"\n\"A\"=\"2\"\n", kRegSz, "2\0"s},
      {"key listed twice", "[K] 1\n\"b\"=\"1\"\n[k] 2\n\"a\"=\"2\"\n", kRegSz, "2\0"s},
      {"bad value line skipped", "[K] 1\n\"a\"=bogus:1\n\"a\"=\"ok\"\n", kRegSz, "ok\0"s},
      {"bad data after good", "[K] 1\n\"a\"=\"ok\"\n\"A\"=bogus:1\n", kRegNone, ""},
      {"no = after good", "[K] 1\n\"a\"=\"ok\"\n\"A\" bogus\n", kRegSz, "ok\0"s},
      {"continued over lines", "[K] 1\n\"a\"=hex:01,\\\n  02,\\\n\t03\n", kRegBinary,
       "\x01\x02\x03"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto hive = WineHive::Parse(kHeader + c.body);
    ASSERT_NE(nullptr, hive);
    WineHive::KeyId key;
    ASSERT_TRUE(Walk(*hive, "K", &key));
    const WineHiveValue* value = hive->FindValue(key, "a");
    ASSERT_NE(nullptr, value);
    EXPECT_EQ(c.type, value->type);
    EXPECT_EQ(c.delivered, DeliveredData(*value));
  }
}

TEST(WineHive, ReadsKeyPathsAsWineDoes) {
  struct {
    const char* what;
    std::string body;
    const char* path;
    std::vector<std::string> children;
  } cases[] = {
      {"escaped brackets", "[A\\\\\\[x\\]] 1\n", "A", {"[x]"}},
      {"runs of backslashes", "[A\\\\\\\\B\\\\] 1\n", "A", {"B"}},
      {"backslash as \\x005c", "[A\\x005cB] 1\n", "A", {"B"}},
      {"non-ASCII by escape", "[A\\\\\\x4e2d\\xe9] 1\n", "A", {"中é"}},
      {"lines out of order",
       "[A\\\\b] 1\n[A\\\\C] 1\n[A\\\\a] 1\n[A\\\\B] 1\n",
       "A",
       {"a", "b", "C"}},
      // Each lone surrogate is a unit of its own, sorting before U+E000.
      {"lone surrogates stay apart",
       "[A\\\\\\xe000] 1\n[A\\\\\\xd801] 1\n[A\\\\\\xd800] 1\n[A\\\\\\xdc00] 1\n",
       "A",
       {"\xed\xa0\x80", "\xed\xa0\x81", "\xed\xb0\x80", "\xee\x80\x80"}},
      {"an empty path is the root", "[] 1\n\"v\"=\"x\"\n[A\\\\B] 1\n", "", {"A"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto hive = WineHive::Parse(kHeader + c.body);
    ASSERT_NE(nullptr, hive);
    WineHive::KeyId key;
    ASSERT_TRUE(Walk(*hive, c.path, &key));
    EXPECT_EQ(c.children, Children(*hive, key));
  }
}

TEST(WineHive, RefusesWhatIsNotAHive) {
  struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"cut in the header", "WINE REGISTRY Vers"},
      {"other version", "WINE REGISTRY Version 1\n[K] 1\n"},
      {"exported .reg file", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n"},
      {"binary",
       "\x7f"
       "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\n"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(nullptr, WineHive::Parse(c.text));
  }
  EXPECT_NE(nullptr, WineHive::Parse(kHeader)) << "an empty hive is a hive";
}

// Damage after the header costs what the wine server drops, no more: the
// key K's values as Describe gives them, "-" when there is no key K.
TEST(WineHive, ReadsADamagedHiveAsWineDoes) {
  struct {
    const char* what;
    std::string body;
    std::string k_values;
  } cases[] = {
      {"header without its line end", "", "-"},
      {"cut in a line", "[K] 1\n\"b\"=\"y\"\n\"a\"=\"x", "a|0|;b|1|y\0\0\0;"s},
      {"cut in a continued value", "[K] 1\n\"a\"=hex:01,\\\n", "a|0|;"},
      {"NUL byte ends its line", "[K] 1\n\"a\"=\"x\0\"\n\"b\"=\"y\"\n"s, "a|0|;b|1|y\0\0\0;"s},
      {"stray line", "[K] 1\ngarbage\n\"a\"=\"x\"\n", "a|1|x\0\0\0;"s},
      {"value before any key", "\"a\"=\"x\"\n[K] 1\n", ""},
      {"key line without ]", "[K 1\n\"a\"=\"x\"\n", "-"},
      {"values after a bad key line", "[K] 1\n[K 1\n\"a\"=\"x\"\n", ""},
      {"key path with a leading backslash", "[\\\\K] 1\n\"a\"=\"x\"\n", "a|1|x\0\0\0;"s},
      {"key name of 257 characters", "[K] 1\n[K\\\\" + std::string(257, 'n') + "] 1\n\"a\"=\"x\"\n",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto hive = WineHive::Parse(std::string(c.what) == "header without its line end"
                                    ? "WINE REGISTRY Version 2"
                                    : kHeader + c.body);
    ASSERT_NE(nullptr, hive);
    WineHive::KeyId key;
    if (c.k_values == "-") {
      EXPECT_FALSE(Walk(*hive, "K", &key));
      continue;
    }
    ASSERT_TRUE(Walk(*hive, "K", &key));
    EXPECT_EQ(c.k_values, Describe(hive->Values(key)));
    EXPECT_EQ(0u, hive->ChildCount(key));
  }
}

// A link whose target's names are links again, each leading through more
// links: 13 deep (within the 16 the server allows) and 6 wide is 6^12
// links to follow, which the server would follow for hours. Opening it and
// a key line through it give up instead.
TEST(WineHive, ATreeOfLinksIsGivenUpNotFollowedForEver) {
  auto link_to = [](const std::string& path) { return LinkLines("\\Registry\\Machine\\" + path); };
  std::string text = kHeader + "[T] 1\n"s;
  for (int i = 1; i <= 13; ++i) {
    std::string target = "T";
    for (int k = 0; i < 13 && k < 6; ++k) target += "\\L" + std::to_string(i + 1);
    text += "[T\\\\L" + std::to_string(i) + "] 1\n" + link_to(target);
  }
  text += "[D] 1\n" + link_to("T\\L1") + "[D\\\\X] 1\n\"a\"=\"x\"\n";
  auto hive = WineHive::Parse(text);
  ASSERT_NE(nullptr, hive);
  WineHive::KeyId key, target;
  ASSERT_TRUE(Walk(*hive, "D", &key));
  EXPECT_EQ(WineHive::Link::kTooDeep, hive->Follow(key, &target));
  EXPECT_EQ(0u, hive->ChildCount(key));
}

// A link's target is a path of the server's object namespace: "Registry"
// is one object of its root, taken with one backslash after it, and the
// registry's root key is a target too, though no key line went there.
TEST(WineHive, LinkTargetsAreLookedUpAsTheServerDoes) {
  enum Lands { kNoKey, kKeyA, kMachine, kRegistryRoot };
  const struct {
    const char* target;
    WineHive::Link link;
    Lands lands;
  } kCases[] = {
      {"\\Registry\\Machine\\A", WineHive::Link::kFollowed, kKeyA},
      {"\\REGISTRY\\machine\\\\A\\\\", WineHive::Link::kFollowed, kKeyA},
      {"\\Registry\\Machine", WineHive::Link::kFollowed, kMachine},
      {"\\Registry", WineHive::Link::kFollowed, kRegistryRoot},
      {"\\Registry\\", WineHive::Link::kFollowed, kRegistryRoot},
      {"\\Registry\\\\\\", WineHive::Link::kFollowed, kRegistryRoot},
      {"\\Registry\\\\Machine\\A", WineHive::Link::kNowhere, kNoKey},
      {"Registry\\Machine\\A", WineHive::Link::kNowhere, kNoKey},
      {"\\Other", WineHive::Link::kNowhere, kNoKey},
      {"\\Other\\Machine\\A", WineHive::Link::kNoPath, kNoKey},
      {"\\", WineHive::Link::kBadName, kNoKey},
      {"\\\\Registry\\Machine\\A", WineHive::Link::kBadName, kNoKey},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.target);
    auto hive = WineHive::Parse(kHeader + "[A] 1\n\"a\"=\"x\"\n[L] 1\n"s + LinkLines(c.target));
    ASSERT_NE(nullptr, hive);
    WineHive::KeyId link, a, target = WineHive::kRoot;
    ASSERT_TRUE(Walk(*hive, "L", &link));
    ASSERT_TRUE(Walk(*hive, "A", &a));
    EXPECT_EQ(c.link, hive->Follow(link, &target));
    if (c.lands == kKeyA) {
      EXPECT_EQ(a, target);
    } else if (c.lands == kMachine) {
      EXPECT_EQ(WineHive::kRoot, target);
    } else if (c.lands == kRegistryRoot) {
      EXPECT_NE(WineHive::kRoot, target);
      EXPECT_NE(link, target);
      EXPECT_TRUE(hive->Values(target).empty());
      EXPECT_EQ(0u, hive->ChildCount(target));
    }
  }
}

// Every prefix of a real hive, as an editor saving it in place leaves it
// for a moment: read as far as it goes, and reading all of it must not fault.
TEST(WineHive, EveryCutOfARealHiveIsReadable) {
  const std::string text = kWineSystemReg;
  for (std::size_t size = 0; size < text.size(); ++size) {
    auto hive = WineHive::Parse(text.substr(0, size));
    if (size + 2 < sizeof(kHeader)) {  // the header line, its line end not needed
      EXPECT_EQ(nullptr, hive) << size;
      continue;
    }
    ASSERT_NE(nullptr, hive) << size;
    std::vector<WineHive::KeyId> pending = {WineHive::kRoot};
    while (!pending.empty()) {
      WineHive::KeyId key = pending.back();
      pending.pop_back();
      for (const WineHiveValue& value : hive->Values(key)) DeliveredData(value);
      for (std::size_t i = 0; i < hive->ChildCount(key); ++i)
        pending.push_back(hive->Child(key, i));
    }
  }
}

TEST(Utf16ToUtf8, ConvertsAsTheWindowsBuildReadsTexts) {
  struct {
    const char* what;
    std::string utf16le;
    std::string utf8;
  } cases[] = {
      {"ASCII and NUL", "a\0\0\0"s, "a\0"s},
      {"two and three bytes", "\xe9\0\x2d\x4e"s, "é中"},
      {"surrogate pair", "\x3d\xd8\x00\xde"s, "😀"},
      {"lone high surrogate",
       "\x3d\xd8"
       "a\0"s,
       "\xed\xa0\xbd"
       "a"},
      {"lone low surrogate", "\x00\xde"s, "\xed\xb8\x80"},
      {"odd last byte dropped", "a\0b"s, "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.utf8, Utf16ToUtf8(c.utf16le));
  }
}

}  // namespace
}  // namespace tallyweb
