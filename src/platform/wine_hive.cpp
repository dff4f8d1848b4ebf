#include "platform/wine_hive.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tallyweb {
namespace {

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";
// Seconds between 1601-01-01 (FILETIME's epoch) and 1970-01-01.
constexpr std::uint64_t kUnixEpochSeconds = 11644473600ull;
constexpr std::uint64_t kFiletimeTicksPerSecond = 10000000ull;

char FoldLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Wine orders subkeys by name with ASCII letters compared as lower case, so
// "a_b" comes before "aa" and "[x]" before "A" (seen in `reg query` output).
int CompareNames(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;  // names mostly match byte for byte
    unsigned char x = static_cast<unsigned char>(FoldLower(a[i]));
    unsigned char y = static_cast<unsigned char>(FoldLower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareNames(a, b) == 0;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads up to `max_digits` hex digits at `*pos`; false when there is none.
bool ReadHex(std::string_view s, std::size_t* pos, int max_digits, std::uint64_t* value) {
  std::uint64_t v = 0;
  int digits = 0;
  while (digits < max_digits && *pos < s.size() && HexDigit(s[*pos]) >= 0) {
    v = v * 16 + static_cast<std::uint64_t>(HexDigit(s[(*pos)++]));
    ++digits;
  }
  *value = v;
  return digits > 0;
}

// Decodes a quoted string or key path from `*pos` up to the unescaped `end`,
// with Wine's escapes: \a \b \e \f \n \r \t \v, \x and up to four hex digits,
// \ and up to three octal digits, and a backslash before any other character
// standing for that character. Other bytes stand for themselves (Wine writes
// only ASCII; a stray high byte is taken as Latin-1). Leaves `*pos` after
// `end`; false when `end` never comes.
bool DecodeEscaped(std::string_view s, std::size_t* pos, char end, std::u16string* out) {
  std::size_t i = *pos;
  while (i < s.size() && s[i] != end) {
    char c = s[i++];
    if (c != '\\') {
      out->push_back(static_cast<unsigned char>(c));
      continue;
    }
    if (i == s.size()) return false;
    char e = s[i++];
    std::uint64_t v = 0;
    switch (e) {
      case 'a': out->push_back(0x07); break;
      case 'b': out->push_back(0x08); break;
      case 'e': out->push_back(0x1B); break;
      case 'f': out->push_back(0x0C); break;
      case 'n': out->push_back(0x0A); break;
      case 'r': out->push_back(0x0D); break;
      case 't': out->push_back(0x09); break;
      case 'v': out->push_back(0x0B); break;
      case 'x':
        out->push_back(ReadHex(s, &i, 4, &v) ? static_cast<char16_t>(v) : u'x');
        break;
      default:
        if (e >= '0' && e <= '7') {
          v = static_cast<std::uint64_t>(e - '0');
          for (int n = 1; n < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++n) {
            v = v * 8 + static_cast<std::uint64_t>(s[i++] - '0');
          }
          out->push_back(static_cast<char16_t>(v));
        } else {
          out->push_back(static_cast<unsigned char>(e));
        }
    }
  }
  if (i == s.size()) return false;
  *pos = i + 1;
  return true;
}

void AppendUtf8(std::uint32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

std::string UnitsToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t u = units[i];
    bool high = u >= 0xD800 && u <= 0xDBFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (units[++i] - 0xDC00u), &out);
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(0xFFFD, &out);
    } else {
      AppendUtf8(u, &out);
    }
  }
  return out;
}

std::string UnitsToBytes(std::u16string_view units) {
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t u : units) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

bool OnlyBlanksFrom(std::string_view s, std::size_t pos) {
  return TrimLeft(s.substr(std::min(pos, s.size()))).empty();
}

// A comma-separated list of hex bytes, a trailing comma allowed.
bool ParseHexBytes(std::string_view s, std::string* out) {
  std::size_t i = 0;
  while (true) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i == s.size()) return true;
    std::uint64_t byte = 0;
    if (!ReadHex(s, &i, 2, &byte)) return false;
    out->push_back(static_cast<char>(byte));
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i < s.size() && s[i] == ',') ++i;
  }
}

