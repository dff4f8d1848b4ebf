#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "os/posix/registry_store_posix.h"
#include "registry/registry.h"
#include "registry/registry_store.h"

namespace tallyweb {
namespace {

using namespace std::string_literals;

constexpr char kWineSystemReg[] =
#include "testdata/wine_system_reg.inc"
    ;

constexpr char kHeader[] = "WINE REGISTRY Version 2\n";

std::unique_ptr<RegistryStore> StoreOver(const std::string& text) {
  return MakeWineHiveStore(WineHive::Parse(text));
}

// A REG_SZ value's data as the store delivers it, or the error code.
std::string ReadValue(RegistryStore& store, RegKey key, const std::string& name) {
  std::uint8_t data[64];
  std::uint32_t type = 0;
  std::uint32_t size = sizeof data;
  std::int32_t result = store.QueryValue(key, name, &type, data, &size);
  if (result != kErrorSuccess) return "error " + std::to_string(result);
  return std::string(reinterpret_cast<char*>(data), size);
}

// The View value of the key that `path` opens with `access`, or the error.
std::string ViewOf(RegistryStore& store, const std::string& path, std::uint32_t access) {
  RegKey key = kNullKey;
  std::int32_t result = store.OpenKey(kHkeyLocalMachine, path, access, &key);
  if (result != kErrorSuccess) return "error " + std::to_string(result);
  std::string view = ReadValue(store, key, "View");
  store.CloseKey(key);
  return view;
}

// KEY_WOW64_32KEY sends Software\X to Software\Wow6432Node\X in a 64-bit
// prefix, and nowhere else.
TEST(WineHiveStore, ThirtyTwoBitViewIsWow6432NodeInA64BitPrefix) {
  const std::string branches =
      "[Software\\\\Classes\\\\X] 1\n\"View\"=\"shared\"\n"
      "[Software\\\\Wow6432Node\\\\X] 1\n\"View\"=\"32\"\n"
      "[Software\\\\X] 1\n\"View\"=\"64\"\n"
      "[System\\\\X] 1\n\"View\"=\"system\"\n";
  const std::string win64 = kHeader + "#arch=win64\n"s + branches;
  const std::string win32 = kHeader + "#arch=win32\n"s + branches;
  struct {
    const char* what;
    const std::string& hive;
    const char* path;
    std::uint32_t access;
    std::string view;
  } cases[] = {
      {"32-bit view", win64, "Software\\X", kRegistryAccess, "32\0"s},
      {"64-bit view", win64, "Software\\X", kKeyRead, "64\0"s},
      {"letters in any case", win64, "SOFTWARE\\x", kRegistryAccess, "32\0"s},
      {"Classes is shared", win64, "Software\\Classes\\X", kRegistryAccess, "shared\0"s},
      {"already in the node", win64, "Software\\Wow6432Node\\X", kRegistryAccess, "32\0"s},
      {"outside Software", win64, "System\\X", kRegistryAccess, "system\0"s},
      {"32-bit prefix", win32, "Software\\X", kRegistryAccess, "64\0"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto store = StoreOver(c.hive);
    EXPECT_EQ(c.view, ViewOf(*store, c.path, c.access));
  }
}

TEST(WineHiveStore, ReadsTheWineWrittenHiveInBothViews) {
  auto store = StoreOver(kWineSystemReg);
  EXPECT_EQ("32-bit\0"s, ViewOf(*store, "Software\\Tesmora\\HiveTest", kRegistryAccess));
  EXPECT_EQ("64-bit\0"s, ViewOf(*store, "Software\\Tesmora\\HiveTest", kKeyRead));
  // Software itself, opened in the 32-bit view, lists Wow6432Node's subkeys,
  // and keys opened below it stay in that view.
  RegKey software = kNullKey;
  ASSERT_EQ(kErrorSuccess,
            store->OpenKey(kHkeyLocalMachine, "Software", kRegistryAccess, &software));
  char name[32];
  std::uint32_t length = sizeof name;
  ASSERT_EQ(kErrorSuccess, store->EnumKey(software, 0, name, &length));
  EXPECT_EQ("Classes", std::string(name, length));
  RegKey test = kNullKey;
  ASSERT_EQ(kErrorSuccess, store->OpenKey(software, "Tesmora\\HiveTest", kKeyRead, &test));
  EXPECT_EQ("32-bit\0"s, ReadValue(*store, test, "View"));
  store->CloseKey(test);
  store->CloseKey(software);
}

// Path rules as RegOpenKeyExA shows them under Wine.
TEST(WineHiveStore, OpensPathsAsAdvapi32Does) {
  auto store = StoreOver(kWineSystemReg);
  struct {
    const char* path;
    std::int32_t result;
  } cases[] = {
      {"Software\\Tesmora\\HiveTest", kErrorSuccess},
      {"Software\\Tesmora\\HiveTest\\", kErrorSuccess},
      {"Software\\\\Tesmora\\HiveTest\\\\", kErrorSuccess},
      {"software\\TESMORA\\hivetest", kErrorSuccess},
      {"", kErrorSuccess},
      {"\\Software\\Tesmora", kErrorBadPathname},
      {"Software\\Tesmora\\Missing", kErrorFileNotFound},
      {"Software\\Tesmora\\HiveTest\\Order\\A\\Deeper", kErrorFileNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    RegKey key = 0x1234;
    EXPECT_EQ(c.result, store->OpenKey(kHkeyLocalMachine, c.path, kRegistryAccess, &key));
    EXPECT_EQ(c.result == kErrorSuccess, key != kNullKey);
    store->CloseKey(key);
  }
}

TEST(WineHiveStore, HasOnlyLocalMachineAndRefusesBadHandles) {
  auto store = StoreOver(kWineSystemReg);
  RegKey key = 0x1234;
  EXPECT_EQ(kErrorFileNotFound, store->OpenKey(kHkeyCurrentUser, "Software", kKeyRead, &key));
  EXPECT_EQ(kNullKey, key);
  EXPECT_EQ(kErrorFileNotFound, store->OpenKey(0x80000000u, "Software", kKeyRead, &key));

  RegKey open = kNullKey;
  ASSERT_EQ(kErrorSuccess, store->OpenKey(kHkeyLocalMachine, "Software", kKeyRead, &open));
  store->CloseKey(open);
  for (RegKey bad : {kNullKey, open}) {
    SCOPED_TRACE(bad);
    RegKeyInfo info;
    char name[16];
    std::uint32_t length = sizeof name;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    EXPECT_EQ(kErrorInvalidHandle, store->OpenKey(bad, "Tesmora", kKeyRead, &key));
    EXPECT_EQ(kErrorInvalidHandle, store->QueryInfoKey(bad, &info));
    EXPECT_EQ(kErrorInvalidHandle, store->EnumKey(bad, 0, name, &length));
    EXPECT_EQ(kErrorInvalidHandle, store->QueryValue(bad, "", &type, nullptr, &size));
  }
}

// Names are delivered in UTF-8, so their lengths count bytes: "Kéy 中" is
// five characters and eight bytes.
TEST(WineHiveStore, EnumKeyWantsRoomForTheUtf8NameAndItsNul) {
  auto store = StoreOver(kWineSystemReg);
  RegKey key = kNullKey;
  ASSERT_EQ(kErrorSuccess,
            store->OpenKey(kHkeyLocalMachine, "Software\\Tesmora\\HiveAdd", kRegistryAccess, &key));
  char name[16];
  std::memset(name, '#', sizeof name);
  std::uint32_t length = 8;
  EXPECT_EQ(kErrorMoreData, store->EnumKey(key, 0, name, &length));
  EXPECT_EQ(8u, length);
  EXPECT_EQ(std::string(16, '#'), std::string(name, 16));

  length = 9;
  EXPECT_EQ(kErrorSuccess, store->EnumKey(key, 0, name, &length));
  EXPECT_EQ(8u, length);
  EXPECT_EQ("Kéy 中\0"s, std::string(name, 9));

  length = sizeof name;
  EXPECT_EQ(kErrorNoMoreItems, store->EnumKey(key, 1, name, &length));
  store->CloseKey(key);
}

TEST(WineHiveStore, KeyInfoCountsDeliveredNameBytesAndTheLargerDataSize) {
  auto store = StoreOver(kWineSystemReg +
                         "\n[Software\\\\Wow6432Node\\\\Wide] 1\n"
                         "\"\\x4e2d\"=\"\\x4e2d\\x4e2d\\x4e2d\"\n"s);
  struct {
    const char* path;
    RegKeyInfo want;
  } cases[] = {
      // Values as RegQueryInfoKeyA gives them under Wine, but for names with
      // characters beyond ASCII, whose length is counted in UTF-8 bytes.
      {"Software\\Tesmora\\HiveTest", {1, 5, 25, 11, 64, 0x1dd872b64f7797aull}},
      {"Software\\Tesmora\\HiveTest\\Order", {7, 13, 0, 0, 0, 0}},
      {"Software\\Tesmora\\HiveAdd", {1, 8, 8, 5, 32, 0x1dd872b66279b54ull}},
      // Three CJK characters and a NUL: 8 bytes stored, 10 delivered.
      {"Software\\Wide", {0, 0, 1, 3, 10, 116444736010000000ull}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    RegKey key = kNullKey;
    ASSERT_EQ(kErrorSuccess, store->OpenKey(kHkeyLocalMachine, c.path, kRegistryAccess, &key));
    RegKeyInfo info;
    ASSERT_EQ(kErrorSuccess, store->QueryInfoKey(key, &info));
    EXPECT_EQ(c.want.subkey_count, info.subkey_count);
    EXPECT_EQ(c.want.longest_subkey_name, info.longest_subkey_name);
    EXPECT_EQ(c.want.value_count, info.value_count);
    EXPECT_EQ(c.want.longest_value_name, info.longest_value_name);
    EXPECT_EQ(c.want.longest_value_data, info.longest_value_data);
    EXPECT_EQ(c.want.last_write_time, info.last_write_time);
    store->CloseKey(key);
  }
}

TEST(WineHiveStore, QueryValueSizesAndCopiesAsAdvapi32Does) {
  auto store = StoreOver(kWineSystemReg);
  RegKey key = kNullKey;
  ASSERT_EQ(kErrorSuccess, store->OpenKey(kHkeyLocalMachine, "Software\\Tesmora\\HiveTest",
                                          kRegistryAccess, &key));
  struct {
    const char* name;
    std::uint32_t room;
    std::int32_t result;
    std::uint32_t type;
    std::uint32_t size_after;
    std::string copied;            // what the buffer holds after the call
    std::uint32_t size_asked = 0;  // what a query without a buffer says, if not size_after
  } cases[] = {
      {"Text", 6, kErrorSuccess, kRegSz, 6, "plain\0"s},
      {"Text", 5, kErrorMoreData, kRegSz, 6, "#####"},
      {"Café", 32, kErrorSuccess, kRegSz, 25, "naïve über 中文 😀\0"s},
      // Whether the data fits is the ANSI call's answer: 17 characters, a
      // byte each in a single-byte code page, fit 17 bytes. What fits of
      // the UTF-8 is copied; 16 bytes are too few.
      {"Café", 17, kErrorSuccess, kRegSz, 17, "naïve über \xe4\xb8\xad\xe6"s, 25},
      {"Café", 16, kErrorMoreData, kRegSz, 25, "################"},
      {"Binary", 3, kErrorMoreData, kRegBinary, 64, "###"},
      {"DwordMax", 4, kErrorSuccess, kRegDword, 4, "\xff\xff\xff\xff"},
      {"EmptySz", 0, kErrorSuccess, kRegSz, 0, ""},
      {"", 13, kErrorSuccess, kRegSz, 13, "default text\0"s},
      {"Missing", 8, kErrorFileNotFound, 0, 8, "########"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint8_t data[32];
    std::memset(data, '#', sizeof data);
    std::uint32_t type = 0;
    std::uint32_t size = c.room;
    EXPECT_EQ(c.result, store->QueryValue(key, c.name, &type, data, &size));
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.size_after, size);
    EXPECT_EQ(c.copied, std::string(reinterpret_cast<char*>(data), c.copied.size()));

    type = 0;
    size = 0xDEAD;
    if (c.result == kErrorFileNotFound) continue;
    EXPECT_EQ(kErrorSuccess, store->QueryValue(key, c.name, &type, nullptr, &size));
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.size_asked != 0 ? c.size_asked : c.size_after, size);
  }
  store->CloseKey(key);
}

// A scratch directory with hive files, and the environment put back after.
// A key's values are dropped with its last handle and read again when it is
// opened again; the text the store converted for one key must never be
// handed out for another, even where the other's values take its memory.
TEST(WineHiveStore, ValuesOfAClosedKeyAreReadAgainAndNeverMixedUp) {
  auto store = StoreOver(kHeader +
                         "[A] 1\n\"v\"=\"the value of key A, the longer one\"\n"
                         "[B] 1\n\"v\"=\"key B\"\n"
                         "[C] 1\n\"v\"=hex:01,02\n"s);
  enum Step { kOpenA, kOpenB, kOpenC, kOpenA2, kCloseA, kCloseB, kCloseC, kCloseA2 };
  struct {
    const char* what;
    std::vector<Step> steps;
    int read_from;  // 0: A, 1: B, 2: C, 3: A's second handle
    std::string expected;
  } cases[] = {
      {"a key opened after another closed", {kOpenA, kCloseA, kOpenB}, 1, "key B\0"s},
      {"a key reopened",
       {kOpenA, kCloseA, kOpenB, kCloseB, kOpenA},
       0,
       "the value of key A, the longer one\0"s},
      {"binary after text", {kOpenA, kCloseA, kOpenC}, 2, "\x01\x02"s},
      {"one of two handles closed",
       {kOpenA, kOpenA2, kCloseA, kOpenB, kCloseB},
       3,
       "the value of key A, the longer one\0"s},
      {"two keys open", {kOpenA, kOpenB}, 0, "the value of key A, the longer one\0"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegKey keys[4] = {kNullKey, kNullKey, kNullKey, kNullKey};
    const char* paths[4] = {"A", "B", "C", "A"};
    // Before each step, the value is sized through every open handle, so a
    // conversion is always left behind for the step to spoil.
    auto size_all = [&] {
      for (RegKey key : keys) {
        std::uint32_t size = 0;
        if (key != kNullKey) store->QueryValue(key, "v", nullptr, nullptr, &size);
      }
    };
    for (Step step : c.steps) {
      size_all();
      const int index = step % 4;
      if (step < kCloseA) {
        ASSERT_EQ(kErrorSuccess,
                  store->OpenKey(kHkeyLocalMachine, paths[index], kKeyRead, &keys[index]));
      } else {
        store->CloseKey(keys[index]);
        keys[index] = kNullKey;
      }
    }
    size_all();
    std::uint32_t size = 0;
    ASSERT_EQ(kErrorSuccess, store->QueryValue(keys[c.read_from], "v", nullptr, nullptr, &size));
    EXPECT_EQ(c.expected.size(), size);
    EXPECT_EQ(c.expected, ReadValue(*store, keys[c.read_from], "v"));
    for (RegKey key : keys) {
      if (key != kNullKey) store->CloseKey(key);
    }
  }
}

class HiveFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tallyweb-hive-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    Save("WINEPREFIX");
    Save("HOME");
  }
  void TearDown() override {
    Restore("WINEPREFIX", saved_prefix_, had_prefix_);
    Restore("HOME", saved_home_, had_home_);
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(0, std::system(command.c_str()));
  }
  std::string Write(const std::string& relative, const std::string& text) {
    std::string path = dir_ + "/" + relative;
    std::string parent = path.substr(0, path.rfind('/'));
    std::string command = "mkdir -p '" + parent + "'";
    EXPECT_EQ(0, std::system(command.c_str()));
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  static std::int32_t OpenSoftware(RegistryStore& store) {
    RegKey key = kNullKey;
    std::int32_t result = store.OpenKey(kHkeyLocalMachine, "Software", kKeyRead, &key);
    if (result == kErrorSuccess) store.CloseKey(key);
    return result;
  }

  std::string dir_;

 private:
  void Save(const char* name) {
    const char* value = getenv(name);
    std::string& saved = std::string(name) == "HOME" ? saved_home_ : saved_prefix_;
    bool& had = std::string(name) == "HOME" ? had_home_ : had_prefix_;
    had = value != nullptr;
    saved = had ? value : "";
  }
  static void Restore(const char* name, const std::string& value, bool had) {
    if (had) {
      setenv(name, value.c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  std::string saved_prefix_, saved_home_;
  bool had_prefix_ = false, had_home_ = false;
};

TEST_F(HiveFiles, AMissingOrDamagedHiveRefusesEveryOpen) {
  const std::string good = kHeader + "[Software\\\\X] 1\n"s;
  Write("dir/system.reg/x", "");
  struct {
    const char* what;
    std::string path;
  } cases[] = {
      {"missing", dir_ + "/none/system.reg"},
      {"a directory", dir_ + "/dir/system.reg"},
      {"empty", Write("empty.reg", "")},
      {"cut in its header", Write("cut.reg", good.substr(0, 10))},
      {"garbage", Write("garbage.reg", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR"s)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto store = MakeWineHiveStoreFromFile(c.path);
    EXPECT_EQ(kErrorFileNotFound, OpenSoftware(*store));
    RegKeyInfo info;
    EXPECT_EQ(kErrorFileNotFound, store->QueryInfoKey(kHkeyLocalMachine, &info));
  }
  EXPECT_EQ(kErrorSuccess, OpenSoftware(*MakeWineHiveStoreFromFile(Write("good.reg", good))));
}

// A hive file of several megabytes is read through a mapping whose pages the
// store gives back as it goes, or, its keys out of order, through copies of
// each key's text: every key and value must read as from the same text held
// in memory, and a file cut under the copies is gone, as under the mapping.
TEST_F(HiveFiles, ALargeMappedHiveReadsAsTheSameTextInMemory) {
  for (bool reversed : {false, true}) {
    SCOPED_TRACE(reversed ? "keys reversed" : "keys in order");
    std::string text = kHeader;
    for (int k = 0; k < 12000; ++k) {
      const int i = reversed ? 11999 - k : k;
      const std::string name = std::to_string(1000000 + i * 7);
      text += "[Software\\\\List\\\\" + name + "] 1700000000\n\"Name\"=\"" + name +
              "\"\n\"Size\"=dword:" + std::to_string(10000000 + i) + "\n\"Pad\"=\"" +
              std::string(300, static_cast<char>('a' + i % 26)) + "\"\n";
    }
    ASSERT_GT(text.size(), 4u << 20);
    const std::string file = Write(reversed ? "reversed.reg" : "large.reg", text);
    auto mapped = MakeWineHiveStoreFromFile(file);
    auto kept = StoreOver(text);
    RegKey mapped_list = kNullKey, kept_list = kNullKey;
    ASSERT_EQ(kErrorSuccess,
              mapped->OpenKey(kHkeyLocalMachine, "Software\\List", kKeyRead, &mapped_list));
    ASSERT_EQ(kErrorSuccess,
              kept->OpenKey(kHkeyLocalMachine, "Software\\List", kKeyRead, &kept_list));
    RegKeyInfo info;
    ASSERT_EQ(kErrorSuccess, mapped->QueryInfoKey(mapped_list, &info));
    ASSERT_EQ(12000u, info.subkey_count);
    for (std::uint32_t i = 0; i < info.subkey_count; ++i) {
      char name[32];
      std::uint32_t length = sizeof name;
      ASSERT_EQ(kErrorSuccess, mapped->EnumKey(mapped_list, i, name, &length));
      RegKey a = kNullKey, b = kNullKey;
      ASSERT_EQ(kErrorSuccess, mapped->OpenKey(mapped_list, name, kKeyRead, &a));
      ASSERT_EQ(kErrorSuccess, kept->OpenKey(kept_list, name, kKeyRead, &b));
      for (const char* value : {"Name", "Size", "Pad"}) {
        std::uint8_t x[400], y[400];
        std::uint32_t type_x = 0, type_y = 0, size_x = sizeof x, size_y = sizeof y;
        ASSERT_EQ(kErrorSuccess, mapped->QueryValue(a, value, &type_x, x, &size_x));
        ASSERT_EQ(kErrorSuccess, kept->QueryValue(b, value, &type_y, y, &size_y));
        ASSERT_EQ(type_y, type_x);
        ASSERT_EQ(std::string(reinterpret_cast<char*>(y), size_y),
                  std::string(reinterpret_cast<char*>(x), size_x));
      }
      mapped->CloseKey(a);
      kept->CloseKey(b);
    }
    if (!reversed) continue;
    RegKey first = kNullKey;
    ASSERT_EQ(kErrorSuccess, mapped->OpenKey(mapped_list, "1000000", kKeyRead, &first));
    ASSERT_EQ(0, truncate(file.c_str(), 4096));
    std::uint32_t size = 0;
    EXPECT_EQ(kErrorFileNotFound, mapped->QueryValue(first, "Name", nullptr, nullptr, &size));
    EXPECT_EQ(kErrorFileNotFound, mapped->OpenKey(mapped_list, "1000007", kKeyRead, &first));
  }
}

TEST_F(HiveFiles, SystemStoreReadsWineprefixElseHomeDotWine) {
  Write("prefix/system.reg", kHeader + "[Software\\\\Where] 1\n\"View\"=\"prefix\"\n"s);
  Write("home/.wine/system.reg", kHeader + "[Software\\\\Where] 1\n\"View\"=\"home\"\n"s);
  setenv("HOME", (dir_ + "/home").c_str(), 1);
  setenv("WINEPREFIX", (dir_ + "/prefix").c_str(), 1);
  EXPECT_EQ("prefix\0"s, ViewOf(*MakeSystemRegistryStore(), "Software\\Where", kKeyRead));
  unsetenv("WINEPREFIX");
  EXPECT_EQ("home\0"s, ViewOf(*MakeSystemRegistryStore(), "Software\\Where", kKeyRead));
  setenv("WINEPREFIX", (dir_ + "/nowhere").c_str(), 1);
  EXPECT_EQ("error 2", ViewOf(*MakeSystemRegistryStore(), "Software\\Where", kKeyRead));
}

}  // namespace
}  // namespace tallyweb
