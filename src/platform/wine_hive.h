// A reader for the text files in which Wine keeps a registry hive (a prefix's
// system.reg holds HKEY_LOCAL_MACHINE). Parsing is pure: bytes in, a tree
// out, no I/O, so that any bytes at all can be thrown at it.
//
// A default prefix's hive is megabytes of keys the program never looks at, so
// Parse only checks the file's line structure and indexes the key lines; a
// key's values are parsed the first time they are asked for, and a key's
// subkeys are sorted the first time they are searched or enumerated.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry_store.h"

namespace tallyweb {

/// A value as the hive stores it: strings as UTF-16LE with the NUL they were
/// written with, every other type as its bytes.
struct WineHiveValue {
  std::string name;  // UTF-8; empty for the key's default value
  std::uint32_t type = kRegNone;
  std::string data;
};

class WineHive {
 public:
  /// Keys are numbered; the hive's root (the key all paths start from) is 0.
  using KeyId = std::uint32_t;
  static constexpr KeyId kRoot = 0;

  /// Null when `text` is not a Wine hive or is damaged: wrong header, a NUL
  /// byte, a last line without its line end (a truncated file), or a line
  /// that is neither a key, a value, an option, a comment nor the
  /// continuation of a hex value.
  static std::unique_ptr<WineHive> Parse(std::string text);
  /// The same over bytes the caller keeps alive through `owner` (a mapped
  /// file, say), so a large hive is not copied.
  static std::unique_ptr<WineHive> Parse(std::string_view text, std::shared_ptr<const void> owner);

  /// The hive says "#arch=win64": its 32-bit view is Software\Wow6432Node.
  bool Is64Bit() const { return win64_; }

  /// The subkey of `key` named `name`, ignoring ASCII case; false if none.
  bool FindChild(KeyId key, std::string_view name, KeyId* child);
  std::size_t ChildCount(KeyId key) const { return keys_[key].child_count; }
  /// Subkey `index` of `key` in Wine's enumeration order: sorted by name,
  /// ASCII letters compared as lower case.
  KeyId Child(KeyId key, std::size_t index);
  /// The key's own name in UTF-8; empty for the root.
  std::string Name(KeyId key) const { return std::string(keys_[key].name); }

  /// The key's values, parsed on first use. A value line that cannot be
  /// parsed is left out, as Wine leaves it out when it loads the hive.
  const std::vector<WineHiveValue>& Values(KeyId key);
  /// The value named `name` (empty: the default value), ignoring ASCII case.
  const WineHiveValue* FindValue(KeyId key, std::string_view name);
  /// FILETIME of the key's last write: its "#time=" option, else the seconds
  /// on its key line; 0 for a key the hive implies but does not list.
  std::uint64_t LastWriteTime(KeyId key);

 private:
  static constexpr KeyId kNone = 0xFFFFFFFFu;
  struct Span {
    std::size_t begin;
    std::size_t end;
  };
  // Every key of the hive, kept small and in one array: a default prefix
  // has thousands, and the program looks at a handful.
  struct Key {
    std::string_view name;  // into the text, or into decoded_names_
    KeyId first_child = kNone;
    KeyId last_child = kNone;
    KeyId next_sibling = kNone;
    std::uint32_t child_count = 0;
    std::uint32_t detail = kNone;  // index in details_ once looked at
    Span body{0, 0};  // the lines below its (first) key line
    std::uint64_t last_write_time = 0;
    bool children_in_order = true;  // appended in enumeration order
  };
  // What a key gets when it is first looked at.
  struct Detail {
    std::vector<KeyId> children;  // in enumeration order
    std::vector<WineHiveValue> values;
    bool values_parsed = false;
  };

  WineHive(std::string owned, std::string_view text, std::shared_ptr<const void> owner);
  bool Index();
  bool AddKeyLine(std::string_view line, KeyId* key);
  KeyId FindOrAddChild(KeyId parent, std::string_view name);
  Detail& DetailOf(KeyId key);
  void ParseValues(KeyId key, Detail& detail);

  std::string owned_;
  std::string_view text_;
  std::shared_ptr<const void> owner_;
  bool win64_ = false;
  std::vector<Key> keys_;
  std::deque<Detail> details_;  // a deque: references to a key's values stay valid
  std::vector<std::pair<KeyId, Span>> more_bodies_;  // keys with several key lines
  std::deque<std::string> decoded_names_;  // names that had escapes
};

/// UTF-16LE bytes as UTF-8, as the ANSI registry calls would give them in a
/// UTF-8 code page: NULs are kept, an odd last byte is dropped, and a lone
/// surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view utf16le);

/// The bytes a RegQueryValueExA caller receives for `value`: REG_SZ,
/// REG_EXPAND_SZ and REG_MULTI_SZ converted to UTF-8, everything else as
/// stored.
std::string DeliveredData(const WineHiveValue& value);

/// The store over a hive (registry_store_posix.cpp, non-Windows builds only):
/// HKEY_LOCAL_MACHINE is the hive's root. A null hive gives a store that
/// refuses every open.
std::unique_ptr<RegistryStore> MakeWineHiveStore(std::unique_ptr<WineHive> hive);
/// The store over the hive file at `path`: a missing, unreadable or damaged
/// file gives a store that refuses every open.
std::unique_ptr<RegistryStore> MakeWineHiveStoreFromFile(const std::string& path);

}  // namespace tallyweb