struct StringType {
  std::string_view prefix;
  std::uint32_t type;
};
constexpr StringType kStringTypes[] = {
    {"\"", kRegSz}, {"str:\"", kRegSz}, {"str(2):\"", kRegExpandSz}, {"str(7):\"", kRegMultiSz}};

// The common quoted string, ASCII without escapes, stands for itself: `*run`
// is its text and `*pos` moves past its closing quote. False for anything
// else, which DecodeEscaped reads.
bool ReadPlainQuoted(std::string_view s, std::size_t* pos, std::string_view* run) {
  for (std::size_t i = *pos; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"') {
      *run = s.substr(*pos, i - *pos);
      *pos = i + 1;
      return true;
    }
    if (c == '\\' || c >= 0x80) return false;
  }
  return false;
}

// The data after "name=": a string as UTF-16LE with a NUL added (Wine drops
// the NUL when it writes), dword:, hex: or hex(type):.
bool ParseData(std::string_view s, WineHiveValue* value) {
  for (const auto& string_type : kStringTypes) {
    if (!StartsWith(s, string_type.prefix)) continue;
    std::size_t pos = string_type.prefix.size();
    value->type = string_type.type;
    std::string_view run;
    if (ReadPlainQuoted(s, &pos, &run)) {
      value->data.assign(run.size() * 2 + 2, '\0');
      for (std::size_t i = 0; i < run.size(); ++i) value->data[2 * i] = run[i];
      return OnlyBlanksFrom(s, pos);
    }
    std::u16string units;
    if (!DecodeEscaped(s, &pos, '"', &units) || !OnlyBlanksFrom(s, pos)) return false;
    units.push_back(0);
    value->data = UnitsToBytes(units);
    return true;
  }
  std::uint64_t number = 0;
  if (StartsWith(s, "dword:")) {
    std::size_t pos = 6;
    if (!ReadHex(s, &pos, 8, &number) || !OnlyBlanksFrom(s, pos)) return false;
    value->type = kRegDword;
    value->data.clear();
    for (int i = 0; i < 4; ++i) value->data.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
    return true;
  }
  if (StartsWith(s, "hex:")) {
    value->type = kRegBinary;
    return ParseHexBytes(s.substr(4), &value->data);
  }
  if (StartsWith(s, "hex(")) {
    std::size_t pos = 4;
    if (!ReadHex(s, &pos, 8, &number) || s.substr(pos, 2) != "):") return false;
    value->type = static_cast<std::uint32_t>(number);
    return ParseHexBytes(s.substr(pos + 2), &value->data);
  }
  return false;
}

// One value line, its continuation lines already joined: @=... or "name"=...
bool ParseValueLine(std::string_view line, WineHiveValue* value) {
  std::size_t pos = 0;
  if (line[0] == '"') {
    pos = 1;
    std::string_view run;
    if (ReadPlainQuoted(line, &pos, &run)) {
      value->name.assign(run);
    } else {
      std::u16string name;
      if (!DecodeEscaped(line, &pos, '"', &name)) return false;
      value->name = UnitsToUtf8(name);
    }
  } else {
    pos = 1;  // '@', the default value
  }
  std::string_view rest = TrimLeft(line.substr(pos));
  if (rest.empty() || rest[0] != '=') return false;
  return ParseData(TrimLeft(rest.substr(1)), value);
}

// Yields the lines of text[begin, end) without their line ends.
class LineReader {
 public:
  LineReader(std::string_view text, std::size_t begin, std::size_t end)
      : text_(text.substr(0, end)), pos_(begin) {}
  bool Next(std::string_view* line, std::size_t* line_begin) {
    if (pos_ >= text_.size()) return false;
    const void* nl = std::memchr(text_.data() + pos_, '\n', text_.size() - pos_);
    std::size_t stop = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - text_.data())
                          : text_.size();
    *line_begin = pos_;
    *line = text_.substr(pos_, stop - pos_);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    pos_ = stop + 1;
    return true;
  }
  std::size_t Position() const { return std::min(pos_, text_.size()); }

 private:
  std::string_view text_;
  std::size_t pos_;
};

bool EndsWithBackslash(std::string_view line) {
  line = TrimRight(line);
  return !line.empty() && line.back() == '\\';
}

