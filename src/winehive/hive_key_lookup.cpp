// What the key index answers once built: names, subkeys sorted the first
// time they are asked for, a key's lines. See hive_key_index.h.
#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "registry/registry_names.h"
#include "winehive/hive_key_index.h"
#include "winehive/wine_hive_text.h"

namespace tallyweb {
namespace {

// The line at `begin`, without its line end.
std::string_view LineAt(std::string_view text, std::size_t begin) {
  std::string_view line;
  std::size_t line_begin = 0;
  hive_text::LineReader(text, begin, text.size()).Next(&line, &line_begin);
  return line;
}

}  // namespace

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

HiveKeyIndex::KeyId HiveKeyIndex::LinkStart(const std::vector<std::string>& names,
                                            std::size_t* first) const {
  const bool machine = !names.empty() && SameName(names[0], "Machine");
  *first = machine ? 1 : 0;
  return machine ? kRoot : registry_root_;
}

std::size_t HiveKeyIndex::LineBufferAt(std::size_t offset) const {
  auto after = std::upper_bound(
      line_buffers_.begin(), line_buffers_.end(), offset,
      [](std::size_t o, const hive_text::LineBufferGrowth& g) { return o < g.offset; });
  return after == line_buffers_.begin() ? hive_text::LineReader::kFirstBuffer
                                        : std::prev(after)->size;
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
