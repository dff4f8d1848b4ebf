// Template bytes to lines, to head, block and tail, and to expanded block
// lines, with arbitrary item values and code-page facts. Each result is held
// against what must be true of it, so a wrong answer fails as loudly as a
// crash.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "os/system_facts.h"
#include "report/report_template.h"
#include "testing/fake_folder_links.h"
#include "text/paths.h"
#include "text/string_list.h"
#include "text/utf.h"

namespace {

using tallyweb::SystemFacts;
using tallyweb::TDownloadItem;
using tallyweb::TStringList;

void Require(bool condition) {
  if (!condition) std::abort();
}

// The facts of a system whose report is UTF-8: values go in as they are,
// escaped for HTML.
SystemFacts FuzzedFacts(FuzzedDataProvider& in) {
  SystemFacts facts;
  facts.double_byte = in.ConsumeBool();
  facts.nt = in.ConsumeBool();
  return facts;
}

// A value as a UTF-8 report holds it: the five HTML bytes escaped, and a
// lone UTF-16 surrogate kept in its three-byte form (ED A0-BF 80-BF), which
// no browser shows, and a C1 control (C2 80-9F), for which no reference
// stands, each written as U+FFFD's reference.
std::string Escaped(const std::string& value) {
  std::string out;
  for (std::size_t at = 0; at < value.size(); ++at) {
    const char byte = value[at];
    const auto u = [&value](std::size_t i) { return static_cast<unsigned char>(value[i]); };
    if (u(at) == 0xED && at + 2 < value.size() && u(at + 1) >= 0xA0 && u(at + 1) <= 0xBF &&
        (u(at + 2) & 0xC0) == 0x80) {
      out += "&#65533;";
      at += 2;
      continue;
    }
    if (u(at) == 0xC2 && at + 1 < value.size() && u(at + 1) >= 0x80 && u(at + 1) <= 0x9F) {
      out += "&#65533;";
      at += 1;
      continue;
    }
    switch (byte) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += byte;
    }
  }
  return out;
}

// Characters that show as nothing or reorder the text around them.
bool HiddenCharacter(char32_t c) {
  const char32_t singles[] = {0x00AD, 0x034F, 0x061C, 0x115F, 0x1160, 0x17B4,
                              0x17B5, 0x180E, 0x3164, 0xFEFF, 0xFFA0};
  const std::pair<char32_t, char32_t> ranges[] = {{0x200B, 0x200F}, {0x2028, 0x202E},
                                                  {0x2060, 0x2064}, {0x2066, 0x206F},
                                                  {0xFFF9, 0xFFFB}, {0xE0000, 0xE007F}};
  for (char32_t single : singles) {
    if (c == single) return true;
  }
  for (const auto& [low, high] : ranges) {
    if (c >= low && c <= high) return true;
  }
  return false;
}

// `value` with each hidden character as `mark` writes it: the joiners
// U+200C and U+200D count only at an end or beside an ASCII byte.
template <typename Mark>
std::string WithHidden(const std::string& value, Mark mark) {
  std::string out;
  for (std::size_t at = 0; at < value.size();) {
    const std::size_t start = at;
    const char32_t c = tallyweb::NextCharacter(value, &at);
    bool hidden = HiddenCharacter(c);
    if (c == 0x200C || c == 0x200D) {
      hidden = start == 0 || at == value.size() ||
               static_cast<unsigned char>(value[start - 1]) < 0x80 ||
               static_cast<unsigned char>(value[at]) < 0x80;
    }
    out += hidden ? mark(c, value.substr(start, at - start)) : value.substr(start, at - start);
  }
  return out;
}

// A text value as shown: each hidden character as a token such as
// "<U+202E>" between the angle brackets U+27E8 and U+27E9.
std::string Shown(const std::string& value) {
  return Escaped(WithHidden(value, [](char32_t c, const std::string&) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(c));
    return "\xE2\x9F\xA8U+" + std::string(digits) + "\xE2\x9F\xA9";
  }));
}

// The lines of `text`, taken one at a time as the run takes them.
TStringList LinesOf(std::string_view text) {
  TStringList lines;
  while (!text.empty()) lines.emplace_back(tallyweb::TakeLine(text));
  return lines;
}

