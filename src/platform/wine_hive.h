// A reader for the text files in which Wine keeps a registry hive (a prefix's
// system.reg holds HKEY_LOCAL_MACHINE). Parsing is pure: bytes in, a tree
// out, no I/O, so that any bytes at all can be thrown at it.
//
// A hive can hold a hundred thousand keys of which the program reads each
// once, so Parse only checks the file's line structure and indexes the key
// lines, a few dozen bytes a key that point into the text; a key's values are
// parsed when they are asked for and kept only until the caller forgets
// them, and a key's subkeys are sorted the first time they are searched or
// enumerated.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/registry_store.h"
#include "platform/wine_hive_text.h"

namespace tallyweb {

class WineHive {
 public:
  /// Keys are numbered; the hive's root (the key all paths start from) is 0.
  using KeyId = std::uint32_t;
  static constexpr KeyId kRoot = 0;
  /// Called now and then while the hive reads on through its text, with a
  /// stretch [begin, end) of it read since, so that the owner of a mapped file
  /// can drop those pages from memory. The text must stay readable
  /// afterwards: the hive may come back to it.
  using ReleaseText = std::function<void(std::size_t begin, std::size_t end)>;
  /// Copies the text's bytes [begin, end) to `out` without touching the
  /// mapping (pread, say) and says how many it copied: fewer when the file
  /// ends sooner. A hive whose keys are out of order reads each key through
  /// this, in no order at all, where reading the mapping would fault in a
  /// page per key that is given back soon after.
  using ReadText = std::function<std::size_t(std::size_t begin, std::size_t end, char* out)>;

  /// Null when `text` is not a Wine hive (its first line is not the
  /// header). Anything after that is read as the wine server reads it: a
  /// line it cannot make sense of is skipped, a cut last line is read as far
  /// as it goes.
  static std::unique_ptr<WineHive> Parse(std::string text);
  /// The same over bytes the caller keeps alive through `owner` (a mapped
  /// file, say), so a large hive is not copied.
  static std::unique_ptr<WineHive> Parse(std::string_view text, std::shared_ptr<const void> owner,
                                         ReleaseText release_text = nullptr,
                                         ReadText read_text = nullptr);

  /// Some key's subkeys are listed out of order: reading the keys in order
  /// then jumps about the text.
  bool KeysOutOfOrder() const { return keys_out_of_order_; }
  /// The hive says "#arch=win64": its 32-bit view is Software\Wow6432Node.
  bool Is64Bit() const { return win64_; }

  /// The subkey of `key` named `name`, ignoring case as the registry does;
  /// false if none.
  bool FindChild(KeyId key, std::string_view name, KeyId* child);
  std::size_t ChildCount(KeyId key) const { return keys_[key].child_count; }
  /// Subkey `index` of `key` in Wine's enumeration order: sorted by name
  /// (CompareNames).
  KeyId Child(KeyId key, std::size_t index);
  /// The key's own name in UTF-8; empty for the root.
  std::string Name(KeyId key) const { return std::string(NameView(key)); }
  /// The same without a copy, valid as long as the hive.
  std::string_view NameView(KeyId key) const;
  /// NameView(key).size(), without reading the text.
  std::size_t NameSize(KeyId key) const { return keys_[key].name_size; }
  /// The size of the longest NameView of the key's subkeys; 0 without any.
  std::size_t LongestChildName(KeyId key);

  /// The key's values sorted by name, parsed on first use and kept until
  /// ForgetValues(key). A value line without a name or "=" is left out; one
  /// whose data cannot be read is a REG_NONE value without data, as Wine
  /// loads them.
  const std::vector<WineHiveValue>& Values(KeyId key);
  /// The value named `name` (empty: the default value), ignoring case.
  const WineHiveValue* FindValue(KeyId key, std::string_view name);
  /// FILETIME of the key's last write: its "#time=" option, else the seconds
  /// on its key line; 0 for a key the hive implies but does not list.
  std::uint64_t LastWriteTime(KeyId key);
  /// Drops what Values and LastWriteTime parsed for `key`: references they
  /// gave for it die, and the next call parses the text again.
  void ForgetValues(KeyId key);

