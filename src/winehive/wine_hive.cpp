// The values of a hive's keys, parsed when asked for: see wine_hive.h.
#include "winehive/wine_hive.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "registry/registry_names.h"
#include "text/utf.h"

namespace tallyweb {
namespace {

using hive_text::LineReader;
using hive_text::ReadHex;
using hive_text::StartsWith;
using hive_text::TrimLeft;

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
  *out = hive_text::UnitsToUtf8(units);
}

}  // namespace

std::string Utf16ToUtf8(std::string_view utf16le) {
  std::string utf8;
  AssignUtf16AsUtf8(utf16le, &utf8);
  return utf8;
}

bool DeliveredAsKept(const WineHiveValue& value) {
  const bool text = value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz;
  return value.utf8 || !text;
}

void DeliverData(const WineHiveValue& value, std::string* out) {
  if (DeliveredAsKept(value)) {
    out->assign(value.data);
  } else {
    AssignUtf16AsUtf8(value.data, out);
  }
}

std::size_t StoredSize(const WineHiveValue& value) {
  return value.utf8 ? value.utf16_size : value.data.size();
}

std::size_t AnsiSize(const WineHiveValue& value) {
  const bool text = value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz;
  return text ? StoredSize(value) / 2 : value.data.size();
}

std::string StoredData(const WineHiveValue& value) {
  if (!value.utf8) return value.data;
  std::string bytes;
  bytes.reserve(value.utf16_size);
  for (char16_t unit : Utf8ToWide(value.data)) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

std::string DeliveredData(const WineHiveValue& value) {
  std::string bytes;
  DeliverData(value, &bytes);
  return bytes;
}

std::unique_ptr<WineHive> WineHive::Parse(std::string text) {
  auto index = HiveKeyIndex::Build(std::move(text), std::string_view(), nullptr, nullptr, nullptr);
  if (index == nullptr) return nullptr;
  return std::unique_ptr<WineHive>(new WineHive(std::move(index)));
}

std::unique_ptr<WineHive> WineHive::Parse(std::string_view text, std::shared_ptr<const void> owner,
                                          ReleaseText release_text, ReadText read_text) {
  if (owner == nullptr) return Parse(std::string(text));
  auto index = HiveKeyIndex::Build(std::string(), text, std::move(owner), std::move(release_text),
                                   std::move(read_text));
  if (index == nullptr) return nullptr;
  return std::unique_ptr<WineHive>(new WineHive(std::move(index)));
}

// The lines below each key line of `key`, then the values sorted by name as
// the registry keeps them, a later line for a name giving the data and the
// first the name's spelling.
void WineHive::ParseValues(KeyId key, Parsed* parsed) {
  for (std::size_t line : index_->OwnLines(key)) {
    bool in_place = false;
    const std::string_view text = index_->KeyText(line, &in_place);
    ParseBody(text, in_place, line, parsed);
  }
  std::vector<WineHiveValue>& values = parsed->values;
  if (values.size() < 2) return;
  std::stable_sort(values.begin(), values.end(),
                   [](const WineHiveValue& a, const WineHiveValue& b) {
                     return CompareNames(a.name, b.name) < 0;
                   });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (kept > 0 && SameName(values[kept - 1].name, values[i].name)) {
      std::swap(values[kept - 1].name, values[i].name);
      std::swap(values[kept - 1], values[i]);
    } else if (kept != i) {
      std::swap(values[kept++], values[i]);
    } else {
      ++kept;
    }
  }
  values.resize(kept);
}