void AssignUtf16AsUtf8(std::string_view utf16le, std::string* out) {
  // Most text is ASCII: each unit's low byte is its UTF-8.
  out->resize(utf16le.size() / 2);
  std::size_t i = 0;
  while (i + 1 < utf16le.size() && utf16le[i + 1] == '\0' &&
         static_cast<unsigned char>(utf16le[i]) < 0x80) {
    (*out)[i / 2] = utf16le[i];
    i += 2;
  }
  if (i + 1 >= utf16le.size()) return;
  std::u16string units;
  units.reserve(utf16le.size() / 2);
  for (std::size_t k = 0; k + 1 < utf16le.size(); k += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(utf16le[k]) |
                                          (static_cast<unsigned char>(utf16le[k + 1]) << 8)));
  }
  *out = UnitsToUtf8(units);
}

}  // namespace

std::string Utf16ToUtf8(std::string_view utf16le) {
  std::string utf8;
  AssignUtf16AsUtf8(utf16le, &utf8);
  return utf8;
}

void DeliverData(const WineHiveValue& value, std::string* out) {
  bool text = value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz;
  if (text) {
    AssignUtf16AsUtf8(value.data, out);
  } else {
    out->assign(value.data);
  }
}

std::string DeliveredData(const WineHiveValue& value) {
  std::string bytes;
  DeliverData(value, &bytes);
  return bytes;
}

WineHive::WineHive(std::string owned, std::string_view text, std::shared_ptr<const void> owner,
                   ReleaseText release_text)
    : owned_(std::move(owned)),
      text_(text),
      owner_(std::move(owner)),
      release_text_(std::move(release_text)) {
  if (owner_ == nullptr) text_ = owned_;
  if (release_text_) stretches_read_.assign((text_.size() >> 16) / 64 + 1, 0);
}

std::unique_ptr<WineHive> WineHive::Parse(std::string text) {
  std::unique_ptr<WineHive> hive(new WineHive(std::move(text), std::string_view(), nullptr, nullptr));
  if (!hive->Index()) return nullptr;
  return hive;
}

std::unique_ptr<WineHive> WineHive::Parse(std::string_view text, std::shared_ptr<const void> owner,
                                          ReleaseText release_text) {
  if (owner == nullptr) return Parse(std::string(text));
  std::unique_ptr<WineHive> hive(
      new WineHive(std::string(), text, std::move(owner), std::move(release_text)));
  if (!hive->Index()) return nullptr;
  return hive;
}

// The owner of a mapped file is told to release it once sixteen 64 KiB
// stretches have been read since it last did (the kernel maps a file's pages
// 64 KiB at a time), so that about a megabyte of the text is in memory however
// large the hive. Stretches are counted once each: reading a key line also
// reads the names of its parents, far back in the text, every time.
void WineHive::Touch(std::size_t offset) const {
  constexpr int kStretchShift = 16;
  constexpr std::size_t kStretchesPerRelease = 16;
  if (!release_text_) return;
  const std::size_t stretch = offset >> kStretchShift;
  std::uint64_t& word = stretches_read_[stretch / 64];
  const std::uint64_t bit = std::uint64_t{1} << (stretch % 64);
  if ((word & bit) != 0) return;
  word |= bit;
  if (++stretches_since_release_ < kStretchesPerRelease) return;
  stretches_since_release_ = 0;
  ReleaseStretchesRead();
}

// Each run of stretches read in one call: dropping a few pages is cheap, but
// going over the whole mapping each time costs as much as reading it.
void WineHive::ReleaseStretchesRead() const {
  constexpr std::size_t kStretch = std::size_t{1} << 16;
  const std::size_t stretches = stretches_read_.size() * 64;
  std::size_t run_begin = 0;
  bool in_run = false;
  for (std::size_t i = 0; i <= stretches; ++i) {
    const bool read = i < stretches && (stretches_read_[i / 64] >> (i % 64) & 1) != 0;
    if (read && !in_run) run_begin = i;
    if (!read && in_run) {
      release_text_(run_begin * kStretch, std::min(i * kStretch, text_.size()));
    }
    in_run = read;
  }
  std::fill(stretches_read_.begin(), stretches_read_.end(), 0);
}

