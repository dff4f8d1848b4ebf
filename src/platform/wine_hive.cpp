#include "platform/wine_hive.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/registry_names.h"

namespace tallyweb {
namespace {

using hive_text::LineReader;
using hive_text::TrimLeft;

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";
// Seconds between 1601-01-01 (FILETIME's epoch) and 1970-01-01.
constexpr std::uint64_t kUnixEpochSeconds = 11644473600ull;
constexpr std::uint64_t kFiletimeTicksPerSecond = 10000000ull;
// The longest key name the registry takes, in UTF-16 units: a key line with
// a longer one makes the keys before it and no more.
constexpr std::size_t kMaxKeyNameUnits = 256;

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && hive_text::IsBlank(s.back())) s.remove_suffix(1);
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

// Continuation lines of a value, from the reader the value line came from.
class ReaderLines : public hive_text::MoreLines {
 public:
  explicit ReaderLines(LineReader* lines) : lines_(lines) {}
  bool Next(std::string_view* line) override {
    std::size_t begin = 0;
    return lines_->Next(line, &begin);
  }

 private:
  LineReader* lines_;
};

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
                   ReleaseText release_text, ReadText read_text)
    : owned_(std::move(owned)),
      text_(text),
      owner_(std::move(owner)),
      release_text_(std::move(release_text)),
      read_text_(std::move(read_text)) {
  if (owner_ == nullptr) text_ = owned_;
  if (release_text_) stretches_read_.assign((text_.size() >> 16) / 64 + 1, 0);
}

std::unique_ptr<WineHive> WineHive::Parse(std::string text) {
  std::unique_ptr<WineHive> hive(new WineHive(std::move(text), std::string_view(), nullptr, nullptr, nullptr));
  if (!hive->Index()) return nullptr;
  return hive;
}

