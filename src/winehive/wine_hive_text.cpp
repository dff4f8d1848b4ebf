#include "winehive/wine_hive_text.h"

#include <algorithm>

#include "registry/registry_names.h"
#include "text/utf.h"

namespace tallyweb {
namespace hive_text {
namespace {

// Seconds between 1601-01-01 (FILETIME's epoch) and 1970-01-01.
constexpr std::uint64_t kUnixEpochSeconds = 11644473600ull;
constexpr std::uint64_t kFiletimeTicksPerSecond = 10000000ull;

// The C locale's isspace.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::size_t SkipSpace(std::string_view s, std::size_t i) {
  while (i < s.size() && IsSpace(s[i])) ++i;
  return i;
}

bool StartsWith(std::string_view s, std::size_t pos, std::string_view prefix) {
  return s.size() >= pos && s.substr(pos, prefix.size()) == prefix;
}

// One UTF-8 character at `*i` (a byte of 0x80 or more). A byte that starts
// no character is dropped, and so is each continuation byte after it, each
// then starting none: a sequence cut short, overlong or past U+10FFFF leaves
// nothing, up to the first byte that does not belong. Encoded surrogates are
// taken as they are.
void AppendCharacter(std::string_view s, std::size_t* i, std::u16string* out) {
  char32_t code = 0;
  if (!DecodeUtf8(s, i, BadUtf8Byte::kDropped, Utf8Forms::kShortest, &code)) return;
  char16_t units[2];
  out->append(units, ToUtf16(code, units));
}

// The bytes of a hex value on one line: hex numbers of at most 0xFF each,
// each followed by blanks and at most one comma. Returns where reading
// stopped; false when a number is too large. The server keeps each number in
// 32 bits before it compares it with 0xFF: 100000005 is 05.
bool ParseHexRun(std::string_view s, std::size_t* pos, std::string* out) {
  std::size_t i = *pos;
  while (i < s.size() && HexDigit(s[i]) >= 0) {
    std::size_t end = 0;
    const std::uint32_t byte = static_cast<std::uint32_t>(StrToULong16(s.substr(i), &end));
    if (end == 0 || byte > 0xFF) return false;
    if (out != nullptr) out->push_back(static_cast<char>(byte));
    i = SkipSpace(s, i + end);
    if (i < s.size() && s[i] == ',') ++i;
    i = SkipSpace(s, i);
  }
  *pos = i;
  return true;
}

// A hex value's data from `s`, over continuation lines; false when the
// server would find it malformed.
bool ParseHexData(std::string_view s, MoreLines* more, std::string* out) {
  while (true) {
    std::size_t i = 0;
    if (!ParseHexRun(s, &i, out)) return false;
    i = SkipSpace(s, i);
    if (i == s.size()) return true;
    if (s[i] != '\\') return false;
    if (!more->Next(&s)) return false;
    s = s.substr(SkipSpace(s, 0));
  }
}

void StoreDword(std::uint64_t number, std::string* out) {
  out->clear();
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
}

// The common quoted string, ASCII without escapes, is its own UTF-16 less
// the high bytes: read in place. False for anything else.
bool ReadPlainQuoted(std::string_view s, std::size_t* pos, std::string_view* run) {
  for (std::size_t i = *pos; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"') {
      *run = s.substr(*pos, i - *pos);
      *pos = i + 1;
      return true;
    }
    if (c == '\\' || c >= 0x80) return false;
  }
  return false;
}

struct DataType {
  std::string_view prefix;
  std::uint32_t type;
  enum Kind { kString, kHex, kDword, kHexTyped } kind;
};
constexpr DataType kDataTypes[] = {
    {"\"", kRegSz, DataType::kString},
    {"str:\"", kRegSz, DataType::kString},
    {"str(2):\"", kRegExpandSz, DataType::kString},
    {"str(7):\"", kRegMultiSz, DataType::kString},
    {"hex:", kRegBinary, DataType::kHex},
    {"dword:", kRegDword, DataType::kDword},
    {"hex(", kRegNone, DataType::kHexTyped},
};

// The data after "name=", at `pos`; false when the server would find it
// malformed.
bool ParseData(std::string_view s, std::size_t pos, MoreLines* more, WineHiveValue* value,
               bool data) {
  for (const DataType& type : kDataTypes) {
    if (!StartsWith(s, pos, type.prefix)) continue;
    pos += type.prefix.size();
    value->type = type.type;
    switch (type.kind) {
      case DataType::kString: {
        std::string_view run;
        if (ReadPlainQuoted(s, &pos, &run)) {
          if (data) {
            value->data.reserve(run.size() + 1);
            value->data.assign(run);
            value->data.push_back('\0');
            value->utf8 = true;
            value->utf16_size = run.size() * 2 + 2;
          }
          return true;  // what follows the closing quote does not count
        }
        std::u16string units;
        if (!DecodeString(s, &pos, '"', &units)) return false;
        units.push_back(0);
        if (data) {
          value->data = UnitsToUtf8(units);
          value->utf8 = true;
          value->utf16_size = units.size() * 2;
        }
        return true;
      }
      case DataType::kDword: {
        std::size_t end = 0;
        const std::uint64_t number = StrToULong16(s.substr(pos), &end);
        if (data) StoreDword(number, &value->data);
        return true;
      }
      case DataType::kHexTyped: {
        std::size_t end = 0;
        value->type = static_cast<std::uint32_t>(StrToULong16(s.substr(pos), &end));
        if (!StartsWith(s, pos + end, "):")) return false;
        pos += end + 2;
      }
        [[fallthrough]];
      case DataType::kHex:
        value->data.clear();
        return ParseHexData(s.substr(pos), more, data ? &value->data : nullptr);
    }
  }
  return false;
}

}  // namespace

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

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

