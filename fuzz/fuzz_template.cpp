// Template bytes to lines, markers and expanded block lines, with arbitrary
// item values and code-page facts. Each result is held against what must be
// true of it, so a wrong answer fails as loudly as a crash.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/system_facts.h"
#include "report/report_template.h"

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
// no browser shows, written as U+FFFD's reference.
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

// The lines hold every byte before the first NUL except CR and LF, in order,
// and splitting them again, each ended by CR LF, gives them back.
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
  Require(tallyweb::SplitLines(rejoined.data(), rejoined.size()) == lines);
}

// Each index is the last line starting with its marker byte, or 0 when no
// line after the first starts with it.
void CheckMarker(const TStringList& lines, std::ptrdiff_t index, char marker) {
  Require(index >= 0 && (lines.empty() ? index == 0 : index < std::ptrdiff_t(lines.size())));
  for (std::size_t i = index + 1; i < lines.size(); ++i)
    Require(lines[i].empty() || lines[i][0] != marker);
  if (index > 0) Require(!lines[index].empty() && lines[index][0] == marker);
}

// The head, block and tail that the run writes from the text hold exactly
// the lines the marker indices give each of them.
void CheckParts(const std::string& text, const TStringList& lines,
                const tallyweb::MarkerIndices& markers) {
  const tallyweb::TemplateParts parts = tallyweb::DivideTemplate(
      std::string_view(text).substr(0, text.find('\0')));
  const auto split = [](std::string_view part) {
    TStringList taken;
    while (!part.empty()) taken.emplace_back(tallyweb::TakeLine(part));
    return taken;
  };
  const auto range = [&](std::ptrdiff_t first, std::ptrdiff_t last) {
    TStringList wanted;
    for (std::ptrdiff_t i = first; i <= last; ++i) wanted.push_back(lines[i]);
    return wanted;
  };
  Require(split(parts.head) == range(0, markers.open - 1));
  Require(split(parts.block) == range(markers.open + 1, markers.close - 1));
  Require(split(parts.tail) == range(markers.close + 1, std::ptrdiff_t(lines.size()) - 1));
}

// One left-to-right pass: each token is replaced where it stands, and the
// bytes of an inserted value are never looked at again.
std::string ExpectedExpansion(const std::string& line, const TDownloadItem& item) {
  const std::string size = std::to_string(item.Size);
  std::string folder = "file://";
  for (char byte : tallyweb::DirectoryPart(item.OutputFilename, "\\:")) {
    folder += byte == '%'   ? std::string("%25")
              : byte == '#' ? std::string("%23")
                            : std::string(1, byte);
  }
  const std::string name = Escaped(item.KeyName), url = Escaped(item.MainUrl),
                    out_file = Escaped(item.OutputFilename), link = Escaped(folder),
                    description = Escaped(item.Description);
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

  const TStringList lines = tallyweb::SplitLines(text.data(), text.size());
  CheckLines(text, lines);
  const tallyweb::MarkerIndices markers = tallyweb::FindMarkers(lines);
  CheckMarker(lines, markers.open, '{');
  CheckMarker(lines, markers.close, '}');
  CheckParts(text, lines, markers);
  // Every line, block or not, taken as a block line: the expansion must end
  // and agree whatever the line and the values hold.
  for (const std::string& line : lines)
    Require(tallyweb::ExpandLine(line, item, facts) == ExpectedExpansion(line, item));
  return 0;
}
