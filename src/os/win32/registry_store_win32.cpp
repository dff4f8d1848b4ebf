// The registry store on Windows: the advapi32 calls. Names go through the
// wide calls, so that a key named in any script is listed and opened; sizes
// and types through the ANSI value call, whose answers decide what the
// reader makes of a value; text data through the wide value call, so that
// every character reaches the report.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <string>
#include <vector>

#include "os/win32/utf_win32.h"
#include "os/windows_errors.h"
#include "registry/registry_store.h"

namespace tallyweb {
namespace {

// The codes the program names are the system's own: this port passes the
// system's answers on as they are.
static_assert(kErrorSuccess == ERROR_SUCCESS && kErrorFileNotFound == ERROR_FILE_NOT_FOUND &&
              kErrorPathNotFound == ERROR_PATH_NOT_FOUND &&
              kErrorTooManyOpenFiles == ERROR_TOO_MANY_OPEN_FILES &&
              kErrorAccessDenied == ERROR_ACCESS_DENIED &&
              kErrorInvalidHandle == ERROR_INVALID_HANDLE &&
              kErrorInvalidParameter == ERROR_INVALID_PARAMETER &&
              kErrorInvalidName == ERROR_INVALID_NAME &&
              kErrorBadPathname == ERROR_BAD_PATHNAME && kErrorMoreData == ERROR_MORE_DATA &&
              kErrorNoMoreItems == ERROR_NO_MORE_ITEMS && kErrorKeyDeleted == ERROR_KEY_DELETED);

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

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The registry allows key names of 255 characters; room for more costs
// nothing and keeps a longer name from being taken for a failure.
constexpr DWORD kNameRoom = 2048;

class Win32RegistryStore : public RegistryStore {
 public:
  std::int32_t OpenKey(RegKey base, const std::string& path, std::uint32_t access,
                       RegKey* key) override {
    HKEY opened = nullptr;
    const LONG result = RegOpenKeyExW(ToHkey(base), Wide(path).c_str(), 0, access, &opened);
    *key = result == ERROR_SUCCESS ? FromHkey(opened) : kNullKey;
    return result;
  }

  std::int32_t QueryInfoKey(RegKey key, RegKeyInfo* info) override {
    DWORD subkeys = 0, longest_subkey = 0, values = 0, longest_name = 0, longest_data = 0;
    FILETIME written = {0, 0};
    LONG result = RegQueryInfoKeyW(ToHkey(key), nullptr, nullptr, nullptr, &subkeys,
                                   &longest_subkey, nullptr, &values, &longest_name, &longest_data,
                                   nullptr, &written);
    info->subkey_count = subkeys;
    info->longest_subkey_name = longest_subkey;
    info->value_count = values;
    info->longest_value_name = longest_name;
    info->longest_value_data = longest_data;
    info->last_write_time = static_cast<std::uint64_t>(written.dwHighDateTime) << 32 |
                            written.dwLowDateTime;
    return result;
  }

  // The name comes whole from the wide call and is handed on in UTF-8, whose
  // length the caller's room must take, NUL included.
  std::int32_t EnumKey(RegKey key, std::uint32_t index, char* name,
                       std::uint32_t* length) override {
    DWORD room = kNameRoom;
    const LONG result = RegEnumKeyExW(ToHkey(key), index, wide_name_, &room, nullptr, nullptr,
                                      nullptr, nullptr);
    if (result != ERROR_SUCCESS) return result;
    utf8_name_.clear();
    AppendUtf8(wide_name_, room, utf8_name_);
    if (utf8_name_.size() >= *length) return ERROR_MORE_DATA;
    utf8_name_.copy(name, utf8_name_.size());
    name[utf8_name_.size()] = '\0';
    *length = static_cast<std::uint32_t>(utf8_name_.size());
    return ERROR_SUCCESS;
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

  // A string of `size` bytes in the ANSI code page has at least one byte a
  // character, and each character takes one or two UTF-16 units: at most
  // 2 * size + 1 bytes, an odd byte at the end included. Room for that and no
  // more, so that a value grown since is refused as the ANSI read would.
  std::int32_t QueryText(RegKey key, const std::string& name, std::uint32_t size,
                         std::uint32_t* type, std::string* text) override {
    text->clear();
    DWORD value_type = 0;
    DWORD room = 2 * size + 2;
    buffer_.resize(room);
    const LONG result = RegQueryValueExW(ToHkey(key), Wide(name).c_str(), nullptr, &value_type,
                                         buffer_.data(), &room);
    if (result != ERROR_SUCCESS) return result;
    *type = value_type;
    if (!IsString(value_type)) {
      text->assign(reinterpret_cast<const char*>(buffer_.data()), room);
      return ERROR_SUCCESS;
    }
    // An odd last byte is half a character, which the ANSI read drops too.
    std::u16string units(room / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
      units[i] = static_cast<char16_t>(buffer_[2 * i] | buffer_[2 * i + 1] << 8);
    }
    AppendWideAsUtf8(units.data(), units.size(), *text);
    return ERROR_SUCCESS;
  }

  void CloseKey(RegKey key) override { RegCloseKey(ToHkey(key)); }

 private:
  wchar_t wide_name_[kNameRoom];
  std::string utf8_name_;
  std::vector<BYTE> buffer_;
};

}  // namespace

std::unique_ptr<RegistryStore> MakeSystemRegistryStore() {
  return std::make_unique<Win32RegistryStore>();
}

}  // namespace tallyweb
