// One set of cases for every registry store: the in-memory fake natively,
// and advapi32 itself under Wine. The reader's tests trust the fake; these
// cases are what entitles them to.
//
// Each store comes with a factory that plants the tree below into a scratch
// key of its own and hands back the store with a handle to that key.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "registry/registry_store.h"

namespace tallyweb {

struct PlantedValue {
  std::string key;  // below the scratch key; empty for the scratch key itself
  std::string name;
  std::uint32_t type;
  std::string bytes;  // exactly what is stored: a string gets no NUL added
};

struct PlantedTree {
  std::vector<std::string> keys;  // each made with every key on its way
  std::vector<PlantedValue> values;
};

struct PlantedStore {
  std::unique_ptr<RegistryStore> store;
  RegKey base = kNullKey;  // the scratch key, open; paths are taken below it
  /// Removes a key below the scratch key and all below it, as another
  /// program might while the store is being read. Empty for a read-only
  /// store: the cases that need it are skipped.
  std::function<void(const std::string& path)> remove_key;
  /// Closes `base` and removes everything that was planted.
  std::function<void()> clean_up;
};

struct StoreUnderTest {
  const char* name;
  PlantedStore (*plant)(const PlantedTree& tree);
};

// CTest names the cases after this, so print the name, never the pointers.
inline void PrintTo(const StoreUnderTest& store, std::ostream* out) { *out << store.name; }

inline std::string StoreName(const ::testing::TestParamInfo<StoreUnderTest>& info) {
  return info.param.name;
}

/// The tree every case reads.
PlantedTree ContractTree();

class RegistryStoreContract : public ::testing::TestWithParam<StoreUnderTest> {
 protected:
  void SetUp() override { planted_ = GetParam().plant(ContractTree()); }
  void TearDown() override {
    if (planted_.clean_up) planted_.clean_up();
  }

  RegistryStore& store() { return *planted_.store; }
  RegKey base() const { return planted_.base; }

  /// Opens `path` below the scratch key for reading, as the reader does.
  RegKey Open(const std::string& path) {
    RegKey key = kNullKey;
    EXPECT_EQ(kErrorSuccess, store().OpenKey(base(), path, kAccess, &key)) << path;
    EXPECT_NE(kNullKey, key) << path;
    return key;
  }
  /// Every subkey name of `key`, in the store's enumeration order.
  std::vector<std::string> Children(RegKey key) {
    std::vector<std::string> names;
    for (std::uint32_t index = 0;; ++index) {
      char name[256];
      std::uint32_t length = sizeof name;
      if (store().EnumKey(key, index, name, &length) != kErrorSuccess) break;
      names.push_back(std::string(name, length));
    }
    return names;
  }

  static constexpr std::uint32_t kAccess = kRegistryAccess;

  PlantedStore planted_;
};

}  // namespace tallyweb
