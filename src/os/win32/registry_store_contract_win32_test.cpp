// The contract cases against advapi32 itself. The test plants its keys below
// a scratch key of its own in HKEY_CURRENT_USER and deletes them afterwards.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <string>
#include <vector>

#include "failure/failure_kinds.h"
#include "os/os_calls.h"
#include "registry/registry.h"
#include "testing/registry_store_contract_test.h"

namespace tallyweb {
namespace {

constexpr char kScratchParent[] = "Software\\Tallyweb store contract";

HKEY CreateKey(HKEY base, const std::string& path) {
  HKEY key = nullptr;
  LONG result = RegCreateKeyExA(base, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr);
  EXPECT_EQ(ERROR_SUCCESS, result) << path;
  return key;
}

void SetValue(HKEY scratch, const PlantedValue& value) {
  HKEY key = value.key.empty() ? scratch : CreateKey(scratch, value.key);
  // RegSetValueExA counts a string's NUL in when the byte just past the
  // given size is one; a guard byte keeps the data exactly as given.
  std::string data = value.bytes + "\x01";
  LONG result = RegSetValueExA(key, value.name.c_str(), 0, value.type,
                               reinterpret_cast<const BYTE*>(data.data()),
                               static_cast<DWORD>(value.bytes.size()));
  EXPECT_EQ(ERROR_SUCCESS, result) << value.name;
  if (key != scratch) RegCloseKey(key);
}

PlantedStore PlantWin32(const PlantedTree& tree) {
  static int planted_count = 0;
  const std::string scratch = std::string(kScratchParent) + "\\" +
                              std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(++planted_count);
  HKEY scratch_key = CreateKey(HKEY_CURRENT_USER, scratch);
  for (const auto& path : tree.keys) RegCloseKey(CreateKey(scratch_key, path));
  for (const auto& value : tree.values) SetValue(scratch_key, value);

  PlantedStore planted;
  planted.store = MakeSystemRegistryStore();
  planted.base = reinterpret_cast<RegKey>(scratch_key);
  planted.remove_key = [scratch_key](const std::string& path) {
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(scratch_key, path.c_str())) << path;
  };
  planted.clean_up = [scratch_key, scratch] {
    RegCloseKey(scratch_key);
    RegDeleteTreeA(HKEY_CURRENT_USER, scratch.c_str());
    // Gone only when no other test program still has keys below it.
    RegDeleteKeyA(HKEY_CURRENT_USER, kScratchParent);
  };
  return planted;
}

// The program opens its list from a predefined root, which the contract
// cases never do: they start from a scratch key's handle.
TEST(Win32RegistryStore, OpensBelowThePredefinedRoots) {
  auto store = MakeSystemRegistryStore();
  for (RegKey root : {kHkeyCurrentUser, kHkeyLocalMachine}) {
    SCOPED_TRACE(root);
    RegKey key = kNullKey;
    EXPECT_EQ(kErrorSuccess, store->OpenKey(root, "Software", kRegistryAccess, &key));
    EXPECT_NE(kNullKey, key);
    store->CloseKey(key);
  }
}

// What the ANSI calls alone made of a text value: the ANSI size, then the
// ANSI data cut at its first NUL; or the failure's message.
std::string AnsiReading(HKEY key, const char* name) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size == 0)
    return "text:";
  std::string data(size, '\0');
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) !=
      ERROR_SUCCESS)
    return "Failed to get data for '" + std::string(name) + "'";
  if (type != REG_SZ && type != REG_EXPAND_SZ)
    return "Invalid data type for '" + std::string(name) + "'";
  return "text:" + data.substr(0, data.find('\0'));
}

// The same value read as the program reads it (sizes and types from the ANSI
// call, the text from the wide one), then put in the ANSI code page. For a
// value that code page can hold it must be what the ANSI calls gave, bytes
// and failures alike, however malformed the stored data.
std::string ProgramReading(RegistryStore& store, HKEY key, const char* name,
                           const SystemFacts& facts) {
  TRegistry registry(store, facts);
  registry.SelectRoot(reinterpret_cast<RegKey>(key));
  if (!registry.OpenPath("", false)) return "cannot open";
  try {
    std::string text;
    if (!facts.code_page->Encode(registry.ReadText(name), text)) return "not in the code page";
    return "text:" + text;
  } catch (const ERegistryException& failure) {
    return failure.Message();
  }
}

