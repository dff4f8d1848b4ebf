// The key index of a Wine hive file: see hive_key_index.h.
#include "winehive/hive_key_index.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "registry/registry_names.h"
#include "winehive/wine_hive_text.h"

namespace tallyweb {
namespace {

using hive_text::LineReader;
using hive_text::StartsWith;
using hive_text::TrimLeft;

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";
// The longest key name the registry takes, in UTF-16 units: a key line with
// a longer one makes the keys before it and no more.
constexpr std::size_t kMaxKeyNameUnits = 256;

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

}  // namespace

std::unique_ptr<HiveKeyIndex> HiveKeyIndex::Build(std::string owned, std::string_view text,
                                                  std::shared_ptr<const void> owner,
                                                  HiveTextSource::ReleaseText release_text,
                                                  HiveTextSource::ReadText read_text) {
  std::unique_ptr<HiveKeyIndex> index(new HiveKeyIndex(
      std::move(owned), text, std::move(owner), std::move(release_text), std::move(read_text)));
  if (!index->Index()) return nullptr;
  return index;
}

// One pass over the file, recording each key line. Values wait; but a hex
// value can take the lines after it as its own, which are then no key
// lines, so a value line that may go on is read as far as it goes.
bool HiveKeyIndex::Index() {
  std::string_view text = source_.text();
  if (text.empty()) return false;
  // Wine writes a key every 200 bytes or so; one allocation is cheaper than
  // growing the array through a large hive, and the pages past the last key
  // are never touched.
  keys_.reserve(text.size() / 128 + 1);
  last_child_.reserve(keys_.capacity());
  if (source_.CanCopy()) source_.ReserveBracketLines(keys_.capacity());
  keys_.emplace_back();
  last_child_.push_back(kNone);
  parents_.push_back(kNone);
  LineReader lines(text, 0, text.size(), LineReader::kFirstBuffer, &line_buffers_);
  std::string_view line;
  std::size_t line_begin = 0;
  if (!lines.Next(&line, &line_begin) || line != kHeader) return false;
  bool have_key = false;
  IndexCursor cursor;
  WineHiveValue scratch;
  hive_text::ReaderLines more(&lines);
  bool loading = true;
  while (loading && lines.Next(&line, &line_begin)) {
    Touch(line_begin, lines.Position());
    std::string_view trimmed = TrimLeft(line);
    if (trimmed.empty()) continue;
    switch (trimmed[0]) {
      case '[':
        if (source_.CanCopy()) source_.AddBracketLine(line_begin);
        have_key = AddKeyLine(trimmed, static_cast<std::size_t>(trimmed.data() - text.data()),
                              &cursor);
        break;
      case '@':
      case '"':
        if (have_key && hive_text::NamesLinkValue(trimmed)) {
          // A link's target, kept for key lines that pass through it.
          if (hive_text::ParseValueLine(trimmed, &more, &scratch) == hive_text::ValueLine::kValue) {
            link_units_[cursor.key] = hive_text::LinkUnits(scratch);
          }
        } else if (have_key && hive_text::MayContinue(trimmed)) {
          hive_text::ParseValueLine(trimmed, &more, &scratch, false);
        }
        break;
      case '#':
        // An option of the key of the last key line; with none (before the
        // first, or after one the server could not read), of the file.
        if (have_key) {
          if (StartsWith(trimmed, "#link") && cursor.key != kRoot) keys_[cursor.key].flags |= kLink;
        } else if (StartsWith(trimmed, "#arch=")) {
          loading = ReadArch(trimmed.substr(6));
        }
        break;
      default: break;  // the server skips a line it does not know
    }
  }
  std::vector<KeyId>().swap(last_child_);
  std::vector<Slot>().swap(disordered_);
  std::unordered_map<KeyId, std::u16string>().swap(link_units_);
  if (keys_out_of_order_ && source_.CanCopy()) {
    // Room for every name Children will copy, once: see copied_names_.
    std::size_t copied = 0;
    for (KeyId id = 1; id < keys_.size(); ++id) {
      if (parents_[id] != kNone && (keys_[parents_[id]].flags & kChildrenInOrder) == 0 &&
          (keys_[id].flags & kDecodedName) == 0) {
        copied += keys_[id].name_size;
      }
    }
    if (copied <= 0xFFFFFFFFu) copied_names_.reserve(copied);
  } else {
    source_.DropBracketLines();
  }
  std::vector<KeyId>().swap(parents_);
  // A key's later lines, found by key: stable, so each key's stay in file order.
  std::stable_sort(more_lines_.begin(), more_lines_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return true;
}

// The server takes the first "#arch=" of a file for the file's, and stops
// loading at one it does not know or that says otherwise ("Mismatched
// architecture"): the keys after it are not there. The name is the rest of
// the line as it is, blanks and all.
bool HiveKeyIndex::ReadArch(std::string_view arch) {
  const Arch named = arch == "win32" ? Arch::k32 : arch == "win64" ? Arch::k64 : Arch::kUnknown;
  if (named == Arch::kUnknown) return false;
  if (arch_ == Arch::kUnknown) arch_ = named;
  win64_ = arch_ == Arch::k64;
  return arch_ == named;
}

std::size_t HiveKeyIndex::LineBufferAt(std::size_t offset) const {
  auto after = std::upper_bound(
      line_buffers_.begin(), line_buffers_.end(), offset,
      [](std::size_t o, const hive_text::LineBufferGrowth& g) { return o < g.offset; });
  return after == line_buffers_.begin() ? LineReader::kFirstBuffer : std::prev(after)->size;
}

// "[Path\\To\\Key] seconds": the path is relative to the hive's root; runs of
// backslashes separate names, as Wine reads them. Keys on the way that have
// no line of their own (Wine writes only keys with values or without
// subkeys) are made here. The seconds are read when the key's values are.
// False when the line makes no key: no "]", or a name too long, after which
// the server drops the values that follow.
bool HiveKeyIndex::AddKeyLine(std::string_view line, std::size_t line_begin, IndexCursor* cursor) {
  bool plain = true;
  std::size_t after = 0;
  if (!hive_text::FindKeyPathEnd(line, &plain, &after)) return false;
  KeyId node = kRoot;
  if (plain) {
    std::string_view path = line.substr(1, after - 2);
    // Wine writes sibling keys one after another: a path that starts with the
    // same bytes as the last one's parent starts at the same key.
    std::size_t start = 0;
    if (!cursor->parent_path.empty() && StartsWith(path, cursor->parent_path) &&
        !IsLink(cursor->parent)) {
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
        if (!FollowWhileIndexing(&node, line_begin, 0)) return false;
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
        std::string name = hive_text::UnitsToUtf8(
            std::u16string_view(path).substr(start, stop - start));
        node = FindOrAddChild(node, name, line_begin, std::string::npos);
        if (!FollowWhileIndexing(&node, line_begin, 0)) return false;
      }
      start = stop + 1;
    }
  }
  cursor->key = node;
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

// A key line whose path reaches a link key goes on from the link's target,
// as the server loads it: the target is made when missing (not the keys on
// the way to it), and what the line brings (its values, the keys below it)
// lands there. A link without a target, or more than 16 deep, makes no key.
bool HiveKeyIndex::FollowWhileIndexing(KeyId* node, std::size_t line_begin, int depth) {
  constexpr int kMostLinks = 16;
  constexpr int kMostFollowed = 4096;  // as WineHive::Follow
  if (depth == 0) links_left_ = kMostFollowed;
  if (depth > kMostLinks || links_left_ <= 0) return false;
  if (*node == kRoot || !IsLink(*node)) return true;
  --links_left_;
  auto units = link_units_.find(*node);
  std::vector<std::string> names;
  if (units == link_units_.end() || !hive_text::LinkTargetNames(units->second, &names)) {
    return false;
  }
  std::size_t first = 0;
  KeyId at = LinkStart(names, &first);
  if (at == kNone) {
    // The registry's root: a key of its own, which no path of this hive
    // reaches, only a link.
    at = registry_root_ = static_cast<KeyId>(keys_.size());
    keys_.emplace_back();
    last_child_.push_back(kNone);
    parents_.push_back(kNone);
  }
  // The keys on the way must be there; the last is made when missing. (A
  // key looked up here is found by its hash from then on: a hostile hive
  // may send many key lines through a link.)
  for (std::size_t i = first; i < names.size(); ++i) {
    if (i + 1 < names.size()) {
      if (keys_[at].child_count == 0) return false;
      Disorder(at);
      at = FindDisordered(at, names[i]);
      if (at == kNone) return false;
    } else {
      at = FindOrAddChild(at, names[i], line_begin, std::string::npos);
    }
    if (!FollowWhileIndexing(&at, line_begin, depth + 1)) return false;
  }
  *node = at;
  return true;
}

HiveKeyIndex::KeyId HiveKeyIndex::LinkStart(const std::vector<std::string>& names,
                                            std::size_t* first) const {
  const bool machine = !names.empty() && SameName(names[0], "Machine");
  *first = machine ? 1 : 0;
  return machine ? kRoot : registry_root_;
}

std::string_view HiveKeyIndex::NameView(KeyId key) const {
  const Key& k = keys_[key];
  if (k.name_size == 0) return std::string_view();
  if ((k.flags & kDecodedName) != 0) return decoded_names_[k.name_begin];
  if ((k.flags & kCopiedName) != 0)
    return std::string_view(copied_names_).substr(k.name_begin, k.name_size);
  const std::size_t begin = static_cast<std::size_t>(k.line) + k.name_begin;
  Touch(begin);
  return source_.text().substr(begin, k.name_size);
}

// Wine writes keys sorted, so a new name usually sorts after the parent's
// last child and cannot already be there. Once a parent's children come out
// of order, they are found by a hash of parent and name, filled for that
// parent once: a hand-edited hive may list its keys in any order. A new key
// keeps where its name is in the text: `name_begin` within the line at
// `line`, npos for a decoded name.
HiveKeyIndex::KeyId HiveKeyIndex::FindOrAddChild(KeyId parent, std::string_view name,
                                                 std::uint64_t line, std::size_t name_begin) {
  bool in_order = true;
  const KeyId last = last_child_[parent];
  auto hash_of = [parent](std::string_view n) { return HashName(n) * 31 + parent; };
  if ((keys_[parent].flags & kChildrenInOrder) == 0) {
    in_order = false;  // no use comparing with the last child, far back in the text
  } else if (last != kNone) {
    int order = CompareNames(NameView(last), name);
    if (order == 0) return last;
    in_order = order < 0;
  }
  if (!in_order) {
    Disorder(parent);
    const KeyId child = FindDisordered(parent, name);
    if (child != kNone) return child;
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

// From now on the children of `parent` are found by their hash.
void HiveKeyIndex::Disorder(KeyId parent) {
  if ((keys_[parent].flags & kChildrenInOrder) == 0) return;
  keys_[parent].flags &= static_cast<std::uint8_t>(~kChildrenInOrder);
  keys_out_of_order_ = true;
  for (KeyId child = keys_[parent].first_child; child != kNone; child = keys_[child].next_sibling) {
    AddDisordered(HashName(NameView(child)) * 31 + parent, child);
  }
}

HiveKeyIndex::KeyId HiveKeyIndex::FindDisordered(KeyId parent, std::string_view name) const {
  const std::uint32_t hash = ShortHash(HashName(name) * 31 + parent);
  const std::size_t mask = disordered_.size() - 1;
  for (std::size_t slot = SlotOf(hash, mask);
       !disordered_.empty() && disordered_[slot].key != kNone; slot = (slot + 1) & mask) {
    const KeyId child = disordered_[slot].key;
    if (disordered_[slot].hash == hash && parents_[child] == parent &&
        SameName(NameView(child), name)) {
      return child;
    }
  }
  return kNone;
}

void HiveKeyIndex::AddDisordered(std::uint64_t hash, KeyId key) {
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

HiveKeyIndex::ChildList& HiveKeyIndex::Children(KeyId key) {
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
bool HiveKeyIndex::CopyNames(const std::vector<KeyId>& children) {
  if (!source_.CopiesKeys()) return false;
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

std::size_t HiveKeyIndex::LongestChildName(KeyId key) {
  return keys_[key].child_count == 0 ? 0 : Children(key).longest_name;
}

bool HiveKeyIndex::FindChild(KeyId key, std::string_view name, KeyId* child) {
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

// The key lines of `key` in file order.
std::vector<std::size_t> HiveKeyIndex::OwnLines(KeyId key) const {
  const Key& k = keys_[key];
  std::vector<std::size_t> lines;
  if ((k.flags & kOwnLine) != 0) lines.push_back(static_cast<std::size_t>(k.line));
  if ((k.flags & kMoreLines) != 0) {
    auto range = std::equal_range(more_lines_.begin(), more_lines_.end(),
                                  std::make_pair(key, std::size_t{0}),
                                  [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto it = range.first; it != range.second; ++it) lines.push_back(it->second);
  }
  return lines;
}

bool HiveKeyIndex::KeyLineTime(std::size_t line, std::uint64_t* time) {
  bool in_place = false;
  return hive_text::KeyLineTime(LineAt(KeyText(line, &in_place), 0), time);
}

}  // namespace tallyweb
