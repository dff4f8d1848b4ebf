// A reader for the text files in which Wine keeps a registry hive (a prefix's
// system.reg holds HKEY_LOCAL_MACHINE). Parsing is pure: bytes in, a tree
// out, no I/O, so that any bytes at all can be thrown at it.
//
// A hive can hold a hundred thousand keys of which the program reads each
// once, so Parse only indexes the key lines (hive_key_index.h); a key's
// values are parsed when they are asked for and kept only until the caller
// forgets them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "registry/registry_store.h"
#include "winehive/hive_key_index.h"
#include "winehive/wine_hive_text.h"

namespace tallyweb {

class WineHive {
 public:
  using KeyId = HiveKeyIndex::KeyId;
  static constexpr KeyId kRoot = HiveKeyIndex::kRoot;
  using ReleaseText = HiveTextSource::ReleaseText;
  /// A hive whose keys are out of order reads each key through this, in no
  /// order at all, where reading the mapping would fault in a page per key
  /// that is given back soon after.
  using ReadText = HiveTextSource::ReadText;

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
  bool KeysOutOfOrder() const { return index_->KeysOutOfOrder(); }
  /// The hive says "#arch=win64": its 32-bit view is Software\Wow6432Node.
  bool Is64Bit() const { return index_->Is64Bit(); }

  /// The subkey of `key` named `name`, ignoring case as the registry does;
  /// false if none.
  bool FindChild(KeyId key, std::string_view name, KeyId* child) {
    return index_->FindChild(key, name, child);
  }
  /// What opening a key that may be a link comes to.
  enum class Link { kFollowed, kNowhere, kNoPath, kBadName, kTooDeep };
  /// The key opening `key` opens: `key` itself, or, for a link ("#link"),
  /// the key its "SymbolicLinkValue" leads to, as the wine server follows
  /// it. kNowhere when it leads to no key of this hive (a missing key, a key
  /// of another hive); kNoPath and kBadName when its target is not the
  /// registry's (hive_text::LinkTarget); kTooDeep after more than 16 links
  /// (a loop).
  Link Follow(KeyId key, KeyId* target, int depth = 0);
  std::size_t ChildCount(KeyId key) const { return index_->ChildCount(key); }
  /// Subkey `index` of `key` in Wine's enumeration order: sorted by name
  /// (CompareNames).
  KeyId Child(KeyId key, std::size_t index) { return index_->Child(key, index); }
  /// The key's own name in UTF-8; empty for the root.
  std::string Name(KeyId key) const { return std::string(NameView(key)); }
  /// The same without a copy, valid as long as the hive.
  std::string_view NameView(KeyId key) const { return index_->NameView(key); }
  /// NameView(key).size(), without reading the text.
  std::size_t NameSize(KeyId key) const { return index_->NameSize(key); }
  /// The size of the longest NameView of the key's subkeys; 0 without any.
  std::size_t LongestChildName(KeyId key) { return index_->LongestChildName(key); }

  /// The key's values sorted by name, parsed on first use and kept until
  /// ForgetValues(key). A value line without a name or "=" is left out; one
  /// whose data cannot be read is a REG_NONE value without data, as Wine
  /// loads them.
  /// `*parsed_now`, when given, says whether this call parsed them.
  const std::vector<WineHiveValue>& Values(KeyId key, bool* parsed_now = nullptr);
  /// The value named `name` (empty: the default value), ignoring case.
  const WineHiveValue* FindValue(KeyId key, std::string_view name, bool* parsed_now = nullptr);
  /// FILETIME of the key's last write: its "#time=" option, else the seconds
  /// on its key line; 0 for a key the hive implies but does not list.
  std::uint64_t LastWriteTime(KeyId key);
  /// Drops what Values and LastWriteTime parsed for `key`: references they
  /// gave for it die, and the next call parses the text again.
  void ForgetValues(KeyId key) { parsed_.erase(key); }

 private:
  // What Values parsed for a key.
  struct Parsed {
    std::vector<WineHiveValue> values;
    bool has_time_option = false;
    std::uint64_t time_option = 0;  // the last "#time=" below its key lines
  };

  explicit WineHive(std::unique_ptr<HiveKeyIndex> index) : index_(std::move(index)) {}
  void ParseValues(KeyId key, Parsed* parsed);
  void ParseBody(std::string_view text, bool in_place, std::size_t key_line, Parsed* parsed);

  std::unique_ptr<HiveKeyIndex> index_;
  std::unordered_map<KeyId, Parsed> parsed_;  // node-based: references stay valid
  int links_left_ = 0;                        // what Follow may still follow
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
/// DeliveredData(value) is value.data itself: no conversion is needed.
bool DeliveredAsKept(const WineHiveValue& value);
/// The size of `value`'s data as RegQueryValueExA counts it, which decides
/// whether the data fits a caller's buffer: a string takes a byte a UTF-16
/// unit, as in a single-byte ANSI code page (Wine's in a Western locale), and
/// any other type its bytes. A UTF-8 text of letters beyond ASCII is longer.
std::size_t AnsiSize(const WineHiveValue& value);
/// The bytes the registry stores for `value` (strings in UTF-16LE), and
/// their count, which the registry reports as the longest value data.
std::string StoredData(const WineHiveValue& value);
std::size_t StoredSize(const WineHiveValue& value);

}  // namespace tallyweb