// One pass over the file: checks that every line is of a known kind and
// records each key line. Values wait.
bool WineHive::Index() {
  std::string_view text = text_;
  if (text.empty() || text.back() != '\n') return false;
  // Wine writes a key every 200 bytes or so; one allocation is cheaper than
  // growing the array through a large hive, and the pages past the last key
  // are never touched.
  keys_.reserve(text.size() / 128 + 1);
  last_child_.reserve(keys_.capacity());
  keys_.emplace_back();
  last_child_.push_back(kNone);
  LineReader lines(text, 0, text.size());
  std::string_view line;
  std::size_t line_begin = 0;
  if (!lines.Next(&line, &line_begin) || line != kHeader) return false;
  constexpr std::size_t kNulCheckAhead = 256 * 1024;
  std::size_t nul_free_to = lines.Position();
  bool have_key = false;
  bool continued = false;
  KeyId current = kRoot;
  IndexCursor cursor;
  while (lines.Next(&line, &line_begin)) {
    Touch(line_begin);
    // A NUL is looked for a little ahead of the lines, not through the whole
    // file first, so that the pages behind can be released as the scan goes.
    if (line_begin + line.size() >= nul_free_to) {
      const std::size_t end = std::min(text.size(), line_begin + line.size() + kNulCheckAhead);
      if (std::memchr(text.data() + nul_free_to, '\0', end - nul_free_to) != nullptr) return false;
      nul_free_to = end;
    }
    if (continued) {
      continued = EndsWithBackslash(line);
      continue;
    }
    std::string_view trimmed = TrimLeft(line);
    if (trimmed.empty()) continue;
    switch (trimmed[0]) {
      case '[':
        if (!AddKeyLine(trimmed, static_cast<std::size_t>(trimmed.data() - text.data()), &cursor,
                        &current)) {
          return false;
        }
        have_key = true;
        break;
      case '@':
      case '"':
        if (!have_key) return false;
        continued = EndsWithBackslash(trimmed);
        break;
      case '#':
        if (!have_key && StartsWith(trimmed, "#arch=")) win64_ = TrimRight(trimmed) == "#arch=win64";
        break;
      case ';':
        break;
      default:
        return false;
    }
  }
  if (continued) return false;
  std::vector<KeyId>().swap(last_child_);
  return true;
}

namespace {

// Finds the "]" that ends a key line's path. A plain path (ASCII whose only
// escapes are the doubled backslashes between names) can be read in place;
// any other must be decoded. `*after` is the position after the "]".
bool FindPathEnd(std::string_view line, bool* plain, std::size_t* after) {
  std::size_t close = 1;
  *plain = true;
  while (close < line.size() && line[close] != ']') {
    unsigned char c = static_cast<unsigned char>(line[close]);
    if (c == '\\' && close + 1 < line.size() && line[close + 1] == '\\') {
      close += 2;
      continue;
    }
    if (c == '\\' || c >= 0x80) *plain = false;
    close += c == '\\' ? 2 : 1;
  }
  if (*plain) {
    *after = close + 1;
    return close < line.size();
  }
  std::u16string path;
  *after = 1;
  return DecodeEscaped(line, after, ']', &path);
}

// The seconds after a key line's path, as FILETIME; false when there are none.
bool KeyLineTime(std::string_view line, std::uint64_t* time) {
  bool plain = true;
  std::size_t after = 0;
  if (!FindPathEnd(line, &plain, &after)) return false;
  std::string_view rest = TrimLeft(line.substr(after));
  std::uint64_t seconds = 0;
  std::size_t digits = 0;
  while (digits < rest.size() && digits < 12 && rest[digits] >= '0' && rest[digits] <= '9') {
    seconds = seconds * 10 + static_cast<std::uint64_t>(rest[digits++] - '0');
  }
  if (digits == 0) return false;
  *time = (seconds + kUnixEpochSeconds) * kFiletimeTicksPerSecond;
  return true;
}

// The line at `begin`, without its line end.
std::string_view LineAt(std::string_view text, std::size_t begin) {
  std::string_view line;
  std::size_t line_begin = 0;
  LineReader(text, begin, text.size()).Next(&line, &line_begin);
  return line;
}

std::size_t NextLineBegin(std::string_view text, std::size_t pos) {
  const void* nl = std::memchr(text.data() + pos, '\n', text.size() - pos);
  return nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - text.data()) + 1 : text.size();
}

}  // namespace

