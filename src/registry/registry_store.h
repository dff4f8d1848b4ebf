// What the registry reader needs from the registry: the six advapi32 calls
// it makes, with their results. Key names, paths and text data travel as
// UTF-8, whatever the system's code page: a name in any script can be listed
// and opened again. No system header here: the real store is
// registry_store_win32.cpp, the native Linux one reads a Wine prefix's hive
// (registry_store_posix.cpp), and tests use fake_registry_store.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "os/windows_errors.h"

namespace tallyweb {

/// A key handle as the store gives it; 0 is the null handle, which every call
/// refuses. The predefined root keys have their Windows numbers.
using RegKey = std::uintptr_t;
constexpr RegKey kNullKey = 0;
constexpr RegKey kHkeyCurrentUser = 0x80000001u;
constexpr RegKey kHkeyLocalMachine = 0x80000002u;

/// Registry value types, with their Windows numbers.
constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegDwordBigEndian = 5;
constexpr std::uint32_t kRegLink = 6;
constexpr std::uint32_t kRegMultiSz = 7;
constexpr std::uint32_t kRegQword = 11;

/// Access masks.
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyWow64_32Key = 0x0200;
constexpr std::uint32_t kKeyAllAccess = 0xF003F;

/// What RegQueryInfoKeyA reports of a key.
struct RegKeyInfo {
  std::uint32_t subkey_count = 0;
  std::uint32_t longest_subkey_name = 0;
  std::uint32_t value_count = 0;
  std::uint32_t longest_value_name = 0;
  std::uint32_t longest_value_data = 0;
  std::uint64_t last_write_time = 0;  // FILETIME
};

class RegistryStore {
 public:
  virtual ~RegistryStore() = default;

  /// RegOpenKeyEx: opens `path` (NUL-free UTF-8) below `base` with `access`.
  virtual std::int32_t OpenKey(RegKey base, const std::string& path, std::uint32_t access,
                               RegKey* key) = 0;
  /// RegQueryInfoKey; name lengths count characters.
  virtual std::int32_t QueryInfoKey(RegKey key, RegKeyInfo* info) = 0;
  /// RegEnumKeyEx: the UTF-8 name of subkey `index` with a NUL into `name`,
  /// whose room `*length` counts the NUL; on success `*length` is the name's
  /// length in bytes.
  /// kErrorMoreData when it does not fit, kErrorNoMoreItems past the end.
  virtual std::int32_t EnumKey(RegKey key, std::uint32_t index, char* name,
                               std::uint32_t* length) = 0;
  /// RegQueryValueExA: with `data` null, the type and size; otherwise copies
  /// the data into `data`, whose room is `*size`, and sets `*size` to the
  /// count copied. kErrorMoreData when the data does not fit. Sizes, and
  /// with them every answer about whether data fits, are those of the ANSI
  /// call; a store that has no ANSI code page answers for UTF-8.
  virtual std::int32_t QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                                  std::uint8_t* data, std::uint32_t* size) = 0;
  /// The value's type and data, a string type's data as UTF-8 (other types
  /// as stored), for a caller to whom QueryValue reported `size`. Fails as
  /// QueryValue would with room for `size` bytes: kErrorMoreData when the
  /// value has grown since. This one does what it says for every store whose
  /// QueryValue already answers strings in UTF-8.
  virtual std::int32_t QueryText(RegKey key, const std::string& name, std::uint32_t size,
                                 std::uint32_t* type, std::string* text);
  /// RegCloseKey.
  virtual void CloseKey(RegKey key) = 0;
};

/// The system's registry: advapi32 on Windows; natively, HKEY_LOCAL_MACHINE
/// of the Wine prefix named by WINEPREFIX (else ~/.wine), read from its hive.
std::unique_ptr<RegistryStore> MakeSystemRegistryStore();

}  // namespace tallyweb