std::unique_ptr<WineHive> WineHive::Parse(std::string_view text, std::shared_ptr<const void> owner,
                                          ReleaseText release_text, ReadText read_text) {
  if (owner == nullptr) return Parse(std::string(text));
  std::unique_ptr<WineHive> hive(new WineHive(std::string(), text, std::move(owner),
                                              std::move(release_text), std::move(read_text)));
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
// going over the whole mapping each time costs as much as reading it. Keys
// read out of file order leave many short runs, each call flushing the TLB:
// then one call over their span costs less, and drops nothing else, since
// the pages between were given back before or never read.
void WineHive::ReleaseStretchesRead() const {
  constexpr std::size_t kStretch = std::size_t{1} << 16;
  constexpr std::size_t kMostCalls = 4;
  const std::size_t stretches = stretches_read_.size() * 64;
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  std::size_t run_begin = 0;
  bool in_run = false;
  for (std::size_t i = 0; i <= stretches; ++i) {
    const bool read = i < stretches && (stretches_read_[i / 64] >> (i % 64) & 1) != 0;
    if (read && !in_run) run_begin = i;
    if (!read && in_run) runs.emplace_back(run_begin * kStretch, std::min(i * kStretch, text_.size()));
    in_run = read;
  }
  if (runs.size() > kMostCalls) {
    release_text_(runs.front().first, runs.back().second);
  } else {
    for (const auto& run : runs) release_text_(run.first, run.second);
  }
  std::fill(stretches_read_.begin(), stretches_read_.end(), 0);
}

// One pass over the file, recording each key line. Values wait; but a hex
// value can take the lines after it as its own, which are then no key
// lines, so a value line that may go on is read as far as it goes.
bool WineHive::Index() {
  std::string_view text = text_;
  if (text.empty()) return false;
  // Wine writes a key every 200 bytes or so; one allocation is cheaper than
  // growing the array through a large hive, and the pages past the last key
  // are never touched.
  keys_.reserve(text.size() / 128 + 1);
  last_child_.reserve(keys_.capacity());
  if (read_text_) bracket_lines_.reserve(keys_.capacity());
  keys_.emplace_back();
  last_child_.push_back(kNone);
  parents_.push_back(kNone);
  LineReader lines(text, 0, text.size());
  std::string_view line;
  std::size_t line_begin = 0;
  if (!lines.Next(&line, &line_begin) || line != kHeader) return false;
  bool have_key = false;
  IndexCursor cursor;
  WineHiveValue scratch;
  ReaderLines more(&lines);
  while (lines.Next(&line, &line_begin)) {
    Touch(line_begin);
    std::string_view trimmed = TrimLeft(line);
    if (trimmed.empty()) continue;
    switch (trimmed[0]) {
      case '[':
        if (read_text_) bracket_lines_.push_back(line_begin);
        have_key = AddKeyLine(trimmed, static_cast<std::size_t>(trimmed.data() - text.data()), &cursor);
        break;
      case '@':
      case '"':
        if (have_key && hive_text::MayContinue(trimmed)) {
          hive_text::ParseValueLine(trimmed, &more, &scratch, false);
        }
        break;
      case '#':
        if (keys_.size() == 1 && StartsWith(trimmed, "#arch=")) {
          win64_ = TrimRight(trimmed) == "#arch=win64";
        }
        break;
      default:
        break;  // the server skips a line it does not know
    }
  }
  std::vector<KeyId>().swap(last_child_);
  std::vector<Slot>().swap(disordered_);
  if (keys_out_of_order_ && read_text_) {
    // Room for every name Children will copy, once: see copied_names_.
    std::size_t copied = 0;
    for (KeyId id = 1; id < keys_.size(); ++id) {
      if ((keys_[parents_[id]].flags & kChildrenInOrder) == 0 &&
          (keys_[id].flags & kDecodedName) == 0) {
        copied += keys_[id].name_size;
      }
    }
    if (copied <= 0xFFFFFFFFu) copied_names_.reserve(copied);
  } else {
    std::vector<std::uint64_t>().swap(bracket_lines_);
  }
  std::vector<KeyId>().swap(parents_);
  // A key's later lines, found by key: stable, so each key's stay in file order.
  std::stable_sort(more_lines_.begin(), more_lines_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
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
  return hive_text::DecodeKeyPath(line, after, &path);
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

std::uint32_t ShortHash(std::uint64_t hash) {
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

// The slot a short hash starts from in a table of mask + 1 slots.
std::size_t SlotOf(std::uint32_t hash, std::size_t mask) {
  return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ull) >> 20) & mask;
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
// False when the line makes no key: no "]", or a name too long, after which
// the server drops the values that follow.
bool WineHive::AddKeyLine(std::string_view line, std::size_t line_begin, IndexCursor* cursor) {
  bool plain = true;
  std::size_t after = 0;
  if (!FindPathEnd(line, &plain, &after)) return false;
  KeyId node = kRoot;
  if (plain) {
    std::string_view path = line.substr(1, after - 2);
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
        if (stop - start > kMaxKeyNameUnits) return false;
        cursor->parent = node;
        cursor->parent_path = path.substr(0, start);
        node = FindOrAddChild(node, path.substr(start, stop - start), line_begin, 1 + start);
      }
      start = stop + 1;
    }
  } else {
    std::u16string path;
    std::size_t end = 1;
    hive_text::DecodeKeyPath(line, &end, &path);
    for (std::size_t start = 0; start < path.size();) {
      std::size_t stop = std::min(path.find(u'\\', start), path.size());
      if (stop > start) {
        if (stop - start > kMaxKeyNameUnits) return false;
        std::string name = hive_text::UnitsToUtf8(std::u16string_view(path).substr(start, stop - start));
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
  return true;
}

std::string_view WineHive::NameView(KeyId key) const {
  const Key& k = keys_[key];
  if (k.name_size == 0) return std::string_view();
  if ((k.flags & kDecodedName) != 0) return decoded_names_[k.name_begin];
  if ((k.flags & kCopiedName) != 0) return std::string_view(copied_names_).substr(k.name_begin, k.name_size);
  const std::size_t begin = static_cast<std::size_t>(k.line) + k.name_begin;
  Touch(begin);
  return text_.substr(begin, k.name_size);
}

// Wine writes keys sorted, so a new name usually sorts after the parent's
// last child and cannot already be there. Once a parent's children come out
// of order, they are found by a hash of parent and name, filled for that
// parent once: a hand-edited hive may list its keys in any order. A new key
// keeps where its name is in the text: `name_begin` within the line at
// `line`, npos for a decoded name.
WineHive::KeyId WineHive::FindOrAddChild(KeyId parent, std::string_view name, std::uint64_t line,
                                         std::size_t name_begin) {
  bool in_order = true;
  const KeyId last = last_child_[parent];
  auto hash_of = [parent](std::string_view n) {
    return HashName(n) * 31 + parent;
  };
  if ((keys_[parent].flags & kChildrenInOrder) == 0) {
    in_order = false;  // no use comparing with the last child, far back in the text
  } else if (last != kNone) {
    int order = CompareNames(NameView(last), name);
    if (order == 0) return last;
    in_order = order < 0;
  }
  if (!in_order) {
    if ((keys_[parent].flags & kChildrenInOrder) != 0) {
      keys_[parent].flags &= static_cast<std::uint8_t>(~kChildrenInOrder);
      keys_out_of_order_ = true;
      for (KeyId child = keys_[parent].first_child; child != kNone; child = keys_[child].next_sibling) {
        AddDisordered(hash_of(NameView(child)), child);
      }
    }
    const std::uint32_t hash = ShortHash(hash_of(name));
    const std::size_t mask = disordered_.size() - 1;
    for (std::size_t slot = SlotOf(hash, mask); !disordered_.empty() && disordered_[slot].key != kNone;
         slot = (slot + 1) & mask) {
      const KeyId child = disordered_[slot].key;
      if (disordered_[slot].hash == hash && parents_[child] == parent && SameName(NameView(child), name)) {
        return child;
      }
    }
  }
  // A key's name is read again for every path through it: once it has
  // subkeys it keeps a copy, so that paths in any order do not send the
  // reader back through the text.
  if (parent != kRoot && (keys_[parent].flags & kDecodedName) == 0) {
    const std::string_view parent_name = NameView(parent);
    keys_[parent].name_begin = static_cast<std::uint32_t>(decoded_names_.size());
    decoded_names_.emplace_back(parent_name);
    keys_[parent].flags |= kDecodedName;
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
  parents_.push_back(parent);
  Key& p = keys_[parent];
  if (last == kNone) {
    p.first_child = id;
  } else {
    keys_[last].next_sibling = id;
  }
  last_child_[parent] = id;
  ++p.child_count;
  if (!in_order) AddDisordered(hash_of(name), id);
  return id;
}

void WineHive::AddDisordered(std::uint64_t hash, KeyId key) {
  // At most half full, so that a search soon meets an empty slot.
  if (2 * (disordered_count_ + 1) > disordered_.size()) {
    std::vector<Slot> old(std::max<std::size_t>(64, 2 * disordered_.size()));
    old.swap(disordered_);
    const std::size_t mask = disordered_.size() - 1;
    for (const Slot& s : old) {
      if (s.key == kNone) continue;
      std::size_t slot = SlotOf(s.hash, mask);
      while (disordered_[slot].key != kNone) slot = (slot + 1) & mask;
      disordered_[slot] = s;
    }
  }
  const std::size_t mask = disordered_.size() - 1;
  Slot s;
  s.hash = ShortHash(hash);
  s.key = key;
  std::size_t slot = SlotOf(s.hash, mask);
  while (disordered_[slot].key != kNone) slot = (slot + 1) & mask;
  disordered_[slot] = s;
  ++disordered_count_;
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
  if ((keys_[key].flags & kChildrenInOrder) == 0 && CopyNames(children)) {
    std::stable_sort(children.begin(), children.end(), [this](KeyId a, KeyId b) {
      return CompareNames(NameView(a), NameView(b)) < 0;
    });
  } else if ((keys_[key].flags & kChildrenInOrder) == 0) {
    // Sorted from a copy of the names, taken in file order: sorting over the
    // text itself would read it all over in random order, again and again
    // as the pages read are given back.
    std::string names;
    std::vector<std::pair<std::size_t, KeyId>> order;
    order.reserve(children.size());
    for (KeyId child : children) {
      order.emplace_back(names.size(), child);
      names.append(NameView(child));
    }
    auto name_of = [&](const std::pair<std::size_t, KeyId>& entry) {
      return std::string_view(names).substr(entry.first, keys_[entry.second].name_size);
    };
    std::stable_sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
      return CompareNames(name_of(a), name_of(b)) < 0;
    });
    for (std::size_t i = 0; i < order.size(); ++i) children[i] = order[i].second;
  }
  for (KeyId child : children) {
    list.longest_name = std::max<std::size_t>(list.longest_name, keys_[child].name_size);
  }
  return list;
}

// Copies the names of `children` that are in the text, in file order, into
// the room Index reserved when keys are read through copies; false when
// there is none, and nothing is copied.
bool WineHive::CopyNames(const std::vector<KeyId>& children) {
  if (bracket_lines_.empty()) return false;
  std::size_t size = 0;
  for (KeyId child : children) {
    if ((keys_[child].flags & (kDecodedName | kCopiedName)) == 0) size += keys_[child].name_size;
  }
  if (size == 0 || copied_names_.capacity() - copied_names_.size() < size) return false;
  for (KeyId child : children) {
    Key& k = keys_[child];
    if ((k.flags & (kDecodedName | kCopiedName)) != 0) continue;
    const std::string_view name = NameView(child);
    k.name_begin = static_cast<std::uint32_t>(copied_names_.size());
    copied_names_.append(name);
    k.flags |= kCopiedName;
  }
  return true;
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
    auto range = std::equal_range(more_lines_.begin(), more_lines_.end(), std::make_pair(key, std::size_t{0}),
                                  [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto it = range.first; it != range.second; ++it) lines.push_back(it->second);
  }
  return lines;
}

// The lines below each key line of `key`, then the values sorted by name as
// the registry keeps them, a later line for a name giving the data and the
// first the name's spelling.
void WineHive::ParseValues(KeyId key, Parsed* parsed) {
  const Key& k = keys_[key];
  if ((k.flags & kMoreLines) == 0) {
    if ((k.flags & kOwnLine) != 0) ParseBody(KeyText(k.line), k.line, parsed);
  } else {
    for (std::size_t line : OwnLines(key)) ParseBody(KeyText(line), line, parsed);
  }
  std::vector<WineHiveValue>& values = parsed->values;
  if (values.size() < 2) return;
  std::stable_sort(values.begin(), values.end(), [](const WineHiveValue& a, const WineHiveValue& b) {
    return CompareNames(a.name, b.name) < 0;
  });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (kept > 0 && SameName(values[kept - 1].name, values[i].name)) {
      values[kept - 1].type = values[i].type;
      std::swap(values[kept - 1].data, values[i].data);
    } else if (kept != i) {
      std::swap(values[kept++], values[i]);
    } else {
      ++kept;
    }
  }
  values.resize(kept);
}

// The text from the key line at `line` on: up to the next line that starts
// with "[", read through read_text_ when keys are out of order, else the
// rest of the text in place. A key of more than 64 KiB is read in place
// all the same: its pages are read through, and a copy would cost as much
// memory again. Valid until the next call.
std::string_view WineHive::KeyText(std::size_t line) {
  constexpr std::size_t kMostCopied = std::size_t{1} << 16;
  std::size_t end = text_.size();
  if (!bracket_lines_.empty()) {
    auto next = std::upper_bound(bracket_lines_.begin(), bracket_lines_.end(), line);
    if (next != bracket_lines_.end()) end = static_cast<std::size_t>(*next);
  }
  if (bracket_lines_.empty() || end - line > kMostCopied) {
    Touch(line);
    return text_.substr(line, end - line);
  }
  key_text_.resize(end - line);
  key_text_.resize(read_text_(line, end, &key_text_[0]));
  return key_text_;
}

// The lines below the key line that starts `text` (at `key_line` in the hive's
// text), up to the next key line, read as Index read them: a hex value's
// continuation lines are its own, never key lines.
void WineHive::ParseBody(std::string_view text, std::size_t key_line, Parsed* parsed) {
  const bool in_place = text.data() != key_text_.data();
  LineReader lines(text, NextLineBegin(text, 0), text.size());
  ReaderLines more(&lines);
  std::string_view line;
  std::size_t line_begin = 0;
  while (lines.Next(&line, &line_begin)) {
    if (in_place) Touch(key_line + line_begin);
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
  }
}

const std::vector<WineHiveValue>& WineHive::Values(KeyId key) {
  auto found = parsed_.find(key);
  if (found != parsed_.end()) return found->second.values;
  Parsed* parsed = &parsed_[key];
  ParseValues(key, parsed);
  return parsed->values;
}

void WineHive::ForgetValues(KeyId key) { parsed_.erase(key); }

const WineHiveValue* WineHive::FindValue(KeyId key, std::string_view name) {
  const std::vector<WineHiveValue>& values = Values(key);
  auto it = std::lower_bound(values.begin(), values.end(), name,
                             [](const WineHiveValue& v, std::string_view n) {
                               return CompareNames(v.name, n) < 0;
                             });
  return it != values.end() && SameName(it->name, name) ? &*it : nullptr;
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
    std::uint64_t time = 0;
    if (KeyLineTime(LineAt(KeyText(line), 0), &time)) last_write_time = time;
  }
  return last_write_time;
}

}  // namespace tallyweb
