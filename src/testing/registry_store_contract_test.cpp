#include "testing/registry_store_contract_test.h"

#include <string>
#include <vector>

#include "testing/fake_registry_store.h"

namespace tallyweb {

PlantedTree ContractTree() {
  PlantedTree tree;
  tree.keys = {"Parent\\beta",   "Parent\\Alpha\\Deep",
               "Parent\\_under", "Parent\\gamma_longest_1",
               "Empty",          "Sizes",
               "Doomed\\a",      "Doomed\\b",
               "Doomed\\c"};
  tree.values = {
      {"Parent", "Text", kRegSz, std::string("abc\0", 4)},
      {"Parent", "NoNul", kRegSz, "abc"},
      {"Parent", "Expand", kRegExpandSz, std::string("%TEMP%\0", 7)},
      {"Parent", "Dword", kRegDword, "\x04\x03\x02\x01"},
      {"Parent", "Blob", kRegBinary, std::string("\x01\0\x02\0\x03\x04\x05\x06\x07\x08", 10)},
      {"Parent", "Zero", kRegBinary, ""},
      {"Parent", "ZeroSz", kRegSz, ""},
      {"Parent", "Qword", kRegQword, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
      {"Parent", "Multi", kRegMultiSz, std::string("a\0bc\0\0", 6)},
      // The registry keeps strings in UTF-16: 9 ANSI bytes are 18 stored.
      {"Sizes", "Nine", kRegSz, std::string("abcdefgh\0", 9)},
      {"Sizes", "TwelveBytesLong", kRegBinary, std::string(12, '\x7F')},
  };
  return tree;
}

namespace {

TEST_P(RegistryStoreContract, OpensExistingKeysByPathIgnoringCase) {
  // Empty components, doubled or trailing backslashes, are passed over.
  const char* paths[] = {"Parent",   "Parent\\Alpha\\Deep", "PARENT\\alpha",
                         "Parent\\", "Parent\\Alpha\\",     "Parent\\\\Alpha",
                         ""};
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    RegKey key = kNullKey;
    ASSERT_EQ(kErrorSuccess, store().OpenKey(base(), path, kAccess, &key));
    EXPECT_NE(kNullKey, key);
    EXPECT_NE(base(), key);
    store().CloseKey(key);
  }
}

TEST_P(RegistryStoreContract, RefusesMissingKeysAndMalformedPaths) {
  struct {
    const char* path;
    std::int32_t result;
  } cases[] = {
      {"Missing", kErrorFileNotFound},
      {"Parent\\Missing", kErrorFileNotFound},
      {"Parent\\Alpha\\Deep\\Deeper", kErrorFileNotFound},
      {"\\Parent", kErrorBadPathname},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    RegKey key = 0x1234;
    EXPECT_EQ(c.result, store().OpenKey(base(), c.path, kAccess, &key));
    EXPECT_EQ(kNullKey, key);
  }
}

TEST_P(RegistryStoreContract, KeyInfoCountsNamesInCharactersAndStringsInUtf16) {
  struct {
    const char* path;
    RegKeyInfo want;
  } cases[] = {
      {"Parent", {4, 15, 9, 6, 14, 0}},
      {"Sizes", {0, 0, 2, 15, 18, 0}},
      {"Empty", {0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    RegKey key = Open(c.path);
    RegKeyInfo info;
    ASSERT_EQ(kErrorSuccess, store().QueryInfoKey(key, &info));
    EXPECT_EQ(c.want.subkey_count, info.subkey_count);
    EXPECT_EQ(c.want.longest_subkey_name, info.longest_subkey_name);
    EXPECT_EQ(c.want.value_count, info.value_count);
    EXPECT_EQ(c.want.longest_value_name, info.longest_value_name);
    EXPECT_EQ(c.want.longest_value_data, info.longest_value_data);
    store().CloseKey(key);
  }
}

// Letters compare as lower case, so the underscore comes before them.
TEST_P(RegistryStoreContract, EnumeratesSubkeysSortedIgnoringCase) {
  RegKey key = Open("Parent");
  EXPECT_EQ((std::vector<std::string>{"_under", "Alpha", "beta", "gamma_longest_1"}),
            Children(key));
  store().CloseKey(key);
}

TEST_P(RegistryStoreContract, EnumKeyNeedsRoomForTheNameAndItsNul) {
  RegKey key = Open("Parent");
  char name[16];
  std::string(15, '#').copy(name, 15);
  std::uint32_t length = 5;  // "Alpha" without its NUL
  EXPECT_EQ(kErrorMoreData, store().EnumKey(key, 1, name, &length));
  EXPECT_EQ(5u, length);
  EXPECT_EQ(std::string(15, '#'), std::string(name, 15));

  length = 6;
  EXPECT_EQ(kErrorSuccess, store().EnumKey(key, 1, name, &length));
  EXPECT_EQ(5u, length);
  EXPECT_EQ(std::string("Alpha\0", 6), std::string(name, 6));

  length = sizeof name;
  EXPECT_EQ(kErrorNoMoreItems, store().EnumKey(key, 4, name, &length));
  store().CloseKey(key);
}

TEST_P(RegistryStoreContract, ReportsTypeAndSizeWithoutData) {
  struct {
    const char* name;
    std::uint32_t type;
    std::uint32_t size;
  } cases[] = {
      {"Text", kRegSz, 4},     {"NoNul", kRegSz, 3},     {"Expand", kRegExpandSz, 7},
      {"Dword", kRegDword, 4}, {"Blob", kRegBinary, 10}, {"Zero", kRegBinary, 0},
      {"ZeroSz", kRegSz, 0},   {"Qword", kRegQword, 8},  {"Multi", kRegMultiSz, 6},
      {"TEXT", kRegSz, 4},
  };
  RegKey key = Open("Parent");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint32_t type = 0xDEAD;
    std::uint32_t size = 0xDEAD;
    ASSERT_EQ(kErrorSuccess, store().QueryValue(key, c.name, &type, nullptr, &size));
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.size, size);
  }
  store().CloseKey(key);
}

TEST_P(RegistryStoreContract, CopiesDataExactly) {
  RegKey key = Open("Parent");
  for (const auto& value : ContractTree().values) {
    if (value.key != "Parent") continue;
    SCOPED_TRACE(value.name);
    std::uint8_t data[32];
    std::uint32_t type = 0;
    std::uint32_t size = sizeof data;
    ASSERT_EQ(kErrorSuccess, store().QueryValue(key, value.name, &type, data, &size));
    EXPECT_EQ(value.type, type);
    EXPECT_EQ(value.bytes, std::string(reinterpret_cast<char*>(data), size));
  }
  store().CloseKey(key);
}

TEST_P(RegistryStoreContract, ShortDataBufferGetsMoreDataAndTheSizeNeeded) {
  struct {
    const char* name;
    std::uint32_t room;
    std::int32_t result;
    std::uint32_t size_after;
  } cases[] = {
      {"Blob", 4, kErrorMoreData, 10}, {"Text", 3, kErrorMoreData, 4},
      {"Qword", 4, kErrorMoreData, 8}, {"Dword", 4, kErrorSuccess, 4},
      {"Zero", 0, kErrorSuccess, 0},   {"ZeroSz", 0, kErrorSuccess, 0},
      {"Text", 4, kErrorSuccess, 4},
  };
  RegKey key = Open("Parent");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint8_t data[16] = {};
    std::uint32_t type = 0;
    std::uint32_t size = c.room;
    EXPECT_EQ(c.result, store().QueryValue(key, c.name, &type, data, &size));
    EXPECT_EQ(c.size_after, size);
    // Where the data fits, the text read gives the same, whichever way a
    // store reads it. (Where it does not, the Windows store reads up to the
    // most the data could take in UTF-16.)
    if (c.result != kErrorSuccess) continue;
    std::string text = "stale";
    std::uint32_t text_type = 0;
    EXPECT_EQ(kErrorSuccess, store().QueryText(key, c.name, c.room, &text_type, &text));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), text);
    EXPECT_EQ(type, text_type);
  }
  store().CloseKey(key);
}

