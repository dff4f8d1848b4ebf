// An in-memory registry for tests: keys with subkeys and values of any type
// with exact bytes, behind the same calls as the real one. It records
// every call, so a test can ask which keys were opened with which rights,
// which values were read and whether every handle was closed; and it runs a
// test's hooks before chosen calls, so a key can vanish or a value change
// between two calls of the code under test.
//
// Where it could differ from advapi32 it follows what the contract tests
// (registry_store_contract_test.h) pin against the real registry under Wine:
// subkeys enumerate sorted by name and names match as the registry compares
// them (registry_names.h: by UTF-16 unit, case folded by the registry's own
// table, beyond ASCII too), a short buffer leaves the buffer and its length
// untouched, and string data counts twice its ANSI size in the longest value
// data, since the registry keeps strings in UTF-16.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "registry/registry_store.h"

namespace tallyweb {

class FakeRegistryStore : public RegistryStore {
 public:
  enum class Call { kAny, kOpenKey, kQueryInfoKey, kEnumKey, kQueryValue, kCloseKey };

  struct OpenRecord {
    RegKey base;
    std::string path;
    std::uint32_t access;
    std::int32_t result;
    RegKey key;  // kNullKey unless the open succeeded
  };
  struct EnumRecord {
    RegKey key;
    std::uint32_t index;
    std::uint32_t length;  // the room the caller offered, NUL included
    std::int32_t result;
  };
  struct ValueRecord {
    RegKey key;
    std::string name;
    bool with_data;      // false: only the type and size were asked
    std::uint32_t size;  // the room the caller offered (0 without data)
    std::int32_t result;
  };

  FakeRegistryStore();

  // ----- Building the tree (not recorded, no hooks) -----

  /// Makes the key at `path` (backslash-separated) below `root` with every
  /// key on the way, as RegCreateKeyEx would.
  void AddKey(RegKey root, const std::string& path) { MakePath(root, path); }

  /// Sets a value with exactly these bytes; a string type gets no NUL added.
  void SetValue(RegKey root, const std::string& path, const std::string& name, std::uint32_t type,
                const std::string& bytes);
  /// A REG_SZ value holding `text` and its NUL.
  void SetText(RegKey root, const std::string& path, const std::string& name,
               const std::string& text);
  void SetDword(RegKey root, const std::string& path, const std::string& name,
                std::uint32_t number);

  /// Removes the key and everything below it; open handles to it go stale
  /// (ERROR_KEY_DELETED), as in the registry. False when there is no such key.
  bool RemoveKey(RegKey root, const std::string& path);
  bool RemoveValue(RegKey root, const std::string& path, const std::string& name);

  /// Subkeys of this key enumerate in the order they were added instead of
  /// sorted by name.
  void EnumerateInCreationOrder(RegKey root, const std::string& path) {
    MakePath(root, path)->creation_order = true;
  }
  /// QueryInfoKey reports `length` as the longest subkey name of this key
  /// instead of the true one, as the registry does when it counts characters
  /// and a name takes more bytes than characters in the ANSI code page.
  void ReportLongestSubkeyName(RegKey root, const std::string& path, std::uint32_t length) {
    MakePath(root, path)->reported_longest_subkey = length;
  }
  void SetLastWriteTime(RegKey root, const std::string& path, std::uint64_t time) {
    MakePath(root, path)->last_write_time = time;
  }
  /// Opens of this key asking for more than reading (KEY_READ and the view
  /// flags) fail with ERROR_ACCESS_DENIED.
  void MarkReadOnly(RegKey root, const std::string& path) {
    MakePath(root, path)->read_only = true;
  }

  /// Runs `hook` just before the `nth` call (counted from 1) of kind `call`;
  /// Call::kAny counts every call.
  void BeforeCall(Call call, int nth, std::function<void()> hook);

  // ----- What happened -----

  const std::vector<OpenRecord>& Opens() const { return opens_; }
  const std::vector<EnumRecord>& Enums() const { return enums_; }
  const std::vector<ValueRecord>& ValueQueries() const { return value_queries_; }
  const std::vector<RegKey>& Closes() const { return closes_; }
  int InfoQueries() const { return info_queries_; }
  /// The names of the values queried, in order, one per call.
  std::vector<std::string> QueriedValueNames() const;
  /// Handles opened and not yet closed.
  int OpenHandleCount() const { return static_cast<int>(handles_.size()); }
  bool IsOpen(RegKey key) const { return handles_.count(key) != 0; }
  /// The path below its root of the key an open handle stands for, names
  /// spelled as created; empty for a root or an unknown handle.
  std::string PathOf(RegKey key) const;

  // ----- The calls; QueryText is the store's own, as the strings here are
  // UTF-8 already -----

  std::int32_t OpenKey(RegKey base, const std::string& path, std::uint32_t access,
                       RegKey* key) override;
  std::int32_t QueryInfoKey(RegKey key, RegKeyInfo* info) override;
  std::int32_t EnumKey(RegKey key, std::uint32_t index, char* name, std::uint32_t* length) override;
  std::int32_t QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* size) override;
  void CloseKey(RegKey key) override;

 private:
  struct Value {
    std::string name;
    std::uint32_t type;
    std::string data;
  };
  struct Node {
    std::string name;
    std::string path;                             // below its root, as created
    std::vector<std::shared_ptr<Node>> children;  // in creation order
    std::vector<Value> values;
    bool creation_order = false;
    bool read_only = false;
    bool deleted = false;
    std::int64_t reported_longest_subkey = -1;
    std::uint64_t last_write_time = 0;
  };
  struct Hook {
    Call call;
    int nth;
    std::function<void()> run;
  };

  static std::uint32_t StoredSize(const Value& value);
  static Node* Child(Node& node, const std::string& name);
  static void MarkDeleted(Node& node);
  static std::vector<const Node*> Ordered(const Node& node);

  Node* Root(RegKey root);
  Node* Find(RegKey root, const std::vector<std::string>& parts);
  std::shared_ptr<Node> MakePath(RegKey root, const std::string& path);
  std::int32_t Resolve(RegKey key, Node** node);
  std::int32_t Open(RegKey base, const std::string& path, std::uint32_t access, RegKey* key);
  std::shared_ptr<Node> SharedOf(RegKey key);
  std::int32_t Enum(RegKey key, std::uint32_t index, char* name, std::uint32_t* length);
  std::int32_t Query(RegKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                     std::uint32_t* size);
  void RunHooks(Call call);

  std::map<RegKey, std::shared_ptr<Node>> roots_;
  std::map<RegKey, std::shared_ptr<Node>> handles_;
  RegKey next_handle_ = 0x1000;
  std::vector<Hook> hooks_;
  std::map<Call, int> calls_;
  std::vector<OpenRecord> opens_;
  std::vector<EnumRecord> enums_;
  std::vector<ValueRecord> value_queries_;
  std::vector<RegKey> closes_;
  int info_queries_ = 0;
};

}  // namespace tallyweb
