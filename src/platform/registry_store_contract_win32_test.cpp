// The contract cases against advapi32 itself. The test plants its keys below
// a scratch key of its own in HKEY_CURRENT_USER and deletes them afterwards.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <string>

#include "platform/registry_store_contract_test.h"

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

INSTANTIATE_TEST_SUITE_P(Win32, RegistryStoreContract,
                         ::testing::Values(StoreUnderTest{"win32", &PlantWin32}), StoreName);

}  // namespace
}  // namespace tallyweb