TEST_P(RegistryStoreContract, MissingValueIsNotFound) {
  RegKey key = Open("Parent");
  std::uint8_t data[8];
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(kErrorFileNotFound, store().QueryValue(key, "Missing", &type, nullptr, &size));
  size = sizeof data;
  EXPECT_EQ(kErrorFileNotFound, store().QueryValue(key, "Missing", &type, data, &size));
  store().CloseKey(key);
}

TEST_P(RegistryStoreContract, EveryCallRefusesTheNullHandle) {
  RegKey key = 0x1234;
  EXPECT_EQ(kErrorInvalidHandle, store().OpenKey(kNullKey, "Parent", kAccess, &key));
  EXPECT_EQ(kNullKey, key);
  RegKeyInfo info;
  EXPECT_EQ(kErrorInvalidHandle, store().QueryInfoKey(kNullKey, &info));
  char name[16];
  std::uint32_t length = sizeof name;
  EXPECT_EQ(kErrorInvalidHandle, store().EnumKey(kNullKey, 0, name, &length));
  std::uint8_t data[8];
  std::uint32_t type = 0;
  std::uint32_t size = sizeof data;
  EXPECT_EQ(kErrorInvalidHandle, store().QueryValue(kNullKey, "Text", &type, nullptr, &size));
  EXPECT_EQ(kErrorInvalidHandle, store().QueryValue(kNullKey, "Text", &type, data, &size));
  store().CloseKey(kNullKey);
}