TEST(Win32RegistryStore, TextsReadAsTheAnsiCallsReadThemWhereTheCodePageHoldsThem) {
  struct {
    const char* name;
    DWORD type;
    std::u16string stored;  // UTF-16 units as stored; odd_byte adds half of one
    bool odd_byte;
    std::string want;  // in code page 1252, the prefix's
  } cases[] = {
      {"plain", REG_SZ, std::u16string(u"abc\0", 4), false, "text:abc"},
      {"no NUL", REG_SZ, u"abc", false, "text:abc"},
      {"an odd byte", REG_SZ, u"ab", true, "text:ab"},
      {"only an odd byte", REG_SZ, u"", true, "text:"},
      {"empty", REG_SZ, u"", false, "text:"},
      {"text after a NUL", REG_EXPAND_SZ, std::u16string(u"%A%\0b\0", 6), false, "text:%A%"},
      {"high letters and C1 controls", REG_SZ, u"\u00E9\u20AC\u0081\u00FF", false,
       "text:\xE9\x80\x81\xFF"},
      {"a multi-string", REG_MULTI_SZ, std::u16string(u"a\0b\0\0", 5), false,
       "Invalid data type for 'v'"},
      {"a multi-string of one byte", REG_MULTI_SZ, u"", true, "text:"},
      {"a DWORD", REG_DWORD, std::u16string(u"\x0102\x0304", 2), false,
       "Invalid data type for 'v'"},
      {"binary of one byte", REG_BINARY, u"", true, "Invalid data type for 'v'"},
  };
  const SystemFacts facts = MakeSystemOsCalls()->TakeSystemFacts();
  ASSERT_NE(nullptr, facts.code_page);
  auto store = MakeSystemRegistryStore();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlantedStore planted = PlantWin32(PlantedTree{});
    HKEY key = reinterpret_cast<HKEY>(planted.base);
    std::string bytes;
    for (char16_t unit : c.stored) {
      bytes += static_cast<char>(unit & 0xFF);
      bytes += static_cast<char>(unit >> 8);
    }
    if (c.odd_byte) bytes += 'z';
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key, L"v", 0, c.type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())));
    EXPECT_EQ(c.want, AnsiReading(key, "v"));
    EXPECT_EQ(c.want, ProgramReading(*store, key, "v", facts));
    planted.clean_up();
  }
}

// Names and texts the code page lacks: the ANSI calls give question marks,
// and no key can be opened by such a name. The wide calls give every
// character, and each listed name opens its key.
TEST(Win32RegistryStore, NamesAndTextsOfAnyScriptComeWhole) {
  PlantedStore planted = PlantWin32(PlantedTree{});
  HKEY scratch = reinterpret_cast<HKEY>(planted.base);
  // In the registry's order: by UTF-16 units, letters ignoring case.
  const std::wstring names[] = {std::wstring(L"x") + wchar_t(0xD800),
                                L"\u043E\u0442\u0447\u0451\u0442.pdf", L"\U0001F4E6\uE000"};
  const std::string utf8_names[] = {"x\xED\xA0\x80", "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.pdf",
                                    "\xF0\x9F\x93\xA6\xEE\x80\x80"};
  for (const std::wstring& name : names) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(scratch, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    const std::wstring text = L"\u4E0B\u8F7D " + name;
    RegSetValueExW(key, L"t", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  RegistryStore& store = *planted.store;
  std::vector<std::string> listed;
  for (std::uint32_t index = 0;; ++index) {
    char name[64];
    std::uint32_t length = sizeof name;
    if (store.EnumKey(planted.base, index, name, &length) != kErrorSuccess) break;
    listed.push_back(std::string(name, length));
  }
  EXPECT_EQ(std::vector<std::string>(std::begin(utf8_names), std::end(utf8_names)), listed);
  for (const std::string& name : listed) {
    SCOPED_TRACE(name);
    RegKey key = kNullKey;
    ASSERT_EQ(kErrorSuccess, store.OpenKey(planted.base, name, kRegistryAccess, &key));
    std::uint32_t type = 0, size = 0;
    ASSERT_EQ(kErrorSuccess, store.QueryValue(key, "t", &type, nullptr, &size));
    std::string text;
    ASSERT_EQ(kErrorSuccess, store.QueryText(key, "t", size, &type, &text));
    EXPECT_EQ(std::string("\xE4\xB8\x8B\xE8\xBD\xBD ", 7) + name + std::string(1, '\0'), text);
    store.CloseKey(key);
  }
  planted.clean_up();
}

INSTANTIATE_TEST_SUITE_P(Win32, RegistryStoreContract,
                         ::testing::Values(StoreUnderTest{"win32", &PlantWin32}), StoreName);

}  // namespace
}  // namespace tallyweb
