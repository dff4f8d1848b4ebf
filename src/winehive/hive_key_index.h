// The key index of a Wine hive file: one pass over the text finds every key
// line and builds the tree of keys, a few dozen bytes a key that point into
// the text; names are compared as the registry compares them, and a key's
// subkeys are sorted the first time they are searched or enumerated. What
// lies below a key line (its values) is left to the reader of that key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "winehive/hive_text_source.h"
#include "winehive/key_hash_table.h"
#include "winehive/wine_hive_text.h"

namespace tallyweb {

class HiveKeyIndex {
 public:
  /// Keys are numbered; the hive's root (the key all paths start from) is 0.
  using KeyId = std::uint32_t;
  static constexpr KeyId kRoot = 0;

  /// The index of the hive in the text (see HiveTextSource for the
  /// arguments); null when its first line is not the header. Anything after
  /// that is read as the wine server reads it: a line it cannot make sense of
  /// is skipped, a cut last line is read as far as it goes.
  static std::unique_ptr<HiveKeyIndex> Build(std::string owned, std::string_view text,
                                             std::shared_ptr<const void> owner,
                                             HiveTextSource::ReleaseText release_text,
                                             HiveTextSource::ReadText read_text);

  /// Some key's subkeys are listed out of order: reading the keys in order
  /// then jumps about the text.
  bool KeysOutOfOrder() const { return keys_out_of_order_; }
  /// The hive says "#arch=win64".
  bool Is64Bit() const { return win64_; }
  /// The key's text marks it "#link": opening it opens the key its value
  /// "SymbolicLinkValue" names (WineHive::Follow).
  bool IsLink(KeyId key) const { return (keys_[key].flags & kLink) != 0; }
  static constexpr KeyId kNone = 0xFFFFFFFFu;
  /// Where a link's target names start: HKEY_LOCAL_MACHINE for "Machine",
  /// else the key that stands for the registry's root above it, whose only
  /// subkeys are those key lines through links to keys beside
  /// HKEY_LOCAL_MACHINE (\Registry\Other) made; `*first` is the first name
  /// below it.
  KeyId LinkStart(const std::vector<std::string>& names, std::size_t* first) const;
  /// The line buffer the server had when it read the text at `offset` (see
  /// hive_text::LineReader), for a reader that starts there.
  std::size_t LineBufferAt(std::size_t offset) const;

  /// The subkey of `key` named `name`, ignoring case as the registry does;
  /// false if none.
  bool FindChild(KeyId key, std::string_view name, KeyId* child);
  std::size_t ChildCount(KeyId key) const { return keys_[key].child_count; }
  /// Subkey `index` of `key`, sorted by name (CompareNames).
  KeyId Child(KeyId key, std::size_t index) { return Children(key).ids[index]; }
  /// The key's own name in UTF-8, valid as long as the index; empty for the
  /// root.
  std::string_view NameView(KeyId key) const;
  std::size_t NameSize(KeyId key) const { return keys_[key].name_size; }
  /// The size of the longest NameView of the key's subkeys; 0 without any.
  std::size_t LongestChildName(KeyId key);

  /// Where the key lines of `key` begin in the text, in file order: none for
  /// a key the hive implies but does not list.
  std::vector<std::size_t> OwnLines(KeyId key) const;
  /// The text from the key line at `line` on (see HiveTextSource::KeyText).
  std::string_view KeyText(std::size_t line, bool* in_place) {
    return source_.KeyText(line, in_place);
  }
  /// The text at `offset` is being read in place.
  void Touch(std::size_t offset) const { source_.Touch(offset); }
  void Touch(std::size_t begin, std::size_t end) const { source_.Touch(begin, end); }
  /// The seconds on the key line at `line`, as FILETIME; false without any.
  bool KeyLineTime(std::size_t line, std::uint64_t* time);

