#include "winehive/key_hash_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tallyweb {
namespace {

using Id = KeyHashTable::Id;

struct TableCase {
  std::string what;
  std::vector<std::uint64_t> hashes;  // number i is added under hashes[i]
};

std::vector<std::uint64_t> Repeat(std::uint64_t hash, std::size_t count) {
  return std::vector<std::uint64_t>(count, hash);
}

std::vector<TableCase> TableCases() {
  std::vector<TableCase> cases = {
      {"nothing added", {}},
      {"distinct hashes", {1, 2, 3, 0xFFFFFFFFFFFFFFFFull, 1ull << 40}},
      {"hashes alike once folded to 32 bits", {0, 0x0000000100000001ull, 0xABCD0000ABCDull, 5, 5}},
      {"one hash for all, past the first growth", Repeat(7, 40)},
  };
  TableCase many{"a thousand keys, through several growths", {}};
  for (std::uint64_t i = 1; i <= 1000; ++i) many.hashes.push_back(i * 1099511628211ull);
  cases.push_back(many);
  // As many keys of one hash as the first table holds, from each of its
  // slots in turn: some runs pass its last slot and go on from the first.
  for (std::uint64_t hash = 0; hash < 64; ++hash) {
    cases.push_back({"a full run of hash " + std::to_string(hash), Repeat(hash, 32)});
  }
  return cases;
}

TEST(KeyHashTable, FindsWhatWasAddedAndNothingElse) {
  for (const TableCase& c : TableCases()) {
    SCOPED_TRACE(c.what);
    KeyHashTable table;
    for (Id id = 0; id < c.hashes.size(); ++id) {
      table.Add(c.hashes[id], id);
      ASSERT_LE(2 * table.size(), table.SlotCount()) << "more than half full";
    }
    EXPECT_EQ(c.hashes.size(), table.size());
    // As the index asks: does the number found stand for the key wanted?
    for (Id id = 0; id < c.hashes.size(); ++id) {
      const std::uint64_t hash = c.hashes[id];
      EXPECT_EQ(id, table.Find(hash, [&](Id found) {
        return c.hashes[found] == hash && found == id;
      })) << id;
      // Under its hash but not the one asked for (a name that differs).
      EXPECT_EQ(KeyHashTable::kNone, table.Find(hash, [](Id) { return false; })) << id;
    }
    for (std::uint64_t absent : {0x5A5A5A5A12345678ull, 0xFFFFFFFF00000000ull, 1000ull}) {
      EXPECT_EQ(KeyHashTable::kNone,
                table.Find(absent, [&](Id found) { return c.hashes[found] == absent; }));
    }
  }
}

TEST(KeyHashTable, ClearGivesBackTheSlots) {
  KeyHashTable table;
  for (Id id = 0; id < 100; ++id) table.Add(id, id);
  table.Clear();
  EXPECT_EQ(0u, table.size());
  EXPECT_EQ(0u, table.SlotCount());
  EXPECT_EQ(KeyHashTable::kNone, table.Find(5, [](Id) { return true; }));
  table.Add(5, 9);
  EXPECT_EQ(9u, table.Find(5, [](Id) { return true; }));
}

}  // namespace
}  // namespace tallyweb