bool IsBlank(char c) { return IsSpace(c) && c != '\n'; }

std::string_view TrimLeft(std::string_view s) {
  return s.substr(std::min(SkipSpace(s, 0), s.size()));
}

std::uint64_t StrToULong16(std::string_view s, std::size_t* end) {
  std::size_t i = SkipSpace(s, 0);
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const std::size_t zero = i;
  if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) i += 2;
  const std::size_t digits_begin = i;
  std::uint64_t value = 0;
  bool overflow = false;
  for (; i < s.size() && HexDigit(s[i]) >= 0; ++i) {
    if (value >> 60 != 0) overflow = true;
    value = value << 4 | static_cast<std::uint64_t>(HexDigit(s[i]));
  }
  if (i == digits_begin) {
    // "0x" with no digit after it is the number 0, read up to its "x".
    *end = digits_begin > zero ? zero + 1 : 0;
    return 0;
  }
  *end = i;
  if (overflow) return ~std::uint64_t{0};
  return negative ? ~value + 1 : value;
}

bool DecodeString(std::string_view s, std::size_t* pos, char end, std::u16string* out) {
  std::size_t i = *pos;
  while (i < s.size() && s[i] != end) {
    const char c = s[i];
    if (c != '\\') {
      if (static_cast<unsigned char>(c) < 0x80) {
        out->push_back(static_cast<char16_t>(c));
        ++i;
      } else {
        AppendCharacter(s, &i, out);
      }
      continue;
    }
    if (++i == s.size()) return false;
    const char e = s[i++];
    switch (e) {
      case 'a': out->push_back(0x07); break;
      case 'b': out->push_back(0x08); break;
      case 'e': out->push_back(0x1B); break;
      case 'f': out->push_back(0x0C); break;
      case 'n': out->push_back(0x0A); break;
      case 'r': out->push_back(0x0D); break;
      case 't': out->push_back(0x09); break;
      case 'v': out->push_back(0x0B); break;
      case 'x': {
        std::uint64_t v = 0;
        out->push_back(ReadHex(s, &i, 4, &v) ? static_cast<char16_t>(v) : u'x');
        break;
      }
      default:
        if (e >= '0' && e <= '7') {
          std::uint32_t v = static_cast<std::uint32_t>(e - '0');
          for (int n = 1; n < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++n) {
            v = v * 8 + static_cast<std::uint32_t>(s[i++] - '0');
          }
          out->push_back(static_cast<char16_t>(v));
        } else if (static_cast<unsigned char>(e) < 0x80) {
          out->push_back(static_cast<char16_t>(e));
        } else {
          --i;
          AppendCharacter(s, &i, out);
        }
    }
  }
  if (i >= s.size()) return false;
  *pos = i + 1;
  return true;
}

