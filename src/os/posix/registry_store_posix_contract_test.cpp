// The store contract against the Wine-hive store: each planted tree becomes
// a hive text in a 64-bit prefix's 32-bit view, read through a real file.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "os/posix/registry_store_posix.h"
#include "testing/registry_store_contract_test.h"

namespace tallyweb {
namespace {

std::string HexBytes(const std::string& bytes) {
  std::string out;
  char pair[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, i == 0 ? "%02x" : ",%02x",
                  static_cast<unsigned char>(bytes[i]));
    out += pair;
  }
  return out;
}

// The contract's strings are ANSI bytes; the hive keeps them in UTF-16.
std::string Stored(const PlantedValue& value) {
  if (value.type != kRegSz && value.type != kRegExpandSz && value.type != kRegMultiSz)
    return value.bytes;
  std::string utf16;
  for (char c : value.bytes) {
    utf16 += c;
    utf16 += '\0';
  }
  return utf16;
}

std::string KeyLine(const std::string& below_scratch) {
  std::string path = "Software\\Wow6432Node\\Scratch";
  if (!below_scratch.empty()) path += "\\" + below_scratch;
  std::string escaped;
  for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return "[" + escaped + "] 1700000000\n";
}

PlantedStore PlantHive(const PlantedTree& tree) {
  std::string text = "WINE REGISTRY Version 2\n#arch=win64\n\n" + KeyLine("");
  for (const auto& key : tree.keys) text += KeyLine(key);
  for (const auto& value : tree.values) {
    char type[16];
    std::snprintf(type, sizeof type, "hex(%x):", static_cast<unsigned>(value.type));
    text += KeyLine(value.key) + "\"" + value.name + "\"=" + type + HexBytes(Stored(value)) + "\n";
  }
  char path[] = "/tmp/tallyweb-contract-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_NE(-1, fd);
  if (fd != -1) close(fd);
  std::ofstream(path, std::ios::binary) << text;
  PlantedStore planted;
  planted.store = MakeWineHiveStoreFromFile(path);
  std::remove(path);
  EXPECT_EQ(kErrorSuccess, planted.store->OpenKey(kHkeyLocalMachine, "Software\\Scratch",
                                                  kRegistryAccess, &planted.base));
  RegistryStore* store = planted.store.get();
  RegKey base = planted.base;
  planted.clean_up = [store, base] { store->CloseKey(base); };
  // No remove_key: a hive is read once and never changes under the reader,
  // so the case of keys removed during a listing does not apply.
  return planted;
}

INSTANTIATE_TEST_SUITE_P(WineHive, RegistryStoreContract,
                         ::testing::Values(StoreUnderTest{"wine_hive", &PlantHive}), StoreName);

}  // namespace
}  // namespace tallyweb
