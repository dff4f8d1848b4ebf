#include "report/report_template.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "failure/failure_kinds.h"
#include "report/report_encoding.h"
#include "text/paths.h"
#include "text/utf.h"

namespace tallyweb {

std::string_view TakeLine(std::string_view& text) {
  std::size_t end = 0;
  while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
  const std::string_view line = text.substr(0, end);
  std::size_t next = end;
  if (next < text.size() && text[next] == '\r') ++next;
  if (next < text.size() && text[next] == '\n') ++next;
  text.remove_prefix(next);
  return line;
}

namespace {

// The text ends at the first NUL.
std::string_view TextBeforeNul(const char* data, std::size_t size) {
  const std::string_view bytes(data, size);
  return bytes.substr(0, bytes.find('\0'));
}

}  // namespace

TemplateText::TemplateText(std::unique_ptr<char[]> bytes, std::size_t size)
    : bytes_(std::move(bytes)), text_(TextBeforeNul(bytes_.get(), size)) {}

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

TemplateText LoadTemplateText(OsCalls& os, const std::string& path) {
  const FileHandle file = os.OpenExisting(path);
  if (file == kNoFile) Raise<EFOpenError>("Cannot open file " + path);
  ScopedFile closer(os, file);
  // A size beyond what can be addressed still goes to the allocator, so that
  // it fails as exhausted memory rather than loading part of the file.
  const std::uint64_t size = std::min<std::uint64_t>(os.FileSize(file),
                                                     std::numeric_limits<std::size_t>::max());
  std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(size)]);
  // The lines end where the read ended: a short read leaves nothing unread
  // behind in the buffer to be taken for text.
  const std::uint64_t read = std::min(os.Read(file, buffer.get(), size), size);
  return TemplateText(std::move(buffer), static_cast<std::size_t>(read));
}

TemplateParts DivideTemplate(std::string_view text) {
  // Where the marker lines start, and where the lines after them start. A
  // marker that is nowhere counts as the first line.
  std::string_view rest = text;
  if (!rest.empty()) TakeLine(rest);
  std::size_t open = 0, after_open = text.size() - rest.size();
  std::size_t close = 0, after_close = after_open;
  rest = text;
  while (!rest.empty()) {
    const std::size_t start = text.size() - rest.size();
    const char first = rest.front();
    TakeLine(rest);
    if (first == '{') {
      open = start;
      after_open = text.size() - rest.size();
    } else if (first == '}') {
      close = start;
      after_close = text.size() - rest.size();
    }
  }
  TemplateParts parts;
  parts.head = text.substr(0, open);
  if (after_open < close) parts.block = text.substr(after_open, close - after_open);
  parts.tail = text.substr(after_close);
  return parts;
}

namespace {

// Hands `value` to `put` with the five bytes that HTML gives a meaning
// written as entities: the runs between them go out as they stand.
void PutEscaped(std::string_view value, const TextSink& put) {
  std::size_t kept = 0;  // start of the bytes not yet handed out
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
    if (i > kept) put(value.substr(kept, i - kept));
    put(entity);
    kept = i + 1;
  }
  if (value.size() > kept) put(value.substr(kept));
}

}  // namespace

void AppendEscaped(std::string_view value, std::string& out) {
  PutEscaped(value, [&out](std::string_view piece) { out.append(piece); });
}