std::string UnitsToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  AppendWideAsUtf8(units.data(), units.size(), out);
  return out;
}

bool DecodeKeyPath(std::string_view line, std::size_t* pos, std::u16string* path) {
  return DecodeString(line, pos, ']', path);
}

bool FindKeyPathEnd(std::string_view line, bool* plain, std::size_t* after) {
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
  return DecodeKeyPath(line, after, &path);
}

bool KeyLineTime(std::string_view line, std::uint64_t* time) {
  bool plain = true;
  std::size_t after = 0;
  if (!FindKeyPathEnd(line, &plain, &after)) return false;
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

bool NamesLinkValue(std::string_view line) {
  if (line.size() < kLinkValueName.size() + 2 || line[0] != '"' ||
      line[kLinkValueName.size() + 1] != '"') {
    return false;
  }
  for (std::size_t i = 0; i < kLinkValueName.size(); ++i) {
    const char c = line[i + 1];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    const char want = kLinkValueName[i];
    if (lower != (want >= 'A' && want <= 'Z' ? static_cast<char>(want - 'A' + 'a') : want)) {
      return false;
    }
  }
  return true;
}

std::u16string LinkUnits(const WineHiveValue& value) {
  if (value.utf8) return Utf8ToWide(value.data);
  std::u16string units(value.data.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(value.data[2 * i]) |
                                     static_cast<unsigned char>(value.data[2 * i + 1]) << 8);
  }
  return units;
}

LinkTarget LinkTargetNames(std::u16string_view units, std::vector<std::string>* names) {
  constexpr std::size_t kNone = std::u16string_view::npos;
  names->clear();
  if (units.empty() || units[0] != u'\\') return LinkTarget::kNowhere;
  const std::size_t root_end = std::min(units.find(u'\\', 1), units.size());
  if (root_end == 1) return LinkTarget::kBadName;
  if (!SameName(UnitsToUtf8(units.substr(1, root_end - 1)), "Registry")) {
    return root_end < units.size() ? LinkTarget::kNoPath : LinkTarget::kNowhere;
  }
  // The namespace takes one backslash after "Registry"; the registry's root
  // key reads the rest. A second one there is an empty name, found only
  // when nothing but backslashes is left ("\Registry\\" is the root).
  std::size_t start = root_end + 1;
  if (start < units.size() && units[start] == u'\\') {
    return units.find_first_not_of(u'\\', start) == kNone ? LinkTarget::kKey
                                                           : LinkTarget::kNowhere;
  }
  while (start < units.size()) {
    const std::size_t stop = std::min(units.find(u'\\', start), units.size());
    names->push_back(UnitsToUtf8(units.substr(start, stop - start)));
    start = std::min(units.find_first_not_of(u'\\', stop), units.size());
  }
  return LinkTarget::kKey;
}

ValueLine ParseValueLine(std::string_view line, MoreLines* more, WineHiveValue* value, bool data) {
  std::size_t pos = 1;
  if (line[0] == '"') {
    std::string_view run;
    if (ReadPlainQuoted(line, &pos, &run)) {
      value->name.assign(run);
    } else {
      std::u16string name;
      if (!DecodeString(line, &pos, '"', &name)) return ValueLine::kIgnored;
      value->name = UnitsToUtf8(name);
    }
  } else {
    value->name.clear();  // "@", the default value
  }
  pos = SkipSpace(line, pos);
  if (pos >= line.size() || line[pos] != '=') return ValueLine::kIgnored;
  value->utf8 = false;
  value->utf16_size = 0;
  if (!ParseData(line, SkipSpace(line, pos + 1), more, value, data)) {
    value->type = kRegNone;
    value->data.clear();
    value->utf8 = false;
  }
  return ValueLine::kValue;
}

}  // namespace hive_text
}  // namespace tallyweb
