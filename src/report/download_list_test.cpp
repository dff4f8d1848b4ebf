#include "report/download_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/report_run_fixture.h"

namespace tallyweb {
namespace {

using Names = std::vector<std::string>;

class DownloadListTest : public ReportRunTest {
 protected:
  DownloadList list_{store_, facts_};
};

TEST_F(DownloadListTest, OpeningListsTheSubkeysAndClosesTheListKey) {
  AddItem("b", "u", "o", 1, "d");
  AddItem("a", "u", "o", 1, "d");
  TStringList names;
  EXPECT_TRUE(list_.OpenDownloadList(names));
  EXPECT_EQ((Names{"a", "b"}), names);
  ASSERT_FALSE(store_.Opens().empty());
  EXPECT_EQ(kHkeyLocalMachine, store_.Opens()[0].base);
  EXPECT_EQ("Software\\Tesmora\\Orvalink\\FileList\\", store_.Opens()[0].path);
  EXPECT_EQ(0, store_.OpenHandleCount()) << "no key stays open between items";
  list_.CloseDownloadList();
  EXPECT_EQ(0, store_.OpenHandleCount());
}

TEST_F(DownloadListTest, MissingOrEmptyListKey) {
  TStringList names;
  EXPECT_FALSE(list_.OpenDownloadList(names));
  EXPECT_TRUE(names.empty());
  AddListKey();
  DownloadList again(store_, facts_);
  EXPECT_TRUE(again.OpenDownloadList(names));
  EXPECT_TRUE(names.empty());
  EXPECT_TRUE(store_.QueriedValueNames().empty());
}

TEST_F(DownloadListTest, ReadingAnItemOpensItByAbsolutePathAndClosesIt) {
  AddItem("k1", "http://h/x", "C:\\D\\x", 42, "desc");
  TStringList names;
  ASSERT_TRUE(list_.OpenDownloadList(names));
  const TDownloadItem item = list_.ReadDownloadItem("k1");
  EXPECT_EQ("k1", item.KeyName);
  EXPECT_EQ("http://h/x", item.MainUrl);
  EXPECT_EQ("C:\\D\\x", item.OutputFilename);
  EXPECT_EQ(42, item.Size);
  EXPECT_EQ("desc", item.Description);
  EXPECT_EQ(kHkeyLocalMachine, store_.Opens().back().base);
  EXPECT_EQ("Software\\Tesmora\\Orvalink\\FileList\\k1", store_.Opens().back().path);
  EXPECT_EQ(0, store_.OpenHandleCount());
}

// The values are read in a fixed order, and the first that cannot be read
// ends the item there.
TEST_F(DownloadListTest, ValuesAreReadInOrder) {
  AddItem("k", "u", "o", 1, "d");
  TStringList names;
  ASSERT_TRUE(list_.OpenDownloadList(names));
  list_.ReadDownloadItem("k");
  EXPECT_EQ((Names{"Item_MainURL", "Item_MainURL", "Item_OutputFilename", "Item_OutputFilename",
                   "Item_Size", "Item_Description", "Item_Description"}),
            store_.QueriedValueNames());
}

TEST_F(DownloadListTest, SizeIsTheStoredNumberAsSigned32Bits) {
  struct {
    std::uint32_t stored;
    const char* want;
  } cases[] = {
      {0xFFFFFFFFu, "-1"},
      {0x80000000u, "-2147483648"},
      {0x7FFFFFFFu, "2147483647"},
      {0u, "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    Reset();
    PlantTemplate("{\r\n&Size\r\n}");
    AddItem("k", "u", "o", c.stored, "d");
    EXPECT_EQ("", Run());
    EXPECT_EQ(std::string(c.want) + "\r\n", Report());
  }
}

TEST_F(DownloadListTest, EnumerationOrderIsKept) {
  PlantTemplate("{\r\n&Name=&Size\r\n}");
  store_.EnumerateInCreationOrder(kHkeyLocalMachine, kListKey);
  AddItem("b", "u", "o", 2, "d");
  AddItem("a", "u", "o", 1, "d");
  EXPECT_EQ("", Run());
  EXPECT_EQ("b=2\r\na=1\r\n", Report());
}

TEST_F(DownloadListTest, StringValuesMayBeMissingOrExpandable) {
  PlantTemplate("{\r\n[&URL|&Out|&Discr|&Size]\r\n}");
  store_.SetDword(kHkeyLocalMachine, ItemKey("only size"), "Item_Size", 7);
  store_.SetValue(kHkeyLocalMachine, ItemKey("z expand"), "Item_MainURL", kRegExpandSz,
                  std::string("%TEMP%\\x\0", 9));
  store_.SetDword(kHkeyLocalMachine, ItemKey("z expand"), "Item_Size", 8);
  EXPECT_EQ("", Run());
  EXPECT_EQ("[|||7]\r\n[%TEMP%\\x|||8]\r\n", Report());
}

// A bad value ends the run at that value: the items before it are in the
// report as far as their whole 128-byte blocks reached the file, the failing
// item's block is not written, and no later value is read. The third of
// three items is the bad one.
TEST_F(DownloadListTest, BadItemEndsTheRunAtItsValue) {
  const Names up_to_size = {"Item_MainURL", "Item_MainURL", "Item_OutputFilename",
                            "Item_OutputFilename", "Item_Size"};
  struct {
    const char* name;
    void (*spoil)(FakeRegistryStore&, const std::string& key);
    std::string want;
    Names bad_item_reads;
  } cases[] = {
      {"Item_Size missing",
       [](FakeRegistryStore& s, const std::string& key) {
         s.RemoveValue(kHkeyLocalMachine, key, "Item_Size");
       },
       "ERegistryException: Failed to get data for 'Item_Size'", up_to_size},
      {"Item_MainURL as REG_DWORD",
       [](FakeRegistryStore& s, const std::string& key) {
         s.SetDword(kHkeyLocalMachine, key, "Item_MainURL", 5);
       },
       "ERegistryException: Invalid data type for 'Item_MainURL'",
       {"Item_MainURL", "Item_MainURL"}},
      {"Item_Size as 4-byte REG_BINARY",
       [](FakeRegistryStore& s, const std::string& key) {
         s.SetValue(kHkeyLocalMachine, key, "Item_Size", kRegBinary, std::string("\1\0\0\0", 4));
       },
       "ERegistryException: Invalid data type for 'Item_Size'", up_to_size},
      {"Item_Size as REG_QWORD",
       [](FakeRegistryStore& s, const std::string& key) {
         s.SetValue(kHkeyLocalMachine, key, "Item_Size", kRegQword, std::string(8, '\1'));
       },
       "ERegistryException: Failed to get data for 'Item_Size'", up_to_size},
      {"Item_Description as REG_BINARY",
       [](FakeRegistryStore& s, const std::string& key) {
         s.SetValue(kHkeyLocalMachine, key, "Item_Description", kRegBinary, "xy");
       },
       "ERegistryException: Invalid data type for 'Item_Description'",
       {"Item_MainURL", "Item_MainURL", "Item_OutputFilename", "Item_OutputFilename", "Item_Size",
        "Item_Description", "Item_Description"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    // Each block is 100 bytes: with the 6-byte head, 206 bytes are accepted
    // before the third item, of which one 128-byte block reached the file.
    PlantTemplate("head\r\n{\r\n&Name " + std::string(96, '.') + "\r\n}\r\ntail\r\n");
    for (const char* name : {"1", "2", "3"}) AddItem(name, "u", "o", 1, "d");
    c.spoil(store_, ItemKey("3"));
    EXPECT_EQ(c.want, Run());
    EXPECT_EQ("head\r\n1 " + std::string(96, '.') + "\r\n2 " + std::string(20, '.'), Report());
    const Names all = store_.QueriedValueNames();
    ASSERT_GE(all.size(), 14u);
    EXPECT_EQ(c.bad_item_reads, Names(all.begin() + 14, all.end()));  // 7 per good item
    EXPECT_TRUE(os_.shell_requests.empty());
    EXPECT_EQ(1u, os_.OpenHandleCount()) << "the abandoned report stays open";
  }
}

// A subkey removed after the listing cannot be opened; with the list key
// already closed, the item reads with no key open and the run stops at
// Item_Size, for the first item as for a later one, even though the list key
// itself holds an Item_Size.
TEST_F(DownloadListTest, SubkeyRemovedAfterTheListingEndsTheRun) {
  struct {
    const char* name;
    int removed;  // 1-based
    std::string report;
  } cases[] = {
      {"first item", 1, ""},
      {"later item", 2, "1" + std::string(126, '.') + "\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    PlantTemplate("{\r\n&Name" + std::string(126, '.') + "\r\n}\r\n");  // 129-byte blocks
    AddItem("1", "u", "o", 1, "d");
    AddItem("2", "u", "o", 1, "d");
    store_.SetDword(kHkeyLocalMachine, kListKey, "Item_Size", 99);
    store_.SetText(kHkeyLocalMachine, kListKey, "Item_MainURL", "from the list key");
    // OpenKey calls: the list key, then one per item.
    const std::string removed = ItemKey(std::to_string(c.removed));
    store_.BeforeCall(FakeRegistryStore::Call::kOpenKey, 1 + c.removed,
                      [this, removed] { store_.RemoveKey(kHkeyLocalMachine, removed); });
    EXPECT_EQ("ERegistryException: Failed to get data for 'Item_Size'", Run());
    EXPECT_EQ(c.report, Report());
    const Names all = store_.QueriedValueNames();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ((Names{"Item_MainURL", "Item_OutputFilename", "Item_Size"}),
              Names(all.end() - 3, all.end()));
    EXPECT_EQ(kNullKey, store_.ValueQueries().back().key) << "read with no key open";
    EXPECT_EQ(0, store_.OpenHandleCount());
  }
}

}  // namespace
}  // namespace tallyweb