namespace {

// Characters that show as nothing or that reorder the text around them. A
// file named "invoice-" U+202E "fdp.exe" reads as "invoice-exe.pdf", and
// "set" U+200B "up.exe" as "setup.exe"; values come from the web.
bool IsHiddenCharacter(char32_t c) {
  return c == 0x00AD || c == 0x034F || c == 0x061C || c == 0x115F || c == 0x1160 ||
         c == 0x17B4 || c == 0x17B5 || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
         (c >= 0x2066 && c <= 0x206F) || c == 0x3164 || c == 0xFEFF || c == 0xFFA0 ||
         (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xE0000 && c <= 0xE007F);
}

bool IsAsciiAt(std::string_view text, std::size_t at) {
  return at < text.size() && static_cast<unsigned char>(text[at]) < 0x80;
}

// The joiners are part of Persian and Indian words and of emoji made of
// several: hidden only where they stand beside a plain ASCII letter or at an
// end, which is where they serve to pass one name off as another.
bool IsHiddenAt(char32_t c, std::string_view text, std::size_t start, std::size_t end) {
  if (c == 0x200C || c == 0x200D) {
    return start == 0 || end == text.size() || IsAsciiAt(text, start - 1) || IsAsciiAt(text, end);
  }
  return IsHiddenCharacter(c);
}

// Hands the runs of `text` between hidden characters to `put`, and each
// hidden character (its code and its bytes) to `put_hidden`, in order.
template <typename Put, typename PutHidden>
void PutHiddenApart(std::string_view text, Put put, PutHidden put_hidden) {
  std::size_t at = 0;
  while (at < text.size() && static_cast<unsigned char>(text[at]) < 0x80) ++at;
  std::size_t kept = 0;
  while (at < text.size()) {
    const std::size_t start = at;
    const char32_t c = NextCharacter(text, &at);
    if (!IsHiddenAt(c, text, start, at)) continue;
    if (start > kept) put(text.substr(kept, start - kept));
    put_hidden(c, text.substr(start, at - start));
    kept = at;
  }
  if (text.size() > kept) put(text.substr(kept));
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

// "U+202E" between the angle brackets U+27E8 and U+27E9, as a browser's
// address bar shows such a character: visible, and itself of no direction.
std::string HiddenToken(char32_t c) {
  std::string digits;
  for (char32_t rest = c; rest != 0 || digits.size() < 4; rest >>= 4) {
    digits.insert(digits.begin(), kHexDigits[rest & 15]);
  }
  return "\xE2\x9F\xA8U+" + digits + "\xE2\x9F\xA9";
}

// A folder given as "\\?\C:\x\" or "\\?\UNC\server\share\" (the form that
// lifts the length limit) is the folder C:\x\ or \\server\share\; a browser
// would take the question mark for the start of a query.
std::string_view WithoutLongPathPrefix(std::string_view folder, std::string& storage) {
  constexpr std::string_view kLong = "\\\\?\\";
  if (folder.substr(0, kLong.size()) != kLong) return folder;
  const std::string_view rest = folder.substr(kLong.size());
  const std::string_view unc = rest.substr(0, 4);
  if (unc.size() == 4 && (unc[0] | 0x20) == 'u' && (unc[1] | 0x20) == 'n' &&
      (unc[2] | 0x20) == 'c' && unc[3] == '\\') {
    storage = "\\\\";
    storage.append(rest.substr(4));
    return storage;
  }
  return rest;
}

}  // namespace

std::string FolderLink(std::string_view output_filename, FolderLinks& links) {
  std::string storage;
  const std::string_view folder =
      WithoutLongPathPrefix(DirectoryPart(output_filename, "\\:"), storage);
  std::string url = links.FolderUrl(folder);
  if (!url.empty()) return url;
  std::string link = "file://";
  // A hidden character goes as its UTF-8 bytes escaped: the link still
  // names the folder, and nothing in it shows as nothing.
  PutHiddenApart(folder, [&link](std::string_view piece) {
    for (const char c : piece) {
      if (c == '%' || c == '#') {
        AppendUrlEscape(c, link);
      } else {
        link += c;
      }
    }
  }, [&link](char32_t, std::string_view bytes) {
    for (const char c : bytes) AppendUrlEscape(c, link);
  });
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
    {"&Name", Placeholder::kName}, {"&URL", Placeholder::kUrl},   {"&Out", Placeholder::kOut},
    {"&DOut", Placeholder::kDOut}, {"&Size", Placeholder::kSize}, {"&Discr", Placeholder::kDiscr},
};

void PutValue(Placeholder placeholder, const TDownloadItem& item, const SystemFacts& facts,
              FolderLinks& links, const TextSink& put) {
  // Every text value comes from the web (a server's file name, a page's
  // address and text), and the page opens in the user's browser. Escaped
  // first, then put in the report's code page: the references made there for
  // characters it lacks are markup of the program's own, not to be escaped.
  const auto put_link = [&](std::string_view value) {
    if (facts.code_page == nullptr) {
      // Escaping splits a value only at ASCII bytes, never inside a character.
      return PutEscaped(value, [&put](std::string_view piece) { PutAsUtf8(piece, put); });
    }
    std::string escaped;
    AppendEscaped(value, escaped);
    std::string encoded;
    AppendInReportEncoding(escaped, facts.code_page, encoded);
    put(encoded);
  };
  // A text shows each hidden character as a token, in the page's text with
  // and without script; a folder link has them escaped already.
  const auto put_text = [&](std::string_view value) {
    PutHiddenApart(value, put_link,
                   [&put_link](char32_t c, std::string_view) { put_link(HiddenToken(c)); });
  };
  switch (placeholder) {
    case Placeholder::kName: put_text(item.KeyName); break;
    case Placeholder::kUrl: put_text(item.MainUrl); break;
    case Placeholder::kOut: put_text(item.OutputFilename); break;
    case Placeholder::kDOut: put_link(FolderLink(item.OutputFilename, links)); break;
    case Placeholder::kSize: put(std::to_string(item.Size)); break;
    case Placeholder::kDiscr: put_text(item.Description); break;
  }
}

}  // namespace

void ExpandLineTo(std::string_view line, const TDownloadItem& item, const SystemFacts& facts,
                  FolderLinks& links, const TextSink& put) {
  std::size_t kept = 0;  // start of the line's bytes not yet handed out
  for (std::size_t amp = line.find('&'); amp != std::string_view::npos;
       amp = line.find('&', amp + 1)) {
    const auto match = std::find_if(
        std::begin(kPlaceholders), std::end(kPlaceholders),
        [&](const PlaceholderToken& p) { return line.substr(amp, p.token.size()) == p.token; });
    if (match == std::end(kPlaceholders)) continue;
    if (amp > kept) put(line.substr(kept, amp - kept));
    PutValue(match->placeholder, item, facts, links, put);
    kept = amp + match->token.size();
    amp = kept - 1;  // the search goes on after the token
  }
  if (line.size() > kept) put(line.substr(kept));
}

}  // namespace tallyweb