 private:
  static constexpr KeyId kNone = 0xFFFFFFFFu;
  // Key::flags.
  static constexpr std::uint8_t kOwnLine = 1;       // `line` is the key's own key line
  static constexpr std::uint8_t kDecodedName = 2;   // name_begin indexes decoded_names_
  static constexpr std::uint8_t kMoreLines = 4;     // has (more) key lines in more_lines_
  static constexpr std::uint8_t kChildrenInOrder = 8;  // appended in enumeration order
  static constexpr std::uint8_t kCopiedName = 16;  // name_begin indexes copied_names_
  // Every key of the hive in one array, 32 bytes each: the name and the
  // values stay in the text, found again from the key line.
  struct Key {
    std::uint64_t line = 0;  // offset of the key line that first named the key
    std::uint32_t name_begin = 0;  // offset of the name in that line
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
  // What Values parsed for a key.
  struct Parsed {
    std::vector<WineHiveValue> values;
    bool has_time_option = false;
    std::uint64_t time_option = 0;  // the last "#time=" below its key lines
  };
  // Where the last key line's path led while indexing: its parent's path
  // (text up to the last name) and key.
  struct IndexCursor {
    std::string_view parent_path;
    KeyId parent = kRoot;
  };

  WineHive(std::string owned, std::string_view text, std::shared_ptr<const void> owner,
           ReleaseText release_text, ReadText read_text);
  bool Index();
  bool AddKeyLine(std::string_view line, std::size_t line_begin, IndexCursor* cursor);
  KeyId FindOrAddChild(KeyId parent, std::string_view name, std::uint64_t line,
                       std::size_t name_begin);
  ChildList& Children(KeyId key);
  bool CopyNames(const std::vector<KeyId>& children);
  std::vector<std::size_t> OwnLines(KeyId key) const;
  void ParseValues(KeyId key, Parsed* parsed);
  std::string_view KeyText(std::size_t line);
  void ParseBody(std::string_view text, std::size_t key_line, Parsed* parsed);
  void Touch(std::size_t offset) const;
  void ReleaseStretchesRead() const;

  std::string owned_;
  std::string_view text_;
  std::shared_ptr<const void> owner_;
  ReleaseText release_text_;
  ReadText read_text_;
  bool win64_ = false;
  bool keys_out_of_order_ = false;
  std::vector<Key> keys_;
  std::vector<KeyId> last_child_;  // while indexing only
  std::vector<KeyId> parents_;     // while indexing only
  // While indexing, the children of keys whose subkeys came out of order, by
  // a hash of parent and name: open addressing over 8-byte slots (32 bits of
  // the hash, the key), where a map of lists cost ten times that and a
  // memory allocation a key.
  struct Slot {
    std::uint32_t hash = 0;
    KeyId key = kNone;
  };
  std::vector<Slot> disordered_;
  std::size_t disordered_count_ = 0;
  void AddDisordered(std::uint64_t hash, KeyId key);
  std::unordered_map<KeyId, ChildList> children_;
  std::unordered_map<KeyId, Parsed> parsed_;  // node-based: references stay valid
  std::vector<std::pair<KeyId, std::size_t>> more_lines_;  // key lines past a key's first
  std::deque<std::string> decoded_names_;  // names that had escapes
  // Where each line that starts with "[" begins, in file order, so that a
  // key's text can be read without the text around it: kept only while keys
  // are out of order and read through read_text_.
  std::vector<std::uint64_t> bracket_lines_;
  // The names of the subkeys of keys whose subkeys are out of order, copied
  // once when they are first sorted: a run then looks them up in no order.
  // Its capacity is reserved once, so the views into it stay valid.
  std::string copied_names_;
  std::string key_text_;  // the last key's text from read_text_
  // The stretches of text read since the owner last released it, one bit
  // each, to tell it when to release it again.
  mutable std::vector<std::uint64_t> stretches_read_;
  mutable std::size_t stretches_since_release_ = 0;
};

/// UTF-16LE bytes as UTF-8, as the Windows build reads a text (the wide call,
/// then UTF-8): NULs are kept, an odd last byte is dropped, and a lone
/// surrogate keeps its three-byte form (the page shows it as U+FFFD).
std::string Utf16ToUtf8(std::string_view utf16le);

/// The bytes a RegQueryValueExA caller receives for `value`: REG_SZ,
/// REG_EXPAND_SZ and REG_MULTI_SZ converted to UTF-8, everything else as
/// stored.
std::string DeliveredData(const WineHiveValue& value);
/// The same into `*out`, whose memory is reused.
void DeliverData(const WineHiveValue& value, std::string* out);

/// The store over a hive (registry_store_posix.cpp, non-Windows builds only):
/// HKEY_LOCAL_MACHINE is the hive's root. A null hive gives a store that
/// refuses every open.
std::unique_ptr<RegistryStore> MakeWineHiveStore(std::unique_ptr<WineHive> hive);
/// The store over the hive file at `path`: a missing, unreadable or damaged
/// file gives a store that refuses every open.
std::unique_ptr<RegistryStore> MakeWineHiveStoreFromFile(const std::string& path);

}  // namespace tallyweb