// "[Path\\To\\Key] seconds": the path is relative to the hive's root; runs of
// backslashes separate names, as Wine reads them. Keys on the way that have
// no line of their own (Wine writes only keys with values or without
// subkeys) are made here. The seconds are read when the key's values are.
bool WineHive::AddKeyLine(std::string_view line, std::size_t line_begin, IndexCursor* cursor,
                          KeyId* key) {
  bool plain = true;
  std::size_t after = 0;
  if (!FindPathEnd(line, &plain, &after)) return false;
  KeyId node = kRoot;
  if (plain) {
    std::string_view path = line.substr(1, after - 2);
    if (StartsWith(path, "\\")) return false;
    // Wine writes sibling keys one after another: a path that starts with the
    // same bytes as the last one's parent starts at the same key.
    std::size_t start = 0;
    if (!cursor->parent_path.empty() && StartsWith(path, cursor->parent_path)) {
      node = cursor->parent;
      start = cursor->parent_path.size();
    }
    while (start < path.size()) {
      std::size_t stop = std::min(path.find('\\', start), path.size());
      if (stop > start) {
        cursor->parent = node;
        cursor->parent_path = path.substr(0, start);
        node = FindOrAddChild(node, path.substr(start, stop - start), line_begin, 1 + start);
      }
      start = stop + 1;
    }
  } else {
    std::u16string path;
    std::size_t end = 1;
    DecodeEscaped(line, &end, ']', &path);
    if (!path.empty() && path[0] == u'\\') return false;
    for (std::size_t start = 0; start < path.size();) {
      std::size_t stop = std::min(path.find(u'\\', start), path.size());
      if (stop > start) {
        std::string name = UnitsToUtf8(std::u16string_view(path).substr(start, stop - start));
        node = FindOrAddChild(node, name, line_begin, std::string::npos);
      }
      start = stop + 1;
    }
  }
  Key& k = keys_[node];
  if (node != kRoot && k.line == line_begin && (k.flags & kOwnLine) == 0 &&
      (k.flags & kMoreLines) == 0) {
    k.flags |= kOwnLine;  // made by this very line: its first own line
  } else {
    more_lines_.emplace_back(node, line_begin);
    k.flags |= kMoreLines;
  }
  *key = node;
  return true;
}

std::string_view WineHive::NameView(KeyId key) const {
  const Key& k = keys_[key];
  if (k.name_size == 0) return std::string_view();
  if ((k.flags & kDecodedName) != 0) return decoded_names_[k.name_begin];
  const std::size_t begin = static_cast<std::size_t>(k.line) + k.name_begin;
  Touch(begin);
  return text_.substr(begin, k.name_size);
}

// Wine writes keys sorted, so a new name usually sorts after the parent's
// last child and cannot already be there; only names out of order cost a
// walk over the siblings. A new key keeps where its name is in the text:
// `name_begin` within the line at `line`, npos for a decoded name.
WineHive::KeyId WineHive::FindOrAddChild(KeyId parent, std::string_view name, std::uint64_t line,
                                         std::size_t name_begin) {
  bool in_order = true;
  const KeyId last = last_child_[parent];
  if (last != kNone) {
    int order = CompareNames(NameView(last), name);
    if (order == 0) return last;
    in_order = order < 0 && (keys_[parent].flags & kChildrenInOrder) != 0;
  }
  if (!in_order) {
    for (KeyId child = keys_[parent].first_child; child != kNone; child = keys_[child].next_sibling) {
      if (SameName(NameView(child), name)) return child;
    }
  }
  KeyId id = static_cast<KeyId>(keys_.size());
  Key key;
  key.line = line;
  key.name_size = static_cast<std::uint32_t>(name.size());
  constexpr std::size_t kMax32 = 0xFFFFFFFFu;
  if (name_begin > kMax32 || name.size() > kMax32) {
    name_begin = std::string::npos;  // past what the index holds: keep a copy
  }
  if (name_begin == std::string::npos) {
    key.flags |= kDecodedName;
    key.name_begin = static_cast<std::uint32_t>(decoded_names_.size());
    decoded_names_.emplace_back(name);
  } else {
    key.name_begin = static_cast<std::uint32_t>(name_begin);
  }
  keys_.push_back(key);
  last_child_.push_back(kNone);
  Key& p = keys_[parent];
  if (last == kNone) {
    p.first_child = id;
  } else {
    keys_[last].next_sibling = id;
  }
  last_child_[parent] = id;
  ++p.child_count;
  if (!in_order) p.flags &= static_cast<std::uint8_t>(~kChildrenInOrder);
  return id;
}

