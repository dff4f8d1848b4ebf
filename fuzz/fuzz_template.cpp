// Template bytes to lines, markers and expanded block lines, with arbitrary
// item values and code-page facts. Each result is held against what must be
// true of it, so a wrong answer fails as loudly as a crash.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/system_facts.h"
#include "report/report_template.h"

namespace {

using tallyweb::SystemFacts;
using tallyweb::TDownloadItem;
using tallyweb::TStringList;

void Require(bool condition) {
  if (!condition) std::abort();
}

// Lead bytes as code pages have them: never below 0x80, so ASCII delimiters
// are never lead bytes.
SystemFacts FuzzedFacts(FuzzedDataProvider& in) {
  const bool double_byte = in.ConsumeBool();
  std::array<std::uint8_t, 12> ranges{};
  for (auto& byte : ranges) byte = in.ConsumeIntegralInRange<std::uint8_t>(0x80, 0xFF);
  ranges[in.ConsumeIntegralInRange<std::size_t>(0, 5) * 2] = 0;
  return tallyweb::MakeSystemFacts(double_byte, ranges, in.ConsumeBool());
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

// Each byte of `text` found in `from` replaced by the string at the same
// place in `to`.
std::string Replaced(const std::string& text, const std::string& from,
                     const std::vector<std::string>& to) {
  std::string out;
  for (char byte : text) {
    const std::size_t at = from.find(byte);
    out += at == std::string::npos ? std::string(1, byte) : to[at];
  }
  return out;
}

std::string Escaped(const std::string& value) {
  return Replaced(value, "&<>\"'", {"&amp;", "&lt;", "&gt;", "&quot;", "&#39;"});
}

// One left-to-right pass: each token is replaced where it stands, by its
// value escaped for HTML (the folder's "%" and "#" as URL escapes first), and
// the bytes of an inserted value are never looked at again.
std::string ExpectedExpansion(const std::string& line, const TDownloadItem& item,
                              const SystemFacts& facts) {
  const std::string size = std::to_string(item.Size);
  const std::string folder = Escaped(Replaced(
      "file://" + std::string(tallyweb::DirectoryPart(item.OutputFilename, "\\:", facts)), "%#",
      {"%25", "%23"}));
  const std::string name = Escaped(item.KeyName), url = Escaped(item.MainUrl),
                    out_file = Escaped(item.OutputFilename), discr = Escaped(item.Description);
  const std::pair<const char*, const std::string*> tokens[] = {
      {"&Name", &name},   {"&URL", &url},   {"&Out", &out_file},
      {"&DOut", &folder}, {"&Size", &size}, {"&Discr", &discr},
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
  // Every line, block or not, taken as a block line: the expansion must end
  // and agree whatever the line and the values hold.
  for (const std::string& line : lines)
    Require(tallyweb::ExpandLine(line, item, facts) == ExpectedExpansion(line, item, facts));
  return 0;
}