// The lines below the key line that starts `text` (at `key_line` in the hive's
// text), up to the next key line, read as the index read them: a hex value's
// continuation lines are its own, never key lines.
void WineHive::ParseBody(std::string_view text, bool in_place, std::size_t key_line,
                         Parsed* parsed) {
  // From the key line itself, read as the index read it: a NUL in it can
  // leave the rest of it to the lines below.
  LineReader lines(text, 0, text.size(), index_->LineBufferAt(key_line));
  hive_text::ReaderLines more(&lines);
  std::string_view line;
  std::size_t line_begin = 0;
  lines.Next(&line, &line_begin);
  while (lines.Next(&line, &line_begin)) {
    if (in_place) index_->Touch(key_line + line_begin);
    std::string_view trimmed = TrimLeft(line);
    if (trimmed.empty()) continue;
    if (trimmed[0] == '[') return;
    std::uint64_t time = 0;
    std::size_t pos = 6;
    if (StartsWith(trimmed, "#time=") && ReadHex(trimmed, &pos, 16, &time)) {
      parsed->time_option = time;
      parsed->has_time_option = true;
    }
    if (trimmed[0] != '"' && trimmed[0] != '@') continue;
    WineHiveValue value;
    if (hive_text::ParseValueLine(trimmed, &more, &value) == hive_text::ValueLine::kValue) {
      parsed->values.push_back(std::move(value));
    }
    // Read through now, with what continued it: a long value's pages can go.
    if (in_place) index_->Touch(key_line + line_begin, key_line + lines.Position());
  }
}

const std::vector<WineHiveValue>& WineHive::Values(KeyId key, bool* parsed_now) {
  auto found = parsed_.find(key);
  if (parsed_now != nullptr) *parsed_now = found == parsed_.end();
  if (found != parsed_.end()) return found->second.values;
  Parsed* parsed = &parsed_[key];
  ParseValues(key, parsed);
  return parsed->values;
}

const WineHiveValue* WineHive::FindValue(KeyId key, std::string_view name, bool* parsed_now) {
  const std::vector<WineHiveValue>& values = Values(key, parsed_now);
  auto it = std::lower_bound(
      values.begin(), values.end(), name,
      [](const WineHiveValue& v, std::string_view n) { return CompareNames(v.name, n) < 0; });
  return it != values.end() && SameName(it->name, name) ? &*it : nullptr;
}

// As the wine server follows a link: its value names a key from the
// registry's root (hive_text::LinkTargetNames), each name of which may be a
// link again; more than 16 links deep is a loop. This hive is
// \Registry\Machine: a link to the registry's root, or out of this hive,
// finds only the keys that key lines through links made there (the other
// hives, and the keys the server makes at start-up, are not read), and the
// hive's root itself is never taken for a link.
WineHive::Link WineHive::Follow(KeyId key, KeyId* target, int depth) {
  constexpr int kMostLinks = 16;
  // Each name of a link's target may be a link again: a hostile hive could
  // make that tree of links 16 deep and as wide as it likes. The server
  // would follow it all; here a few thousand links end the search.
  constexpr int kMostFollowed = 4096;
  if (depth == 0) links_left_ = kMostFollowed;
  if (depth > kMostLinks || links_left_ <= 0) return Link::kTooDeep;
  if (key == kRoot || !index_->IsLink(key)) {
    *target = key;
    return Link::kFollowed;
  }
  --links_left_;
  const WineHiveValue* value = FindValue(key, hive_text::kLinkValueName);
  if (value == nullptr) return Link::kNowhere;
  std::vector<std::string> names;
  switch (hive_text::LinkTargetNames(hive_text::LinkUnits(*value), &names)) {
    case hive_text::LinkTarget::kKey: break;
    case hive_text::LinkTarget::kNowhere: return Link::kNowhere;
    case hive_text::LinkTarget::kNoPath: return Link::kNoPath;
    case hive_text::LinkTarget::kBadName: return Link::kBadName;
  }
  std::size_t first = 0;
  KeyId node = index_->LinkStart(names, &first);
  for (std::size_t i = first; i < names.size(); ++i) {
    if (!FindChild(node, names[i], &node)) return Link::kNowhere;
    const Link followed = Follow(node, &node, depth + 1);
    if (followed != Link::kFollowed) return followed;
  }
  *target = node;
  return Link::kFollowed;
}

// The "#time=" option wins over the seconds on the key's last key line that
// has them. Only a key's info asks for this, so the key lines are read here
// rather than with the values.
std::uint64_t WineHive::LastWriteTime(KeyId key) {
  Values(key);
  const Parsed& parsed = parsed_.find(key)->second;
  if (parsed.has_time_option) return parsed.time_option;
  std::uint64_t last_write_time = 0;
  for (std::size_t line : index_->OwnLines(key)) {
    std::uint64_t time = 0;
    if (index_->KeyLineTime(line, &time)) last_write_time = time;
  }
  return last_write_time;
}

}  // namespace tallyweb
