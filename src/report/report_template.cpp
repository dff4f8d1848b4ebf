#include "report/report_template.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

#include "platform/failure_kinds.h"
#include "report/report_encoding.h"

namespace tallyweb {

TStringList SplitLines(const char* data, std::size_t size) {
  TStringList lines;
  std::size_t i = 0;
  while (i < size && data[i] != '\0') {
    const std::size_t start = i;
    while (i < size && data[i] != '\0' && data[i] != '\n' && data[i] != '\r') ++i;
    lines.emplace_back(data + start, i - start);
    if (i < size && data[i] == '\r') ++i;
    if (i < size && data[i] == '\n') ++i;
  }
  return lines;
}

namespace {

// Gives the template file back on every way out of the loader, a failed
// allocation included; whether the close succeeds does not matter.
class ScopedFile {
 public:
  ScopedFile(OsCalls& os, FileHandle file) : os_(os), file_(file) {}
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  ~ScopedFile() { os_.Close(file_); }

 private:
  OsCalls& os_;
  FileHandle file_;
};

}  // namespace

TStringList LoadTemplate(OsCalls& os, const std::string& path) {
  const FileHandle file = os.OpenExisting(path);
  if (file == kNoFile) Raise<EFOpenError>("Cannot open file " + path);
  ScopedFile closer(os, file);
  // A size beyond what can be addressed still goes to the allocator, so that
  // it fails as exhausted memory rather than loading part of the file.
  const std::uint64_t size = std::min<std::uint64_t>(
      os.FileSize(file), std::numeric_limits<std::size_t>::max());
  std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(size)]);
  // The lines end where the read ended: a short read leaves nothing unread
  // behind in the buffer to be taken for text.
  const std::uint64_t read = std::min(os.Read(file, buffer.get(), size), size);
  return SplitLines(buffer.get(), static_cast<std::size_t>(read));
}

MarkerIndices FindMarkers(const TStringList& lines) {
  MarkerIndices markers;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    if (lines[i][0] == '{') {
      markers.open = static_cast<std::ptrdiff_t>(i);
    } else if (lines[i][0] == '}') {
      markers.close = static_cast<std::ptrdiff_t>(i);
    }
  }
  return markers;
}

void AppendEscaped(std::string_view value, std::string& out) {
  std::size_t kept = 0;  // start of the bytes not yet appended
  for (std::size_t i = 0; i < value.size(); ++i) {
    std::string_view entity;
    switch (value[i]) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&#39;"; break;
      default: continue;
    }
    out.append(value.substr(kept, i - kept));
    out.append(entity);
    kept = i + 1;
  }
  out.append(value.substr(kept));
}

std::string FolderLink(std::string_view output_filename, const SystemFacts& facts) {
  const std::string_view folder = DirectoryPart(output_filename, "\\:");
  if (facts.folder_url) {
    std::string url = facts.folder_url(folder);
    if (!url.empty()) return url;
  }
  std::string link = "file://";
  for (const char c : folder) {
    if (c == '%') {
      link += "%25";
    } else if (c == '#') {
      link += "%23";
    } else {
      link += c;
    }
  }
  return link;
}

namespace {

enum class Placeholder { kName, kUrl, kOut, kDOut, kSize, kDiscr };

struct PlaceholderToken {
  std::string_view token;
  Placeholder placeholder;
};

// No token is a prefix of another ("&DOut" and "&Out" differ in their second
// byte), so at most one of them matches at any position.
constexpr PlaceholderToken kPlaceholders[] = {
    {"&Name", Placeholder::kName}, {"&URL", Placeholder::kUrl},
    {"&Out", Placeholder::kOut},   {"&DOut", Placeholder::kDOut},
    {"&Size", Placeholder::kSize}, {"&Discr", Placeholder::kDiscr},
};

void AppendValue(Placeholder placeholder, const TDownloadItem& item,
                 const SystemFacts& facts, std::string& out) {
  // Every text value comes from the web (a server's file name, a page's
  // address and text), and the page opens in the user's browser. Escaped
  // first, then put in the report's code page: the references made there for
  // characters it lacks are markup of the program's own, not to be escaped.
  const auto append = [&](std::string_view value) {
    if (facts.code_page == nullptr) return AppendEscaped(value, out);
    std::string escaped;
    AppendEscaped(value, escaped);
    AppendInReportEncoding(escaped, facts.code_page, out);
  };
  switch (placeholder) {
    case Placeholder::kName: append(item.KeyName); break;
    case Placeholder::kUrl: append(item.MainUrl); break;
    case Placeholder::kOut: append(item.OutputFilename); break;
    case Placeholder::kDOut: append(FolderLink(item.OutputFilename, facts)); break;
    case Placeholder::kSize: out += std::to_string(item.Size); break;
    case Placeholder::kDiscr: append(item.Description); break;
  }
}

}  // namespace

std::string ExpandLine(std::string_view line, const TDownloadItem& item,
                       const SystemFacts& facts) {
  std::string out;
  out.reserve(line.size());
  std::size_t i = 0;
  while (i < line.size()) {
    const std::size_t amp = line.find('&', i);
    if (amp == std::string_view::npos) break;
    out.append(line, i, amp - i);
    i = amp;
    const auto match = std::find_if(
        std::begin(kPlaceholders), std::end(kPlaceholders),
        [&](const PlaceholderToken& p) { return line.substr(i, p.token.size()) == p.token; });
    if (match == std::end(kPlaceholders)) {
      out += '&';
      ++i;
    } else {
      AppendValue(match->placeholder, item, facts, out);
      i += match->token.size();
    }
  }
  out.append(line, std::min(i, line.size()));
  return out;
}

}  // namespace tallyweb
