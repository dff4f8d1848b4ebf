// The key index's tree while it is built: a parent's subkey found or added
// for each name of each key line. See hive_key_index.h.
#include <string>

#include "registry/registry_names.h"
#include "winehive/hive_key_index.h"

namespace tallyweb {
namespace {

// The hash a subkey is found by in disordered_: its name's, as the registry
// compares names, times an odd number, which loses none of its bits, plus
// its parent's number, which tells apart subkeys of one name under two keys.
std::uint64_t ChildHash(HiveKeyIndex::KeyId parent, std::string_view name) {
  constexpr std::uint64_t kOddFactor = 31;
  return HashName(name) * kOddFactor + parent;
}

}  // namespace

static_assert(KeyHashTable::kNone == HiveKeyIndex::kNone, "a key not in the table is no key");

// Wine writes keys sorted, so a new name usually sorts after the parent's
// last child and cannot already be there. Once a parent's children come out
// of order, they are found by a hash of parent and name, filled for that
// parent once: a hand-edited hive may list its keys in any order. A new key
// keeps where its name is in the text: `name_begin` within the line at
// `line`, npos for a decoded name.
HiveKeyIndex::KeyId HiveKeyIndex::FindOrAddChild(KeyId parent, std::string_view name,
                                                 std::uint64_t line, std::size_t name_begin) {
  bool in_order = false;
  const KeyId found = FindWhileIndexing(parent, name, &in_order);
  if (found != kNone) return found;
  KeepName(parent);
  const KeyId child = AddChild(parent, KeyNamed(name, line, name_begin));
  if (!in_order) disordered_.Add(ChildHash(parent, name), child);
  return child;
}

// The subkey of `parent` named `name` that the index has, else kNone;
// `*in_order` is false when a new one would not sort after the last, and
// the subkeys of `parent` are then found by hash.
HiveKeyIndex::KeyId HiveKeyIndex::FindWhileIndexing(KeyId parent, std::string_view name,
                                                    bool* in_order) {
  const KeyId last = last_child_[parent];
  *in_order = true;
  if ((keys_[parent].flags & kChildrenInOrder) == 0) {
    *in_order = false;  // no use comparing with the last child, far back in the text
  } else if (last != kNone) {
    const int order = CompareNames(NameView(last), name);
    if (order == 0) return last;
    *in_order = order < 0;
  }
  if (*in_order) return kNone;
  Disorder(parent);
  return FindDisordered(parent, name);
}

// A key's name is read again for every path through it: once it has
// subkeys it keeps a copy, so that paths in any order do not send the
// reader back through the text.
void HiveKeyIndex::KeepName(KeyId key) {
  if (key == kRoot || (keys_[key].flags & kDecodedName) != 0) return;
  const std::string_view name = NameView(key);
  keys_[key].name_begin = static_cast<std::uint32_t>(decoded_names_.size());
  decoded_names_.emplace_back(name);
  keys_[key].flags |= kDecodedName;
}

// A key named `name`, found at `name_begin` in the line at `line`, or
// copied when that is npos or past what Key holds.
HiveKeyIndex::Key HiveKeyIndex::KeyNamed(std::string_view name, std::uint64_t line,
                                         std::size_t name_begin) {
  Key key;
  key.line = line;
  key.name_size = static_cast<std::uint32_t>(name.size());
  if (name_begin > kMaxNameOffset || name.size() > kMaxNameOffset) name_begin = std::string::npos;
  if (name_begin == std::string::npos) {
    key.flags |= kDecodedName;
    key.name_begin = static_cast<std::uint32_t>(decoded_names_.size());
    decoded_names_.emplace_back(name);
  } else {
    key.name_begin = static_cast<std::uint32_t>(name_begin);
  }
  return key;
}

// `key` as the last subkey of `parent`.
HiveKeyIndex::KeyId HiveKeyIndex::AddChild(KeyId parent, const Key& key) {
  const KeyId last = last_child_[parent];
  const KeyId id = NewKey(key, parent);
  if (last == kNone) {
    keys_[parent].first_child = id;
  } else {
    keys_[last].next_sibling = id;
  }
  last_child_[parent] = id;
  ++keys_[parent].child_count;
  return id;
}

// From now on the children of `parent` are found by their hash.
void HiveKeyIndex::Disorder(KeyId parent) {
  if ((keys_[parent].flags & kChildrenInOrder) == 0) return;
  keys_[parent].flags &= static_cast<std::uint8_t>(~kChildrenInOrder);
  keys_out_of_order_ = true;
  for (KeyId child = keys_[parent].first_child; child != kNone; child = keys_[child].next_sibling) {
    disordered_.Add(ChildHash(parent, NameView(child)), child);
  }
}

HiveKeyIndex::KeyId HiveKeyIndex::FindDisordered(KeyId parent, std::string_view name) const {
  return disordered_.Find(ChildHash(parent, name), [&](KeyId child) {
    return parents_[child] == parent && SameName(NameView(child), name);
  });
}

}  // namespace tallyweb
