#include "report/report_template.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "failure/failure_kinds.h"
#include "testing/fake_folder_links.h"
#include "testing/fake_os_calls.h"
#include "text/string_list.h"

namespace tallyweb {
namespace {

constexpr char kTemplatePath[] = "C:\\Tools\\template.txt";

// The lines of `text` as the run takes them, one at a time.
TStringList LinesOf(std::string_view text) {
  TStringList lines;
  while (!text.empty()) lines.emplace_back(TakeLine(text));
  return lines;
}

// The lines of template bytes as loaded: kept in one buffer, then taken.
TStringList TemplateLines(const std::string& bytes) {
  std::unique_ptr<char[]> buffer(new char[bytes.size()]);
  std::memcpy(buffer.get(), bytes.data(), bytes.size());
  return LinesOf(TemplateText(std::move(buffer), bytes.size()).text());
}

// A block line expanded as the run writes it, its pieces joined.
std::string Expanded(std::string_view line, const TDownloadItem& item, const SystemFacts& facts,
                     FolderLinks& links) {
  std::string out;
  ExpandLineTo(line, item, facts, links, [&out](std::string_view piece) { out.append(piece); });
  return out;
}

// The same where every folder is linked in its Windows form.
std::string Expanded(std::string_view line, const TDownloadItem& item, const SystemFacts& facts) {
  FakeFolderLinks windows_form;
  return Expanded(line, item, facts, windows_form);
}

TEST(TemplateLines, LineEndsAndTheFirstNul) {
  struct {
    const char* name;
    std::string bytes;
    TStringList want;
  } cases[] = {
      {"empty file", "", {}},
      {"CR LF", "a\r\nb\r\n", {"a", "b"}},
      {"lone CR", "a\rb\r", {"a", "b"}},
      {"lone LF", "a\nb\n", {"a", "b"}},
      {"LF CR ends a line, then an empty one", "a\n\rb", {"a", "", "b"}},
      {"last line without a line end", "a\r\nb", {"a", "b"}},
      {"final line end adds no line", "a\r\n", {"a"}},
      {"line end alone", "\r\n", {""}},
      {"mixed", "A\r\n\rB\n\n", {"A", "", "B", ""}},
      {"NUL stops the text", std::string("A\r\n\rB\0\nC\n", 9), {"A", "", "B"}},
      {"NUL first", std::string("\0A", 2), {}},
      {"NUL right after a line end", std::string("A\r\n\0B", 5), {"A"}},
      {"byte-order mark stays", "\xEF\xBB\xBF{x\r\n", {"\xEF\xBB\xBF{x"}},
      {"blanks, tabs and high bytes stay", " \ta \xE9\t \r\n", {" \ta \xE9\t "}},
      {"equal lines all stay", "x\nx\nx", {"x", "x", "x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, TemplateLines(c.bytes));
  }
}

TEST(LoadTemplateText, ReadsTheWholeFileAndClosesIt) {
  FakeOsCalls os;
  os.files[kTemplatePath] = "<html>\r\n{\r\n&Name\r\n}\r\n</html>\r\n";
  EXPECT_EQ((TStringList{"<html>", "{", "&Name", "}", "</html>"}),
            LinesOf(LoadTemplateText(os, kTemplatePath).text()));
  EXPECT_EQ(1u, os.closes.size());
  EXPECT_EQ(0u, os.OpenHandleCount());
}

TEST(LoadTemplateText, LinesEndWhereAShortReadEnded) {
  FakeOsCalls os;
  os.files[kTemplatePath] = "ab\r\ncd\r\nef";
  os.read_limit = 5;
  EXPECT_EQ((TStringList{"ab", "c"}), LinesOf(LoadTemplateText(os, kTemplatePath).text()));
  EXPECT_EQ(0u, os.OpenHandleCount());
}

TEST(LoadTemplateText, MissingFileRaisesEFOpenErrorWithThePathGiven) {
  FakeOsCalls os;
  const std::string path = "C:\\Program Files\\Tw\\template.txt";
  try {
    LoadTemplateText(os, path);
    ADD_FAILURE() << "no failure raised";
  } catch (const EFOpenError& e) {
    EXPECT_EQ("Cannot open file C:\\Program Files\\Tw\\template.txt", e.Message());
    EXPECT_STREQ("EFOpenError", e.ClassName());
  }
  EXPECT_TRUE(os.closes.empty());
}

// A size no memory can hold fails at the allocation, which becomes the
// out-of-memory failure once failure reporting is armed; the file is given
// back on the way out.
TEST(LoadTemplateText, TemplateTooBigForMemoryFailsAndClosesTheFile) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer aborts on impossible allocations";
#endif
  FakeOsCalls os;
  os.files[kTemplatePath] = "a";
  os.size_override = std::uint64_t{1} << 62;
  bool failed = false;
  try {
    LoadTemplateText(os, kTemplatePath);
  } catch (const std::bad_alloc&) {
    failed = true;
  } catch (const EOutOfMemory&) {
    failed = true;
  }
  EXPECT_TRUE(failed);
  EXPECT_EQ(1u, os.closes.size());
  EXPECT_EQ(0u, os.OpenHandleCount());
}

// Each row gives the template's lines and the indices of its markers; the
// parts must hold exactly the lines, line ends included, that the indices
// give the head (before open), the block (between) and the tail (after close).
TEST(DivideTemplate, LastMarkerOfEachKindWins) {
  struct {
    const char* name;
    TStringList lines;
    std::ptrdiff_t open;
    std::ptrdiff_t close;
  } cases[] = {
      {"no markers", {"a", "b"}, 0, 0},
      {"empty template", {}, 0, 0},
      {"open then close", {"a", "{", "b", "}", "c"}, 1, 3},
      {"open at index 0", {"{x", "b", "}"}, 0, 2},
      {"close before open", {"a", "}", "b", "{", "c"}, 3, 1},
      {"only a close at the start", {"}", "a"}, 0, 0},
      {"repeated markers: the later wins", {"{", "a", "{", "}", "b", "}"}, 2, 5},
      {"blank before the brace is no marker", {" {", "\t}"}, 0, 0},
      {"byte-order mark before the brace is no marker", {"\xEF\xBB\xBF{"}, 0, 0},
      {"empty lines are skipped", {"", "{", "", "}"}, 1, 3},
      {"rest of the marker line is anything", {"a", "{ &Name }", "}{"}, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto joined = [&c](std::ptrdiff_t first, std::ptrdiff_t end) {
      std::string text;
      for (std::ptrdiff_t i = first; i < end; ++i) text += c.lines[i] + "\r\n";
      return text;
    };
    const std::string text = joined(0, static_cast<std::ptrdiff_t>(c.lines.size()));
    const TemplateParts parts = DivideTemplate(text);
    EXPECT_EQ(joined(0, c.open), parts.head);
    EXPECT_EQ(joined(c.open + 1, c.close), parts.block);
    EXPECT_EQ(joined(c.close + 1, static_cast<std::ptrdiff_t>(c.lines.size())), parts.tail);
  }
}

TDownloadItem SampleItem(std::int32_t size) {
  TDownloadItem item;
  item.KeyName = "7";
  item.MainUrl = "ftp://h/x.zip";
  item.OutputFilename = "C:\\D\\a.zip";
  item.Size = size;
  return item;
}

TEST(ExpandLineTo, ReplacesEachPlaceholderByItsValue) {
  struct {
    const char* line;
    std::int32_t size;
    const char* want;
  } cases[] = {
      {"<A HREF='&URL'>&Name</A>", 1, "<A HREF='ftp://h/x.zip'>7</A>"},
      {"&Out &DOut", 1, "C:\\D\\a.zip file://C:\\D\\"},
      {"&Size bytes", -5, "-5 bytes"},
      {"&Size&Size", 0, "00"},
      {"[&Discr]", 1, "[]"},
      {"&name &NAME", 1, "&name &NAME"},
      {"&Size", 2147483647, "2147483647"},
      {"&Size", -2147483647 - 1, "-2147483648"},
      {"no placeholder & lone ampersands &", 1, "no placeholder & lone ampersands &"},
      {"&", 1, "&"},
      {"&Nam", 1, "&Nam"},
      {"", 1, ""},
      {"&&Name&", 1, "&7&"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.want, Expanded(c.line, SampleItem(c.size), SystemFacts{}));
  }
}

TEST(ExpandLineTo, DOutIsTheFolderOfTheOutputFileAsALink) {
  struct {
    const char* output;
    const char* want;
  } cases[] = {
      {"C:\\D\\a.zip", "file://C:\\D\\"},
      {"C:a.zip", "file://C:"},
      {"a.zip", "file://"},
      {"", "file://"},
      {"\\\\srv\\share\\a.zip", "file://\\\\srv\\share\\"},
      // "#" would start a fragment and "%" an escape: both are escaped as URL
      // bytes first, then the link is escaped for HTML like any value.
      {"C:\\Mix #3\\100% & more\\it's.zip", "file://C:\\Mix %233\\100%25 &amp; more\\"},
      {"C:\\%23#\\a.zip", "file://C:\\%2523%23\\"},
      {"C:\\a<\"'>\\b#%.zip", "file://C:\\a&lt;&quot;&#39;&gt;\\"},
      // On a single-byte system 0x5C after 0x95 is a backslash of its own.
      {"C:\\\x95\\a.zip", "file://C:\\\x95\\"},
      // The long-path forms name the folders they stand for.
      {"\\\\?\\C:\\x\\a.zip", "file://C:\\x\\"},
      {"\\\\?\\UNC\\server\\share\\a.zip", "file://\\\\server\\share\\"},
      {"\\\\?\\unc\\server\\a.zip", "file://\\\\server\\"},
      // A hidden character is escaped, so the link still names the folder.
      {"C:\\a\xE2\x80\xAE\xE2\x80\x8B\\b.zip", "file://C:\\a%E2%80%AE%E2%80%8B\\"},
      // A folder the system links elsewhere (natively, its Linux folder)
      // leads there, asked for in its plain form; escaped for HTML.
      {"D:\\Linked\\a.zip", "file:///home/me/Linked%20here/"},
      {"\\\\?\\D:\\Linked\\a.zip", "file:///home/me/Linked%20here/"},
      {"D:\\Linked & more\\a.zip", "file:///home/me/a&amp;b/"},
  };
  FakeFolderLinks links;
  links.urls["D:\\Linked\\"] = "file:///home/me/Linked%20here/";
  links.urls["D:\\Linked & more\\"] = "file:///home/me/a&b/";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    TDownloadItem item;
    item.OutputFilename = c.output;
    EXPECT_EQ(c.want, Expanded("&DOut", item, SystemFacts{}, links));
  }
}

// As code page 1252 has them: no Cyrillic, no CJK, no l with a stroke; and,
// as Wine's table has it, the C1 control U+008D as the byte 8D.
const FakeCodePage kWestern({{"\xC3\xA9", "\xE9"}, {"\xE2\x82\xAC", "\x80"}, {"\xC2\x8D", "\x8D"}});
// As Wine's table for code page 949 has them: a Hangul syllable, and U+0080
// as the byte 80, which the browsers' decoder for 949 rejects.
const FakeCodePage kKorean({{"\xEA\xB0\x80", "\xB0\xA1"}, {"\xC2\x80", "\x80"}});
// A double-byte code page, in which U+8868 ends in the byte of a backslash.
const FakeCodePage kDoubleByte({{"\xE8\xA1\xA8", "\x95\x5C"}, {"\xE4\xB8\x8B", "\x89\xBA"}});

// Values come in UTF-8 and go out in the report's code page: a character it
// has as its bytes there, one it lacks as a reference to its code point.
TEST(ExpandLineTo, ValuesTakeTheReportsCodePage) {
  struct {
    const char* name;
    const CodePage* code_page;
    const char* line;
    const char* value;
    const char* want;
  } cases[] = {
      {"a Cyrillic name", &kWestern, "&Name", "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.pdf",
       "&#1086;&#1090;&#1095;&#1105;&#1090;.pdf"},
      {"CJK, a character beyond 16 bits, no best fit; what the page has stays", &kWestern, "&Discr",
       "\xE4\xB8\x8B\xE8\xBD\xBD \xF0\x9F\x93\xA6 \xC5\x82 \xC3\xA9 \xE2\x82\xAC",
       "&#19979;&#36733; &#128230; &#322; \xE9 \x80"},
      {"every character there", &kWestern, "[&URL]", "\xC3\xA9\xE2\x82\xAC", "[\xE9\x80]"},
      {"an unpaired surrogate", &kWestern, "&Name", "a\xED\xA0\x80z", "a&#65533;z"},
      {"a byte that begins no character", &kWestern, "&Out", "a\xFFz", "a&#65533;z"},
      {"escaped first, and the references left as they are", &kWestern, "&URL",
       "\xC5\x82<&\xC3\xA9", "&#322;&lt;&amp;\xE9"},
      {"double-byte characters and one it lacks", &kDoubleByte, "&Discr",
       "\xE8\xA1\xA8\xE4\xB8\x8B\xE2\x9C\x93", "\x95\x5C\x89\xBA&#10003;"},
      {"the folder is found before its letters turn into bytes", &kDoubleByte, "&DOut",
       "C:\\\xE8\xA1\xA8\\a.zip", "file://C:\\\x95\x5C\\"},
      // No reference stands for a C1 control: "&#128;" shows as the euro sign.
      {"C1 controls, whether the code page has them or not", &kWestern, "&Name",
       "a\xC2\x80\xC2\x9F\xC2\x8D\xC3\xA9", "a&#65533;&#65533;&#65533;\xE9"},
      {"a C1 control the code page has, with nothing it lacks", &kWestern, "&Out",
       "\xC2\x8D\xC3\xA9", "&#65533;\xE9"},
      {"C1 controls in 949, U+0080's byte there included", &kKorean, "&Discr",
       "\xEA\xB0\x80\xC2\x80\xC2\x9F\xC2\x8D", "\xB0\xA1&#65533;&#65533;&#65533;"},
      {"C1 controls in a UTF-8 report", nullptr, "&URL", "\xC2\x80\xC2\x9F\xC2\x8D\xC2\xA0",
       "&#65533;&#65533;&#65533;\xC2\xA0"},
      // Characters that reorder the text or show as nothing become visible
      // tokens, in every text value; joiners only beside ASCII or at an end.
      {"a right-to-left override as a token", &kWestern, "&Name&URL",
       "invoice-\xE2\x80\xAE"
       "fdp.exe",
       "invoice-&#10216;U+202E&#10217;fdp.exeinvoice-&#10216;U+202E&#10217;fdp.exe"},
      {"a zero-width space, a joiner at the end, a tag", nullptr, "&Out",
       "set\xE2\x80\x8Bup\xF3\xA0\x80\x81\xE2\x80\x8D",
       "set\xE2\x9F\xA8U+200B\xE2\x9F\xA9up\xE2\x9F\xA8U+E0001\xE2\x9F\xA9"
       "\xE2\x9F\xA8U+200D\xE2\x9F\xA9"},
      {"a joiner inside an emoji stays", nullptr, "&Discr",
       "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB",
       "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB"},
      {"a UTF-8 report takes values as they are, but for a lone surrogate", nullptr, "&Name&Out",
       "\xD0\xBE\xED\xA0\x80\xED\x9F\xBF\xFF\xED\xBF",
       "\xD0\xBE&#65533;\xED\x9F\xBF\xFF\xED\xBF\xD0\xBE&#65533;\xED\x9F\xBF\xFF\xED\xBF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SystemFacts facts;
    facts.code_page = c.code_page;
    TDownloadItem item;
    item.KeyName = item.MainUrl = item.OutputFilename = item.Description = c.value;
    EXPECT_EQ(c.want, Expanded(c.line, item, facts));
  }
}

// Inserted values are never searched again, so a value that holds or forms a
// placeholder is inserted unchanged and expansion always ends.
TEST(ExpandLineTo, InsertedValuesAreNeverSearchedAgain) {
  struct {
    const char* line;
    const char* url;
    const char* want;
    const char* name = "7";
  } cases[] = {
      {"&&URL", "URLURL&&", "&URLURL&amp;&amp;"},
      {"<a href=\"&URL\">", "http://h/?id=1&Size=2", "<a href=\"http://h/?id=1&amp;Size=2\">"},
      {"&URL", "http://h/?a=&URL", "http://h/?a=&amp;URL"},
      {"&URL|&Discr", "x&Discr", "x&amp;Discr|d"},
      {"&URLSize", "&", "&amp;Size"},
      {"&URL&Name", "&Out", "&amp;Out7"},
      {"&URL", "http://x/?a=1&b=2", "http://x/?a=1&amp;b=2"},
      {"&UR&Name", "", "&URM&amp;Size", "M&Size"},
      {"&URL", "&lt;&#39;", "&amp;lt;&amp;#39;"},
      // Only the folder link has "%" and "#" escaped.
      {"&URL", "http://h/a%20b#c", "http://h/a%20b#c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    TDownloadItem item = SampleItem(3);
    item.KeyName = c.name;
    item.MainUrl = c.url;
    item.Description = "d";
    EXPECT_EQ(c.want, Expanded(c.line, item, SystemFacts{}));
  }
}

// Each of the five HTML bytes, twice, in each text value; the size, being a
// number, has none.
TEST(ExpandLineTo, EscapesTheFiveHtmlBytesOfEveryTextValue) {
  const struct {
    char byte;
    const char* entity;
  } bytes[] = {{'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}, {'\'', "&#39;"}};
  const struct {
    const char* placeholder;
    std::string TDownloadItem::*field;
  } values[] = {
      {"&Name", &TDownloadItem::KeyName},       {"&URL", &TDownloadItem::MainUrl},
      {"&Out", &TDownloadItem::OutputFilename}, {"&DOut", &TDownloadItem::OutputFilename},
      {"&Discr", &TDownloadItem::Description},
  };
  for (const auto& v : values) {
    for (const auto& b : bytes) {
      const std::string value = std::string("C:\\") + b.byte + "x" + b.byte + "\\";
      const std::string escaped = std::string("C:\\") + b.entity + "x" + b.entity + "\\";
      SCOPED_TRACE(std::string(v.placeholder) + " with " + b.byte);
      TDownloadItem item;
      item.*v.field = value;
      const bool folder = std::string_view(v.placeholder) == "&DOut";
      EXPECT_EQ("<p title='" + (folder ? "file://" + escaped : escaped) + "'>",
                Expanded(std::string("<p title='") + v.placeholder + "'>", item, SystemFacts{}));
    }
  }
}

TEST(ExpandLineTo, ValueBytesOtherThanTheFiveAreKept) {
  TDownloadItem item;
  item.Description = "a<b>&amp;\r\nc\n\t\x81\x9F\xE9";
  EXPECT_EQ("[a&lt;b&gt;&amp;amp;\r\nc\n\t\x81\x9F\xE9]",
            Expanded("[&Discr]", item, SystemFacts{}));
}

}  // namespace
}  // namespace tallyweb