 private:
  // Key::flags.
  static constexpr std::uint8_t kOwnLine = 1;          // `line` is the key's own key line
  static constexpr std::uint8_t kDecodedName = 2;      // name_begin indexes decoded_names_
  static constexpr std::uint8_t kMoreLines = 4;        // has (more) key lines in more_lines_
  static constexpr std::uint8_t kChildrenInOrder = 8;  // appended in enumeration order
  static constexpr std::uint8_t kCopiedName = 16;      // name_begin indexes copied_names_
  static constexpr std::uint8_t kLink = 32;            // marked "#link"
  // Every key of the hive in one array, 32 bytes each: the name and the
  // values stay in the text, found again from the key line.
  struct Key {
    std::uint64_t line = 0;        // offset of the key line that first named the key
    std::uint32_t name_begin = 0;  // offset of the name in that line, or see kDecodedName
    std::uint32_t name_size = 0;
    KeyId first_child = kNone;
    KeyId next_sibling = kNone;
    std::uint32_t child_count = 0;
    std::uint8_t flags = kChildrenInOrder;
  };
  static_assert(sizeof(Key) == 32, "the index is what a large hive costs beyond its text");
  // A key's subkeys in enumeration order, and where the last search found
  // one: a run opens the downloads in the order it listed them.
  struct ChildList {
    std::vector<KeyId> ids;
    std::size_t last_found = 0;
    std::size_t longest_name = 0;
  };
  // Where the last key line's path led while indexing: its parent's path
  // (text up to the last name) and key.
  struct IndexCursor {
    std::string_view parent_path;
    KeyId parent = kRoot;
    KeyId key = kRoot;  // the key the last key line made
  };
  enum class Arch { kUnknown, k32, k64 };
  struct IndexPass;
  // Key::name_begin and Key::name_size are 32 bits: a name further into the
  // text, or longer, is kept in a copy.
  static constexpr std::size_t kMaxNameOffset = 0xFFFFFFFFu;

  HiveKeyIndex(std::string owned, std::string_view text, std::shared_ptr<const void> owner,
               HiveTextSource::ReleaseText release_text, HiveTextSource::ReadText read_text)
      : source_(std::move(owned), text, std::move(owner), std::move(release_text),
                std::move(read_text)) {}
  // Indexing (hive_key_index.cpp). The steps declared inline are each used
  // once, in the file that defines them, for every key line: called, they
  // cost the pass 3% more.
  bool Index();
  void ReserveFor(std::size_t text_size);
  void KeepLinkTarget(std::string_view line, IndexPass* pass);
  bool ReadOptionLine(std::string_view line, IndexPass* pass);
  void FinishIndex();
  void ReserveCopiedNames();
  bool ReadArch(std::string_view arch);
  bool AddKeyLine(std::string_view line, std::size_t line_begin, IndexCursor* cursor);
  inline bool WalkPlainPath(std::string_view path, std::size_t line_begin, IndexCursor* cursor,
                            KeyId* node);
  bool WalkDecodedPath(std::string_view line, std::size_t line_begin, KeyId* node);
  inline void AddOwnLine(KeyId key, std::size_t line_begin);
  bool FollowWhileIndexing(KeyId* node, std::size_t line_begin, int depth);
  // The tree while indexing (hive_key_tree.cpp).
  KeyId FindOrAddChild(KeyId parent, std::string_view name, std::uint64_t line,
                       std::size_t name_begin);
  inline KeyId FindWhileIndexing(KeyId parent, std::string_view name, bool* in_order);
  inline void KeepName(KeyId key);
  inline Key KeyNamed(std::string_view name, std::uint64_t line, std::size_t name_begin);
  inline KeyId AddChild(KeyId parent, const Key& key);
  KeyId NewKey(const Key& key, KeyId parent) {
    const KeyId id = static_cast<KeyId>(keys_.size());
    keys_.push_back(key);
    last_child_.push_back(kNone);
    parents_.push_back(parent);
    return id;
  }
  void Disorder(KeyId parent);
  KeyId FindDisordered(KeyId parent, std::string_view name) const;
  // Reading the index (hive_key_lookup.cpp).
  ChildList& Children(KeyId key);
  bool CopyNames(const std::vector<KeyId>& children);

  HiveTextSource source_;
  bool win64_ = false;
  Arch arch_ = Arch::kUnknown;
  std::vector<hive_text::LineBufferGrowth> line_buffers_;
  bool keys_out_of_order_ = false;
  std::vector<Key> keys_;
  std::vector<KeyId> last_child_;  // while indexing only
  std::vector<KeyId> parents_;     // while indexing only
  // While indexing, the subkeys of keys whose subkeys came out of order,
  // by a hash of parent and name.
  KeyHashTable disordered_;
  // While indexing, the target of each key that has a SymbolicLinkValue.
  std::unordered_map<KeyId, std::u16string> link_units_;
  KeyId registry_root_ = kNone;  // made first, after kRoot
  int links_left_ = 0;  // what FollowWhileIndexing may still follow
  std::unordered_map<KeyId, ChildList> children_;
  std::vector<std::pair<KeyId, std::size_t>> more_lines_;  // key lines past a key's first
  // Names kept apart from the text: those that had escapes, and those of
  // keys with subkeys (KeepName).
  std::deque<std::string> decoded_names_;
  // The names of the subkeys of keys whose subkeys are out of order, copied
  // once when they are first sorted: a run then looks them up in no order.
  // Its capacity is reserved once, so the views into it stay valid.
  std::string copied_names_;
};

}  // namespace tallyweb
