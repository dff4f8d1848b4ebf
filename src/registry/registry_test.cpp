#include "registry/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failure/failure_kinds.h"
#include "testing/fake_registry_store.h"

namespace tallyweb {
namespace {

using Call = FakeRegistryStore::Call;

// The message of the ERegistryException that `read` raises, or "no failure".
template <class Read>
std::string FailureOf(Read read) {
  try {
    read();
  } catch (const ERegistryException& failure) {
    return failure.Message();
  }
  return "no failure";
}

class TRegistryTest : public ::testing::Test {
 protected:
  TRegistryTest() { facts_.nt = true; }

  FakeRegistryStore store_;
  SystemFacts facts_;
};

TEST_F(TRegistryTest, StartsReadOnlyBelowCurrentUserWithNoKeyOpen) {
  TRegistry registry(store_, facts_);
  EXPECT_EQ(0x80000001u, registry.RootKey());
  EXPECT_EQ(0x20219u, registry.Access());
  EXPECT_EQ(kNullKey, registry.CurrentKey());
  EXPECT_EQ("", registry.CurrentPath());
  EXPECT_TRUE(store_.Opens().empty());
}

// Absolute paths lose exactly one leading backslash and go from the root;
// relative ones go from the current key and extend its path.
TEST_F(TRegistryTest, OpenPathComposesBaseStorePathAndCurrentPath) {
  store_.AddKey(kHkeyCurrentUser, "A\\B\\C");
  store_.AddKey(kHkeyCurrentUser, "C");
  struct {
    const char* current;  // opened first, absolutely; nullptr: no key open
    const char* path;
    bool from_current;  // the base handed to the store is the current key
    const char* store_path;
    const char* current_after;
  } cases[] = {
      {nullptr, "\\A\\B", false, "A\\B", "A\\B"},
      {nullptr, "C", false, "C", "C"},
      {nullptr, "\\A\\B\\", false, "A\\B\\", "A\\B\\"},
      {"\\A\\B", "C", true, "C", "A\\B\\C"},
      {"\\A\\B", "\\C", false, "C", "C"},
      {"\\A\\B", "", true, "", "A\\B\\"},
      {"\\A", "B\\C", true, "B\\C", "A\\B\\C"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.current ? c.current : "(none)") + " then " + c.path);
    TRegistry registry(store_, facts_);
    RegKey old_key = kNullKey;
    if (c.current != nullptr) {
      ASSERT_TRUE(registry.OpenPath(c.current, false));
      old_key = registry.CurrentKey();
    }
    ASSERT_TRUE(registry.OpenPath(c.path, false));
    const auto& open = store_.Opens().back();
    EXPECT_EQ(c.from_current ? old_key : kHkeyCurrentUser, open.base);
    EXPECT_EQ(c.store_path, open.path);
    EXPECT_EQ(0x20219u, open.access);
    EXPECT_EQ(c.current_after, registry.CurrentPath());
    EXPECT_EQ(open.key, registry.CurrentKey());
    EXPECT_EQ(1, store_.OpenHandleCount());
    if (old_key != kNullKey) {
      EXPECT_FALSE(store_.IsOpen(old_key));
    }
  }
}

TEST_F(TRegistryTest, FailedOpenChangesNothing) {
  store_.AddKey(kHkeyCurrentUser, "A\\B");
  struct {
    const char* current;
    const char* path;
    const char* store_path;
  } cases[] = {
      {nullptr, "\\Missing", "Missing"},
      {"\\A\\B", "\\Missing", "Missing"},
      {"\\A\\B", "Missing", "Missing"},
      // Only one leading backslash goes; the store refuses the second.
      {"\\A\\B", "\\\\A", "\\A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.current ? c.current : "(none)") + " then " + c.path);
    TRegistry registry(store_, facts_);
    if (c.current != nullptr) {
      ASSERT_TRUE(registry.OpenPath(c.current, false));
    }
    const RegKey before = registry.CurrentKey();
    const std::size_t closes = store_.Closes().size();

    EXPECT_FALSE(registry.OpenPath(c.path, false));
    EXPECT_EQ(c.store_path, store_.Opens().back().path);
    EXPECT_EQ(before, registry.CurrentKey());
    EXPECT_EQ(c.current ? "A\\B" : "", registry.CurrentPath());
    EXPECT_EQ(closes, store_.Closes().size());
    if (before != kNullKey) {
      EXPECT_TRUE(store_.IsOpen(before));
    }
  }
}

TEST_F(TRegistryTest, KeyGrantingOnlyReadAccessOpens) {
  store_.AddKey(kHkeyLocalMachine, "Software\\List");
  store_.MarkReadOnly(kHkeyLocalMachine, "Software\\List");
  TRegistry registry(store_, facts_);
  registry.SelectRoot(kHkeyLocalMachine);
  EXPECT_TRUE(registry.OpenPath("\\Software\\List\\", false));
  EXPECT_EQ(kHkeyLocalMachine, store_.Opens().back().base);
}

TEST_F(TRegistryTest, SelectRootClosesTheCurrentKeyOnlyWhenTheRootChanges) {
  store_.AddKey(kHkeyCurrentUser, "A");
  TRegistry registry(store_, facts_);
  ASSERT_TRUE(registry.OpenPath("\\A", false));
  const RegKey key = registry.CurrentKey();

  registry.SelectRoot(kHkeyCurrentUser);
  EXPECT_EQ(key, registry.CurrentKey());
  EXPECT_EQ("A", registry.CurrentPath());
  EXPECT_TRUE(store_.Closes().empty());

  registry.SelectRoot(kHkeyLocalMachine);
  EXPECT_EQ(kHkeyLocalMachine, registry.RootKey());
  EXPECT_EQ(kNullKey, registry.CurrentKey());
  EXPECT_EQ("", registry.CurrentPath());
  // The old root is predefined and never closed; only the current key is.
  EXPECT_EQ(std::vector<RegKey>{key}, store_.Closes());
}

TEST_F(TRegistryTest, ReleaseClosesTheCurrentKeyAndNothingElse) {
  store_.AddKey(kHkeyLocalMachine, "A");
  RegKey key = kNullKey;
  {
    TRegistry registry(store_, facts_);
    registry.SelectRoot(kHkeyLocalMachine);
    ASSERT_TRUE(registry.OpenPath("\\A", false));
    key = registry.CurrentKey();
  }
  EXPECT_EQ(std::vector<RegKey>{key}, store_.Closes());
  EXPECT_EQ(0, store_.OpenHandleCount());
}

TEST_F(TRegistryTest, ReadTextTakesStringsCutAtTheirFirstNul) {
  struct {
    const char* label;
    std::uint32_t type;
    std::string bytes;
    bool missing;
    const char* want;  // the text, or the failure's message
  } cases[] = {
      {"missing", kRegSz, "", true, ""},
      {"sz with nul", kRegSz, std::string("abc\0", 4), false, "abc"},
      {"sz with inner nul", kRegSz, std::string("a\0b\0", 4), false, "a"},
      {"sz without nul", kRegSz, "abc", false, "abc"},
      {"expand sz unexpanded", kRegExpandSz, std::string("%TEMP%\\x\0", 9), false, "%TEMP%\\x"},
      {"empty sz", kRegSz, "", false, ""},
      {"empty binary", kRegBinary, "", false, ""},
      {"empty dword", kRegDword, "", false, ""},
      {"dword", kRegDword, std::string("\x01\0\0\0", 4), false, "Invalid data type for 'V'"},
      {"multi sz", kRegMultiSz, std::string("a\0b\0\0", 5), false, "Invalid data type for 'V'"},
      {"binary", kRegBinary, "ab", false, "Invalid data type for 'V'"},
      {"none", kRegNone, "x", false, "Invalid data type for 'V'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    FakeRegistryStore store;
    store.AddKey(kHkeyCurrentUser, "K");
    if (!c.missing) store.SetValue(kHkeyCurrentUser, "K", "V", c.type, c.bytes);
    TRegistry registry(store, facts_);
    ASSERT_TRUE(registry.OpenPath("K", false));
    std::string text;
    std::string failure = FailureOf([&] { text = registry.ReadText("V"); });
    EXPECT_EQ(c.want, failure == "no failure" ? text : failure);
    // A failed read leaves the key open and current.
    EXPECT_TRUE(store.IsOpen(registry.CurrentKey()));
  }
}

TEST_F(TRegistryTest, ReadInt32TakesOnlyDwordsThatFitFourBytes) {
  struct {
    const char* label;
    std::uint32_t type;
    std::string bytes;
    bool missing;
    const char* want;  // the number in decimal, or the failure's message
  } cases[] = {
      {"all ones", kRegDword, "\xFF\xFF\xFF\xFF", false, "-1"},
      {"largest", kRegDword, "\xFF\xFF\xFF\x7F", false, "2147483647"},
      {"smallest", kRegDword, std::string("\0\0\0\x80", 4), false, "-2147483648"},
      {"little endian", kRegDword, "\x04\x03\x02\x01", false, "16909060"},
      {"short dword", kRegDword, "\x01\x02", false, "513"},
      {"missing", kRegDword, "", true, "Failed to get data for 'V'"},
      {"binary of 4", kRegBinary, "\x01\x02\x03\x04", false, "Invalid data type for 'V'"},
      {"binary of 0", kRegBinary, "", false, "Invalid data type for 'V'"},
      {"big endian", kRegDwordBigEndian, "\x01\x02\x03\x04", false, "Invalid data type for 'V'"},
      {"qword", kRegQword, std::string("\x01\0\0\0\0\0\0\0", 8), false,
       "Failed to get data for 'V'"},
      {"sz of 3", kRegSz, std::string("12\0", 3), false, "Invalid data type for 'V'"},
      {"sz of 5", kRegSz, std::string("1234\0", 5), false, "Failed to get data for 'V'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    FakeRegistryStore store;
    store.AddKey(kHkeyCurrentUser, "K");
    if (!c.missing) store.SetValue(kHkeyCurrentUser, "K", "V", c.type, c.bytes);
    TRegistry registry(store, facts_);
    ASSERT_TRUE(registry.OpenPath("K", false));
    std::int32_t number = 0;
    std::string failure = FailureOf([&] { number = registry.ReadInt32("V"); });
    EXPECT_EQ(c.want, failure == "no failure" ? std::to_string(number) : failure);
    EXPECT_TRUE(store.IsOpen(registry.CurrentKey()));
  }
}

TEST_F(TRegistryTest, ValueInfoMapsTypesToKinds) {
  struct {
    std::uint32_t type;
    TValueKind kind;
  } cases[] = {
      {kRegNone, TValueKind::Unknown},        {kRegSz, TValueKind::Text},
      {kRegExpandSz, TValueKind::ExpandText}, {kRegBinary, TValueKind::Binary},
      {kRegDword, TValueKind::Integer},       {kRegDwordBigEndian, TValueKind::Unknown},
      {kRegLink, TValueKind::Unknown},        {kRegMultiSz, TValueKind::Unknown},
      {kRegQword, TValueKind::Unknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    store_.SetValue(kHkeyCurrentUser, "K", "V", c.type, "abcde");
    TRegistry registry(store_, facts_);
    ASSERT_TRUE(registry.OpenPath("K", false));
    TRegistryValueInfo info;
    ASSERT_TRUE(registry.QueryValueInfo("V", info));
    EXPECT_EQ(c.kind, info.Kind);
    EXPECT_EQ(5, info.DataSize);
  }
}

TEST_F(TRegistryTest, ValueSizeIsMinusOneOnlyWhenTheValueCannotBeQueried) {
  store_.SetValue(kHkeyCurrentUser, "K", "Empty", kRegSz, "");
  store_.SetText(kHkeyCurrentUser, "K", "Abc", "abc");
  TRegistry registry(store_, facts_);
  ASSERT_TRUE(registry.OpenPath("K", false));
  EXPECT_EQ(-1, registry.ValueSize("Missing"));
  EXPECT_EQ(0, registry.ValueSize("Empty"));
  EXPECT_EQ(4, registry.ValueSize("Abc"));
}

TEST_F(TRegistryTest, FetchValueReportsTheCountCopiedAndTheKind) {
  store_.SetText(kHkeyCurrentUser, "K", "Abc", "abc");
  TRegistry registry(store_, facts_);
  ASSERT_TRUE(registry.OpenPath("K", false));
  char buffer[8] = "zzzzzzz";
  TValueKind kind = TValueKind::Unknown;
  EXPECT_EQ(4, registry.FetchValue("Abc", buffer, 8, kind));
  EXPECT_EQ(TValueKind::Text, kind);
  EXPECT_EQ(std::string("abc\0zzz", 7), std::string(buffer, 7));
  EXPECT_EQ("Failed to get data for 'Abc'",
            FailureOf([&] { registry.FetchValue("Abc", buffer, 3, kind); }));
}

// Between ValueSize and the copy the value may change under the reader.
TEST_F(TRegistryTest, ReadTextCopesWithAValueChangedBetweenItsTwoCalls) {
  struct {
    const char* label;
    std::string later;
    const char* want;
  } cases[] = {
      {"grew", std::string("abcdefgh\0", 9), "Failed to get data for 'V'"},
      {"shrank", std::string("ab\0", 3), "ab"},
      {"same size", std::string("wxyz\0", 5), "wxyz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    FakeRegistryStore store;
    store.SetText(kHkeyCurrentUser, "K", "V", "abcd");
    store.BeforeCall(Call::kQueryValue, 2,
                     [&] { store.SetValue(kHkeyCurrentUser, "K", "V", kRegSz, c.later); });
    TRegistry registry(store, facts_);
    ASSERT_TRUE(registry.OpenPath("K", false));
    std::string text;
    std::string failure = FailureOf([&] { text = registry.ReadText("V"); });
    EXPECT_EQ(c.want, failure == "no failure" ? text : failure);
  }
}

TEST_F(TRegistryTest, WithNoKeyOpenEverythingHandsTheStoreTheNullHandle) {
  store_.AddKey(kHkeyCurrentUser, "Child");
  store_.SetDword(kHkeyCurrentUser, "", "Item_Size", 1);
  TRegistry registry(store_, facts_);
  RegKeyInfo info;
  EXPECT_FALSE(registry.QueryKeyInfo(info));
  EXPECT_EQ(0u, info.subkey_count);
  EXPECT_FALSE(registry.HasChildKeys());
  TStringList list{"stale"};
  registry.ListChildKeys(list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(-1, registry.ValueSize("Item_Size"));
  EXPECT_EQ("", registry.ReadText("Item_Size"));
  EXPECT_EQ("Failed to get data for 'Item_Size'",
            FailureOf([&] { registry.ReadInt32("Item_Size"); }));
  for (const auto& query : store_.ValueQueries()) {
    EXPECT_EQ(kNullKey, query.key);
  }
  EXPECT_TRUE(store_.Enums().empty());
}

TEST_F(TRegistryTest, HasChildKeysNeedsOneSubkey) {
  store_.AddKey(kHkeyCurrentUser, "Parent\\Child");
  TRegistry registry(store_, facts_);
  ASSERT_TRUE(registry.OpenPath("\\Parent", false));
  EXPECT_TRUE(registry.HasChildKeys());
  ASSERT_TRUE(registry.OpenPath("Child", false));
  EXPECT_FALSE(registry.HasChildKeys());
}

TEST_F(TRegistryTest, ListChildKeysReplacesTheListWithTheStoresOrder) {
  struct {
    const char* label;
    bool creation_order;
    std::vector<std::string> created;
    std::vector<std::string> want;
  } cases[] = {
      {"store's own order", true, {"y", "x"}, {"y", "x"}},
      {"sorted ignoring case", false, {"b", "C", "A"}, {"A", "b", "C"}},
      {"no subkeys", false, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    FakeRegistryStore store;
    store.AddKey(kHkeyCurrentUser, "L");
    if (c.creation_order) store.EnumerateInCreationOrder(kHkeyCurrentUser, "L");
    for (const auto& name : c.created) store.AddKey(kHkeyCurrentUser, "L\\" + name);
    TRegistry registry(store, facts_);
    ASSERT_TRUE(registry.OpenPath("L", false));
    TStringList list{"old", "names"};
    registry.ListChildKeys(list);
    EXPECT_EQ(c.want, list);
  }
}

// NT counts name lengths in characters; with a double-byte code page each
// may be two bytes, so both name lengths double, the data length does not.
TEST_F(TRegistryTest, NameLengthsDoubleOnlyOnDoubleByteNt) {
  struct {
    bool double_byte;
    bool nt;
    std::uint32_t longest_name;
    std::uint32_t enum_room;
  } cases[] = {
      {false, false, 10, 11},
      {true, false, 10, 11},
      {false, true, 10, 11},
      {true, true, 20, 21},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.double_byte) + std::to_string(c.nt));
    FakeRegistryStore store;
    store.AddKey(kHkeyCurrentUser, "L\\abcdefghij");
    store.AddKey(kHkeyCurrentUser, "L\\k");
    store.SetValue(kHkeyCurrentUser, "L", "ValueName1", kRegBinary, "123456");
    SystemFacts facts;
    facts.double_byte = c.double_byte;
    facts.nt = c.nt;
    TRegistry registry(store, facts);
    ASSERT_TRUE(registry.OpenPath("L", false));

    RegKeyInfo info;
    ASSERT_TRUE(registry.QueryKeyInfo(info));
    EXPECT_EQ(2u, info.subkey_count);
    EXPECT_EQ(c.longest_name, info.longest_subkey_name);
    EXPECT_EQ(1u, info.value_count);
    EXPECT_EQ(c.longest_name, info.longest_value_name);
    EXPECT_EQ(6u, info.longest_value_data);

    TStringList list;
    registry.ListChildKeys(list);
    EXPECT_EQ((TStringList{"abcdefghij", "k"}), list);
    ASSERT_EQ(2u, store.Enums().size());
    for (const auto& call : store.Enums()) {
      EXPECT_EQ(c.enum_room, call.length);
    }
  }
}

// Only names the store actually wrote are listed: a subkey removed during
// the listing, or the key itself, adds nothing, and no name is repeated.
TEST_F(TRegistryTest, ListChildKeysListsOnlyWhatTheStoreEnumerated) {
  struct {
    const char* label;
    int before_enum;  // the EnumKey call before which `remove` goes
    const char* remove;
    std::vector<std::string> want;
  } cases[] = {
      {"middle subkey", 2, "L\\b", {"a", "c"}},
      {"last subkey", 3, "L\\c", {"a", "b"}},
      {"every subkey", 1, nullptr, {}},
      {"the key itself", 2, "L", {"a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    FakeRegistryStore store;
    for (const char* name : {"a", "b", "c"})
      store.AddKey(kHkeyCurrentUser, std::string("L\\") + name);
    store.BeforeCall(Call::kEnumKey, c.before_enum, [&] {
      if (c.remove != nullptr) {
        store.RemoveKey(kHkeyCurrentUser, c.remove);
      } else {
        for (const char* name : {"a", "b", "c"})
          store.RemoveKey(kHkeyCurrentUser, std::string("L\\") + name);
      }
    });
    TRegistry registry(store, facts_);
    ASSERT_TRUE(registry.OpenPath("L", false));
    TStringList list;
    registry.ListChildKeys(list);
    EXPECT_EQ(c.want, list);
  }
}

TEST_F(TRegistryTest, ListChildKeysAsksAgainForANameLongerThanReported) {
  store_.AddKey(kHkeyCurrentUser, "L\\ab");
  store_.AddKey(kHkeyCurrentUser, "L\\abcdefghijklmnopqrstuvwxyz");
  store_.AddKey(kHkeyCurrentUser, "L\\b");
  store_.ReportLongestSubkeyName(kHkeyCurrentUser, "L", 2);
  TRegistry registry(store_, facts_);
  ASSERT_TRUE(registry.OpenPath("L", false));
  TStringList list;
  registry.ListChildKeys(list);
  EXPECT_EQ((TStringList{"ab", "abcdefghijklmnopqrstuvwxyz", "b"}), list);
  // The first ask of each index offers the reported length and its NUL.
  EXPECT_EQ(3u, store_.Enums().front().length);
  EXPECT_EQ(kErrorMoreData, store_.Enums()[1].result);
}

}  // namespace
}  // namespace tallyweb