// The lines hold every byte before the first NUL except CR and LF, in order,
// and taking them again from the lines each ended by CR LF gives them back.
void CheckLines(const std::string& text, const TStringList& lines) {
  std::string kept;
  for (char byte : text.substr(0, text.find('\0')))
    if (byte != '\r' && byte != '\n') kept += byte;
  std::string joined, rejoined;
  for (const std::string& line : lines) {
    Require(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    joined += line;
    rejoined += line + "\r\n";
  }
  Require(joined == kept);
  Require(LinesOf(rejoined) == lines);
}

// The head, block and tail hold exactly the lines before the last line
// starting with "{", between it and the last starting with "}", and after
// that; a marker that is nowhere counts as the first line.
void CheckParts(std::string_view text, const TStringList& lines) {
  std::size_t open = 0, close = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i][0] == '{') open = i;
    if (!lines[i].empty() && lines[i][0] == '}') close = i;
  }
  const auto range = [&lines](std::size_t first, std::size_t end) {
    TStringList wanted;
    for (std::size_t i = first; i < end; ++i) wanted.push_back(lines[i]);
    return wanted;
  };
  const tallyweb::TemplateParts parts = tallyweb::DivideTemplate(text);
  Require(LinesOf(parts.head) == range(0, open));
  Require(LinesOf(parts.block) == range(open + 1, close));
  Require(LinesOf(parts.tail) == range(close + 1, lines.size()));
}

// One left-to-right pass: each token is replaced where it stands, and the
// bytes of an inserted value are never looked at again.
std::string ExpectedExpansion(const std::string& line, const TDownloadItem& item) {
  const std::string size = std::to_string(item.Size);
  // The long-path forms \\?\C:\ and \\?\UNC\server\ are the folders they name.
  std::string directory(tallyweb::DirectoryPart(item.OutputFilename, "\\:"));
  if (directory.rfind("\\\\?\\", 0) == 0) {
    directory.erase(0, 4);
    std::string unc = directory.substr(0, 4);
    for (char& byte : unc) byte = static_cast<char>(std::tolower(static_cast<unsigned char>(byte)));
    if (unc == "unc\\") directory.replace(0, 4, "\\\\");
  }
  std::string folder = "file://";
  for (char byte : directory) {
    folder += byte == '%'   ? std::string("%25")
              : byte == '#' ? std::string("%23")
                            : std::string(1, byte);
  }
  // Hidden characters, escaped as URL bytes after the rest.
  folder = WithHidden(folder, [](char32_t, const std::string& bytes) {
    std::string escaped;
    for (unsigned char byte : bytes) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", byte);
      escaped += hex;
    }
    return escaped;
  });
  const std::string name = Shown(item.KeyName), url = Shown(item.MainUrl),
                    out_file = Shown(item.OutputFilename), link = Escaped(folder),
                    description = Shown(item.Description);
  const std::pair<const char*, const std::string*> tokens[] = {
      {"&Name", &name}, {"&URL", &url},   {"&Out", &out_file},
      {"&DOut", &link}, {"&Size", &size}, {"&Discr", &description},
  };
  std::string out;
  for (std::size_t i = 0; i < line.size();) {
    bool replaced = false;
    for (const auto& [token, value] : tokens) {
      if (line.compare(i, std::strlen(token), token) == 0) {
        out += *value;
        i += std::strlen(token);
        replaced = true;
        break;
      }
    }
    if (!replaced) out += line[i++];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const SystemFacts facts = FuzzedFacts(in);
  TDownloadItem item;
  item.KeyName = in.ConsumeRandomLengthString(300);
  item.MainUrl = in.ConsumeRandomLengthString(2000);
  item.OutputFilename = in.ConsumeRandomLengthString(300);
  item.Size = in.ConsumeIntegral<std::int32_t>();
  item.Description = in.ConsumeRandomLengthString(300);
  const std::string text = in.ConsumeRemainingBytesAsString();

  std::unique_ptr<char[]> bytes(new char[text.size()]);
  std::memcpy(bytes.get(), text.data(), text.size());
  const tallyweb::TemplateText loaded(std::move(bytes), text.size());
  const TStringList lines = LinesOf(loaded.text());
  CheckLines(text, lines);
  CheckParts(loaded.text(), lines);
  // Every line, block or not, taken as a block line: the expansion must end
  // and agree whatever the line and the values hold.
  for (const std::string& line : lines) {
    std::string expanded;
    tallyweb::FakeFolderLinks links;
    tallyweb::ExpandLineTo(line, item, facts, links,
                           [&expanded](std::string_view piece) { expanded.append(piece); });
    Require(expanded == ExpectedExpansion(line, item));
  }
  return 0;
}