// What the reader meets when another program deletes keys while it lists.
TEST_P(RegistryStoreContract, RemovedKeysLeaveTheListingAndStaleHandles) {
  if (!planted_.remove_key) GTEST_SKIP() << "this store is read only";
  RegKey doomed = Open("Doomed");
  RegKey child = Open("Doomed\\b");
  planted_.remove_key("Doomed\\b");
  EXPECT_EQ((std::vector<std::string>{"a", "c"}), Children(doomed));

  planted_.remove_key("Doomed");
  RegKeyInfo info;
  EXPECT_EQ(kErrorKeyDeleted, store().QueryInfoKey(doomed, &info));
  char name[16];
  std::uint32_t length = sizeof name;
  EXPECT_EQ(kErrorKeyDeleted, store().EnumKey(doomed, 0, name, &length));
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(kErrorKeyDeleted, store().QueryValue(child, "x", &type, nullptr, &size));
  store().CloseKey(child);
  store().CloseKey(doomed);
}

PlantedStore PlantFake(const PlantedTree& tree) {
  auto fake = std::make_unique<FakeRegistryStore>();
  FakeRegistryStore* raw = fake.get();
  const std::string scratch = "Scratch";
  raw->AddKey(kHkeyCurrentUser, scratch);
  for (const auto& key : tree.keys) raw->AddKey(kHkeyCurrentUser, scratch + "\\" + key);
  for (const auto& value : tree.values) {
    raw->SetValue(kHkeyCurrentUser, scratch + "\\" + value.key, value.name, value.type,
                  value.bytes);
  }
  PlantedStore planted;
  raw->OpenKey(kHkeyCurrentUser, scratch, kRegistryAccess, &planted.base);
  const RegKey base = planted.base;
  planted.remove_key = [raw, scratch](const std::string& path) {
    raw->RemoveKey(kHkeyCurrentUser, scratch + "\\" + path);
  };
  planted.clean_up = [raw, base] { raw->CloseKey(base); };
  planted.store = std::move(fake);
  return planted;
}

INSTANTIATE_TEST_SUITE_P(Fake, RegistryStoreContract,
                         ::testing::Values(StoreUnderTest{"fake", &PlantFake}), StoreName);

}  // namespace
}  // namespace tallyweb
