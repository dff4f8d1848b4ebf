// The registry store on Windows: the five advapi32 calls, as they are.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <string>

#include "platform/registry_store.h"

namespace tallyweb {
namespace {

// The predefined keys are 32-bit numbers that Windows sign-extends into a
// 64-bit HKEY (HKEY_CURRENT_USER is 0xFFFFFFFF80000001 there); RegKey holds
// them as the plain numbers.
HKEY ToHkey(RegKey key) {
  if (key >= 0x80000000u && key <= 0xFFFFFFFFu) {
    return reinterpret_cast<HKEY>(
        static_cast<LONG_PTR>(static_cast<LONG>(static_cast<DWORD>(key))));
  }
  return reinterpret_cast<HKEY>(key);
}

RegKey FromHkey(HKEY key) { return reinterpret_cast<RegKey>(key); }

// The ANSI open converts its path in a buffer of MAX_PATH characters and
// refuses a longer one (Wine answers ERROR_MORE_DATA), though a key path may
// well be longer: an item's own key name may have 255 characters. Such a path
// is converted from the ANSI code page here, as the ANSI call would, and
// opened by the wide call.
LONG OpenLongPath(HKEY base, const std::string& path, REGSAM access, HKEY* opened) {
  const int length = static_cast<int>(path.size());
  const int wide_length = MultiByteToWideChar(CP_ACP, 0, path.data(), length, nullptr, 0);
  if (wide_length == 0) return static_cast<LONG>(GetLastError());
  std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.data(), length, &wide[0], wide_length);
  return RegOpenKeyExW(base, wide.c_str(), 0, access, opened);
}

class Win32RegistryStore : public RegistryStore {
 public:
  std::int32_t OpenKey(RegKey base, const std::string& path, std::uint32_t access,
                       RegKey* key) override {
    HKEY opened = nullptr;
    const LONG result = path.size() <= MAX_PATH
                            ? RegOpenKeyExA(ToHkey(base), path.c_str(), 0, access, &opened)
                            : OpenLongPath(ToHkey(base), path, access, &opened);
    *key = result == ERROR_SUCCESS ? FromHkey(opened) : kNullKey;
    return result;
  }

  std::int32_t QueryInfoKey(RegKey key, RegKeyInfo* info) override {
    DWORD subkeys = 0, longest_subkey = 0, values = 0, longest_name = 0, longest_data = 0;
    FILETIME written = {0, 0};
    LONG result = RegQueryInfoKeyA(ToHkey(key), nullptr, nullptr, nullptr, &subkeys,
                                   &longest_subkey, nullptr, &values, &longest_name,
                                   &longest_data, nullptr, &written);
    info->subkey_count = subkeys;
    info->longest_subkey_name = longest_subkey;
    info->value_count = values;
    info->longest_value_name = longest_name;
    info->longest_value_data = longest_data;
    info->last_write_time =
        static_cast<std::uint64_t>(written.dwHighDateTime) << 32 | written.dwLowDateTime;
    return result;
  }

  std::int32_t EnumKey(RegKey key, std::uint32_t index, char* name,
                       std::uint32_t* length) override {
    DWORD room = *length;
    LONG result = RegEnumKeyExA(ToHkey(key), index, name, &room, nullptr, nullptr, nullptr,
                                nullptr);
    *length = room;
    return result;
  }

  std::int32_t QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* size) override {
    DWORD value_type = *type;
    DWORD value_size = *size;
    LONG result = RegQueryValueExA(ToHkey(key), name.c_str(), nullptr, &value_type, data,
                                   &value_size);
    *type = value_type;
    *size = value_size;
    return result;
  }

  void CloseKey(RegKey key) override { RegCloseKey(ToHkey(key)); }
};

}  // namespace

std::unique_ptr<RegistryStore> MakeSystemRegistryStore() {
  return std::make_unique<Win32RegistryStore>();
}

}  // namespace tallyweb
