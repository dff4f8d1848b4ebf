// TRegistry: reads keys and values from the registry through a RegistryStore.
// It keeps at most one key open at a time (the current key), opens keys by
// absolute or relative path, lists subkey names and reads string and 32-bit
// integer values. It never creates, writes or deletes anything.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/system_facts.h"
#include "registry/registry_store.h"
#include "text/string_list.h"

namespace tallyweb {

enum class TValueKind { Unknown, Text, ExpandText, Integer, Binary };

struct TRegistryValueInfo {
  TValueKind Kind = TValueKind::Unknown;
  std::int32_t DataSize = 0;
};

/// Every key is opened for reading only, in the 32-bit view: a 32-bit
/// download manager keeps its list there on 64-bit Windows (the flag is
/// ignored on 32-bit Windows), and a standard user may read but not write
/// HKEY_LOCAL_MACHINE.
constexpr std::uint32_t kRegistryAccess = kKeyRead | kKeyWow64_32Key;

class TRegistry {
 public:
  /// No key open, root HKEY_CURRENT_USER.
  TRegistry(RegistryStore& store, const SystemFacts& facts);
  /// Closes the current key; never the root key.
  ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  void SelectRoot(RegKey root);
  /// Opens `path` and makes it the current key. A path starting with a
  /// backslash is taken from the root key, any other from the current key
  /// (from the root while none is open). False, changing nothing, on failure.
  bool OpenPath(const std::string& path, bool create);
  void CloseCurrent();

  /// The store's answer for the current key, name lengths in bytes of the
  /// ANSI name (doubled on double-byte NT, which counts characters); zeros
  /// where the store left them unset. False when the store refuses.
  bool QueryKeyInfo(RegKeyInfo& info);
  bool HasChildKeys();
  /// Clears `list`, then appends the current key's subkey names in the
  /// store's enumeration order.
  void ListChildKeys(TStringList& list);

  bool QueryValueInfo(const std::string& name, TRegistryValueInfo& info);
  /// The value's data size in bytes, or -1 when it cannot be queried.
  std::int32_t ValueSize(const std::string& name);
  /// Copies the value's data; raises ERegistryException when the store refuses.
  std::int32_t FetchValue(const std::string& name, void* buffer, std::int32_t buffer_size,
                          TValueKind& kind);
  /// A REG_SZ or REG_EXPAND_SZ value, unexpanded, cut at its first NUL; the
  /// empty text when missing or of zero bytes. Raises on any other type.
  std::string ReadText(const std::string& name);
  /// A REG_DWORD value; raises ERegistryException otherwise.
  std::int32_t ReadInt32(const std::string& name);

  RegKey CurrentKey() const { return current_key_; }
  RegKey RootKey() const { return root_key_; }
  const std::string& CurrentPath() const { return current_path_; }
  std::uint32_t Access() const { return access_; }

 private:
  /// Enumerates subkey `index` into `name`, growing it while the store
  /// answers that the name does not fit; the store's result.
  std::int32_t EnumChildKey(std::uint32_t index, std::vector<char>& name);

  RegistryStore& store_;
  const SystemFacts& facts_;
  RegKey current_key_ = kNullKey;
  RegKey root_key_ = kNullKey;
  bool lazy_write_ = false;
  std::string current_path_;
  bool owns_root_key_ = false;
  std::uint32_t access_ = 0;
};

}  // namespace tallyweb
