// The download list end to end: real registry data in the prefix's 32-bit
// view, read by Tallyweb.exe under Wine and by the native build from the
// same prefix's hive.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"

namespace tallyweb::e2e {
namespace {

const char kEveryPlaceholder[] = "{\r\n&Name|&URL|&Out|&DOut|&Size|&Discr\r\n}\r\n";

void PlantValues() {
  PlantDownloadList({
      {"X",
       {Text("Item_MainURL", "http://h/get?id=1&Size=2"),
        Text("Item_OutputFilename", "C:\\Downloads\\a b.zip"), Dword("Item_Size", 0xFFFFFFFF),
        ExpandText("Item_Description", "%TEMP%\\<b>x</b>")}},
      {"Y", {Dword("Item_Size", 0x80000000)}},
      {"Z",
       {Dword("Item_Size", 0x7FFFFFFF),
        Hex("Item_Description", 1, std::string("line1\nline2\0", 12))}},
  });
}

// Values are inserted as stored, nothing expanded or converted, with only
// the bytes that HTML gives a meaning escaped.
const char kValuesReport[] =
    "X|http://h/get?id=1&amp;Size=2|C:\\Downloads\\a b.zip|file://C:\\Downloads\\|-1|"
    "%TEMP%\\&lt;b&gt;x&lt;/b&gt;\r\n"
    "Y|||file://|-2147483648|\r\n"
    "Z|||file://|2147483647|line1\nline2\r\n";

// A template whose head and first block come to 296 bytes, so a failure on
// the second item leaves exactly the first 256 in the file.
const std::string kPartialTemplate = std::string(100, 'h') + "\r\n{\r\n&Name:&URL\r\n}\r\ntail\r\n";
const std::string kFirstItemUrl(190, 'u');
const std::string kPartialReport =
    (std::string(100, 'h') + "\r\na:" + kFirstItemUrl + "\r\n").substr(0, 256);

void PlantSecondItemFailing(const std::string& bad_value) {
  PlantDownloadList({{"a", {Text("Item_MainURL", kFirstItemUrl), Dword("Item_Size", 1)}},
                     {"b", {Text("Item_OutputFilename", "C:\\b.zip"), bad_value}}});
}

class DownloadList : public ::testing::Test {
 protected:
  void SetUp() override { SetHtmHandler(true); }
};

TEST_F(DownloadList, EachValueReachesTheReportAsStored) {
  PlantValues();
  ProgramFolder folder(Build::kWindows);
  folder.WriteTemplate(kEveryPlaceholder);

  RunOutcome run = folder.Run();

  EXPECT_EQ(0, run.exit_code) << run.stderr_text;
  EXPECT_EQ(kValuesReport, run.report);
  EXPECT_EQ(std::vector<std::string>{folder.ReportPath()}, run.shell.args);
}

TEST_F(DownloadList, ItemsComeInTheRegistrysOrder) {
  // The registry lists subkeys by name, ignoring case, not by creation.
  PlantDownloadList({{"b", {Dword("Item_Size", 2)}},
                     {"A", {Dword("Item_Size", 1)}},
                     {"c", {Dword("Item_Size", 3)}}});
  ProgramFolder folder(Build::kWindows);
  folder.WriteTemplate("{\r\n&Name=&Size\r\n}\r\n");

  RunOutcome run = folder.Run();

  EXPECT_EQ(0, run.exit_code) << run.stderr_text;
  EXPECT_EQ("A=1\r\nb=2\r\nc=3\r\n", run.report);
}

// Text values of no bytes read as empty whatever their type, and a REG_DWORD
// shorter than 4 bytes fills only the low bytes of the size.
TEST_F(DownloadList, ShortValuesReadAsEmptyOrTheirOwnBytes) {
  PlantDownloadList({{"X",
                      {Hex("Item_MainURL", 3, ""), Hex("Item_OutputFilename", 0, ""),
                       Hex("Item_Size", 4, "\x01\x02"), Text("Item_Description", "")}}});
  ProgramFolder folder(Build::kWindows);
  folder.WriteTemplate(kEveryPlaceholder);

  RunOutcome run = folder.Run();

  EXPECT_EQ(0, run.exit_code) << run.stderr_text;
  EXPECT_EQ("X|||file://|513|\r\n", run.report);
}

// An item that cannot be read ends the run in the box, after the earlier
// items' whole 128-byte blocks reached the file; the shell is not asked.
TEST_F(DownloadList, UnreadableItemStopsTheRunMidList) {
  struct {
    const char* name;
    std::string bad_value;
    std::string message;
  } cases[] = {
      {"Item_Size missing", Text("Item_Description", "d"), "Failed to get data for 'Item_Size'."},
      {"Item_Size as 4-byte REG_BINARY", Hex("Item_Size", 3, std::string(4, '\x01')),
       "Invalid data type for 'Item_Size'."},
      {"Item_Size as REG_QWORD", Hex("Item_Size", 11, std::string(8, '\x01')),
       "Failed to get data for 'Item_Size'."},
      {"Item_MainURL as REG_DWORD", Dword("Item_MainURL", 7),
       "Invalid data type for 'Item_MainURL'."},
      // The ANSI read decides by the converted length whether the 4-byte
      // buffer holds the data: refused past 4 bytes, the wrong type within.
      {"Item_Size as REG_SZ of two digits and a NUL", Hex("Item_Size", 1, std::string("12\0", 3)),
       "Invalid data type for 'Item_Size'."},
      {"Item_Size as REG_SZ of four digits and a NUL",
       Hex("Item_Size", 1, std::string("1234\0", 5)), "Failed to get data for 'Item_Size'."},
      {"Item_Size as REG_NONE of no bytes", Hex("Item_Size", 0, ""),
       "Invalid data type for 'Item_Size'."},
      {"Item_MainURL as REG_MULTI_SZ", Hex("Item_MainURL", 7, std::string("a\0b\0\0", 5)),
       "Invalid data type for 'Item_MainURL'."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlantSecondItemFailing(c.bad_value);
    ProgramFolder folder(Build::kWindows);
    folder.WriteTemplate(kPartialTemplate);

    RunOutcome run = folder.Run();

    EXPECT_EQ(1, run.exit_code) << run.stderr_text;
    ASSERT_EQ(1u, run.boxes.size()) << run.stderr_text;
    EXPECT_TRUE(
        IsFailureText(run.boxes[0].text, "ERegistryException", "Tallyweb\\.exe", c.message));
    EXPECT_EQ(kPartialReport, run.report);
    EXPECT_FALSE(run.shell.asked);
  }
}

// Downloads named and described in any script. The report stays in code
// page 1252: what it has is written as its bytes, and every other character
// as a reference to its code point, one each; an unpaired surrogate as
// U+FFFD's. The native build writes the same in UTF-8, where only the
// surrogate needs its reference.
TEST_F(DownloadList, EveryScriptReachesTheReport) {
  PlantDownloadList(
      {{"annual.pdf", {Dword("Item_Size", 1)}},
       {"отчёт.pdf",
        {Text("Item_OutputFilename", "C:\\Загрузки\\отчёт.pdf"), Dword("Item_Size", 2),
         Text("Item_Description", "下载 📦 ł é €")}},
       {"zeta.zip", {Dword("Item_Size", 3)}},
       // An emoji and a private-use character; a surrogate without its pair
       // and an odd last byte, stored as they are.
       {"📦\uE000.zip",
        {Dword("Item_Size", 4), Hex("Item_Description", 1, std::string("d\0\x00\xD8!", 5))}}},
      Encoding::kUtf16);
  ProgramFolder windows(Build::kWindows);
  ProgramFolder native(Build::kNative);
  windows.WriteTemplate(kEveryPlaceholder);
  native.WriteTemplate(kEveryPlaceholder);

  RunOutcome on_windows = windows.Run();
  RunOutcome on_linux = native.Run();

  const std::string otchet = "&#1086;&#1090;&#1095;&#1105;&#1090;";
  const std::string downloads = "&#1047;&#1072;&#1075;&#1088;&#1091;&#1079;&#1082;&#1080;";
  EXPECT_EQ(0, on_windows.exit_code) << on_windows.stderr_text;
  EXPECT_EQ(
      "annual.pdf|||file://|1|\r\n"
      "zeta.zip|||file://|3|\r\n" +
          otchet + ".pdf||C:\\" + downloads + "\\" + otchet + ".pdf|file://C:\\" + downloads +
          "\\|2|&#19979;&#36733; &#128230; &#322; \xE9 \x80\r\n"
          "&#128230;&#57344;.zip|||file://|4|d&#65533;\r\n",
      on_windows.report);
  EXPECT_EQ(std::vector<std::string>{windows.ReportPath()}, on_windows.shell.args);
  // Natively the folder link names the Linux folder that C: maps to.
  const std::string drive_c =
      std::filesystem::canonical(std::string(TALLYWEB_E2E_PREFIX) + "/drive_c").string();
  EXPECT_EQ(0, on_linux.exit_code) << on_linux.stderr_text;
  EXPECT_EQ(
      "annual.pdf|||file://|1|\r\n"
      "zeta.zip|||file://|3|\r\n"
      "отчёт.pdf||C:\\Загрузки\\отчёт.pdf|file://" +
          drive_c +
          "/%D0%97%D0%B0%D0%B3%D1%80%D1%83%D0%B7%D0%BA%D0%B8/|2|下载 📦 ł é €\r\n"
          "📦\uE000.zip|||file://|4|d&#65533;\r\n",
      on_linux.report);
}

// In a double-byte code page (932, which Wine takes from a Japanese locale)
// the report holds its two-byte characters, a second byte 0x5C included, and
// references for the rest; the folder link still ends at the real backslash.
// A private-use character, to which the code page gives a byte browsers
// reject (U+F8F0 is A0 there), goes as its reference too.
TEST_F(DownloadList, DoubleByteCodePageUnderWine) {
  PlantDownloadList(
      {{"zeta.zip", {Dword("Item_Size", 1)}},
       {"отчёт.pdf", {Dword("Item_Size", 2), Text("Item_Description", "下载 📦 ł é € \uF8F0")}},
       {"表示.txt", {Text("Item_OutputFilename", "C:\\表\\表.txt"), Dword("Item_Size", 3)}}},
      Encoding::kUtf16);
  ProgramFolder folder(Build::kWindows);
  folder.WriteTemplate(kEveryPlaceholder);

  RunOutcome run = folder.Run({"LC_ALL=ja_JP.UTF-8"});

  EXPECT_EQ(0, run.exit_code) << run.stderr_text;
  EXPECT_EQ(
      "zeta.zip|||file://|1|\r\n"
      "\x84\x80\x84\x84\x84\x89\x84\x76\x84\x84.pdf|||file://|2|"
      "\x89\xBA&#36733; &#128230; &#322; &#233; &#8364; &#63728;\r\n"
      "\x95\x5C\x8E\xA6.txt||C:\\\x95\x5C\\\x95\x5C.txt|file://C:\\\x95\x5C\\|3|\r\n",
      run.report);
  EXPECT_EQ(std::vector<std::string>{folder.ReportPath()}, run.shell.args);
}

// For ASCII data the native build, reading the hive of the very prefix
// Tallyweb.exe ran in, writes the same bytes and ends the same way.
TEST_F(DownloadList, NativeBuildWritesTheSameReportAsWindows) {
  struct {
    const char* name;
    std::function<void()> plant;
    std::string template_bytes;
    int exit_code;
  } cases[] = {
      {"missing list key", RemoveDownloadList, "A\r\n{\r\n&Name\r\n}\r\nC\r\n", 0},
      {"empty list key", [] { PlantDownloadList({}); }, "A\r\n{\r\n&Name\r\n}\r\nC\r\n", 0},
      {"every kind of value", PlantValues, kEveryPlaceholder, 0},
      {"registry order",
       [] {
         PlantDownloadList({{"b", {Dword("Item_Size", 2)}}, {"A", {Dword("Item_Size", 1)}}});
       },
       "{\r\n&Name\r\n}\r\n", 0},
      {"second item without Item_Size",
       [] { PlantSecondItemFailing(Text("Item_Description", "d")); }, kPartialTemplate, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.plant();
    ProgramFolder windows(Build::kWindows);
    ProgramFolder native(Build::kNative);
    windows.WriteTemplate(c.template_bytes);
    native.WriteTemplate(c.template_bytes);

    RunOutcome on_windows = windows.Run();
    RunOutcome on_linux = native.Run();

    EXPECT_EQ(c.exit_code, on_windows.exit_code) << on_windows.stderr_text;
    EXPECT_EQ(c.exit_code, on_linux.exit_code) << on_linux.stderr_text;
    ASSERT_TRUE(on_windows.report_exists);
    // The one difference: natively the folder link names the Linux folder
    // the prefix maps C: to.
    std::string want = on_windows.report;
    const std::string windows_link = "file://C:\\Downloads\\";
    if (want.find(windows_link) != std::string::npos) {
      const std::string drive_c =
          std::filesystem::canonical(std::string(TALLYWEB_E2E_PREFIX) + "/drive_c").string();
      want.replace(want.find(windows_link), windows_link.size(),
                   "file://" + drive_c + "/Downloads/");
    }
    EXPECT_EQ(want, on_linux.report);
    if (c.exit_code == 0) {
      EXPECT_EQ(std::vector<std::string>{native.ReportPath()}, on_linux.shell.args);
    } else {
      EXPECT_FALSE(on_linux.shell.asked);
    }
  }
}

}  // namespace
}  // namespace tallyweb::e2e