WineHive::ChildList& WineHive::Children(KeyId key) {
  auto found = children_.find(key);
  if (found != children_.end()) return found->second;
  ChildList& list = children_[key];
  std::vector<KeyId>& children = list.ids;
  children.reserve(keys_[key].child_count);
  for (KeyId child = keys_[key].first_child; child != kNone; child = keys_[child].next_sibling) {
    children.push_back(child);
  }
  if ((keys_[key].flags & kChildrenInOrder) == 0) {
    std::sort(children.begin(), children.end(), [this](KeyId a, KeyId b) {
      return CompareNames(NameView(a), NameView(b)) < 0;
    });
  }
  for (KeyId child : children) {
    list.longest_name = std::max<std::size_t>(list.longest_name, keys_[child].name_size);
  }
  return list;
}

std::size_t WineHive::LongestChildName(KeyId key) {
  return keys_[key].child_count == 0 ? 0 : Children(key).longest_name;
}

bool WineHive::FindChild(KeyId key, std::string_view name, KeyId* child) {
  if (keys_[key].child_count == 0) return false;
  ChildList& list = Children(key);
  const std::vector<KeyId>& ids = list.ids;
  // The subkey after the one found last, then that one again, before a search.
  for (std::size_t guess : {list.last_found + 1, list.last_found}) {
    if (guess < ids.size() && SameName(NameView(ids[guess]), name)) {
      list.last_found = guess;
      *child = ids[guess];
      return true;
    }
  }
  auto it = std::lower_bound(ids.begin(), ids.end(), name, [this](KeyId a, std::string_view n) {
    return CompareNames(NameView(a), n) < 0;
  });
  if (it == ids.end() || !SameName(NameView(*it), name)) return false;
  list.last_found = static_cast<std::size_t>(it - ids.begin());
  *child = *it;
  return true;
}

WineHive::KeyId WineHive::Child(KeyId key, std::size_t index) { return Children(key).ids[index]; }

// The key lines of `key` in file order.
std::vector<std::size_t> WineHive::OwnLines(KeyId key) const {
  const Key& k = keys_[key];
  std::vector<std::size_t> lines;
  if ((k.flags & kOwnLine) != 0) lines.push_back(static_cast<std::size_t>(k.line));
  if ((k.flags & kMoreLines) != 0) {
    for (const auto& more : more_lines_) {
      if (more.first == key) lines.push_back(more.second);
    }
  }
  return lines;
}

// The lines below each key line of `key`: the values, a later line for a
// name winning, and the last "#time=" option.
void WineHive::ParseValues(KeyId key, Parsed* parsed) {
  const Key& k = keys_[key];
  if ((k.flags & kMoreLines) == 0) {
    if ((k.flags & kOwnLine) != 0) ParseBody(NextLineBegin(text_, k.line), parsed);
    return;
  }
  for (std::size_t line : OwnLines(key)) ParseBody(NextLineBegin(text_, line), parsed);
}

// The lines below a key line, up to the next key line. Where that is, only
// Index's reading of the lines can say: a line that goes on a hex value is
// never a key line, and a value is joined over its continuation lines only
// as far as the body goes.
void WineHive::ParseBody(std::size_t begin, Parsed* parsed) {
  LineReader lines(text_, begin, text_.size());
  bool index_continued = false;
  auto ends_body = [&index_continued](std::string_view line) {
    if (index_continued) {
      index_continued = EndsWithBackslash(line);
      return false;
    }
    std::string_view trimmed = TrimLeft(line);
    if (trimmed.empty()) return false;
    if (trimmed[0] == '[') return true;
    if (trimmed[0] == '"' || trimmed[0] == '@') index_continued = EndsWithBackslash(trimmed);
    return false;
  };
  std::string_view line;
  std::size_t line_begin = 0;
  std::string continued;
  bool body_ended = false;
  while (!body_ended && lines.Next(&line, &line_begin)) {
    if (ends_body(line)) return;
    Touch(line_begin);
    std::string_view joined = TrimRight(TrimLeft(line));
    bool is_value = !joined.empty() && (joined[0] == '"' || joined[0] == '@');
    // A long hex value goes on over lines ending in a backslash.
    if (is_value && joined.back() == '\\') {
      continued.assign(joined);
      while (!continued.empty() && continued.back() == '\\' && lines.Next(&line, &line_begin)) {
        body_ended = ends_body(line);
        if (body_ended) break;
        Touch(line_begin);
        continued.pop_back();
        continued.append(TrimRight(TrimLeft(line)));
      }
      joined = continued;
    }
    std::uint64_t time = 0;
    std::size_t pos = 6;
    if (StartsWith(joined, "#time=") && ReadHex(joined, &pos, 16, &time)) {
      parsed->time_option = time;
      parsed->has_time_option = true;
    }
    if (!is_value) continue;
    WineHiveValue value = TakeValue();
    if (!ParseValueLine(joined, &value)) {
      spare_values_.push_back(std::move(value));
      continue;
    }
    auto same = std::find_if(parsed->values.begin(), parsed->values.end(),
                             [&](const WineHiveValue& v) { return SameName(v.name, value.name); });
    if (same != parsed->values.end()) {
      std::swap(*same, value);  // a later line for the same name wins, as in Wine
      spare_values_.push_back(std::move(value));
    } else {
      parsed->values.push_back(std::move(value));
    }
  }
}

// An empty value, with the memory of one parsed before if there is one.
WineHiveValue WineHive::TakeValue() {
  if (spare_values_.empty()) return WineHiveValue();
  WineHiveValue value = std::move(spare_values_.back());
  spare_values_.pop_back();
  value.name.clear();
  value.type = kRegNone;
  value.data.clear();
  return value;
}

const std::vector<WineHiveValue>& WineHive::Values(KeyId key) {
  auto found = parsed_.find(key);
  if (found != parsed_.end()) return found->second.values;
  Parsed* parsed = nullptr;
  if (spare_parsed_.empty()) {
    parsed = &parsed_[key];
  } else {
    spare_parsed_.key() = key;
    parsed = &parsed_.insert(std::move(spare_parsed_)).position->second;
    spare_parsed_ = {};
    parsed->has_time_option = false;
  }
  ParseValues(key, parsed);
  return parsed->values;
}

void WineHive::ForgetValues(KeyId key) {
  auto found = parsed_.find(key);
  if (found == parsed_.end()) return;
  std::vector<WineHiveValue>& values = found->second.values;
  for (WineHiveValue& value : values) spare_values_.push_back(std::move(value));
  values.clear();
  spare_parsed_ = parsed_.extract(found);
}

const WineHiveValue* WineHive::FindValue(KeyId key, std::string_view name) {
  for (const WineHiveValue& value : Values(key)) {
    if (SameName(value.name, name)) return &value;
  }
  return nullptr;
}

// The "#time=" option wins over the seconds on the key's last key line that
// has them. Only a key's info asks for this, so the key lines are read here
// rather than with the values.
std::uint64_t WineHive::LastWriteTime(KeyId key) {
  Values(key);
  const Parsed& parsed = parsed_.find(key)->second;
  if (parsed.has_time_option) return parsed.time_option;
  std::uint64_t last_write_time = 0;
  for (std::size_t line : OwnLines(key)) {
    Touch(line);
    std::uint64_t time = 0;
    if (KeyLineTime(LineAt(text_, line), &time)) last_write_time = time;
  }
  return last_write_time;
}

}  // namespace tallyweb
