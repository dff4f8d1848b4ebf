// An in-memory registry for tests: keys with subkeys and values of any type
// with exact bytes, behind the same five calls as the real one. It records
// every call, so a test can ask which keys were opened with which rights,
// which values were read and whether every handle was closed; and it runs a
// test's hooks before chosen calls, so a key can vanish or a value change
// between two calls of the code under test.
//
// Where it could differ from advapi32 it follows what the contract tests
// (registry_store_contract_test.h) pin against the real registry under Wine:
// subkeys enumerate sorted by name ignoring ASCII case, names match ignoring
// ASCII case, a short buffer leaves the buffer and its length untouched, and
// string data counts twice its ANSI size in the longest value data, since the
// registry keeps strings in UTF-16.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry_names.h"
#include "platform/registry_store.h"

namespace tallyweb {

/// ERROR_BAD_PATHNAME: a path with a leading backslash.
constexpr std::int32_t kErrorBadPathname = 161;
/// ERROR_KEY_DELETED: the key behind an open handle has been removed.
constexpr std::int32_t kErrorKeyDeleted = 1018;

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
    bool with_data;  // false: only the type and size were asked
    std::uint32_t size;  // the room the caller offered (0 without data)
    std::int32_t result;
  };

  FakeRegistryStore() {
    roots_[kHkeyCurrentUser] = std::make_shared<Node>();
    roots_[kHkeyLocalMachine] = std::make_shared<Node>();
  }

  // ----- Building the tree (not recorded, no hooks) -----

  /// Makes the key at `path` (backslash-separated) below `root` with every
  /// key on the way, as RegCreateKeyEx would.
  void AddKey(RegKey root, const std::string& path) { MakePath(root, path); }

  /// Sets a value with exactly these bytes; a string type gets no NUL added.
  void SetValue(RegKey root, const std::string& path, const std::string& name,
                std::uint32_t type, const std::string& bytes) {
    Node& node = *MakePath(root, path);
    for (auto& value : node.values) {
      if (SameName(value.name, name)) {
        value.type = type;
        value.data = bytes;
        return;
      }
    }
    node.values.push_back(Value{name, type, bytes});
  }
  /// A REG_SZ value holding `text` and its NUL.
  void SetText(RegKey root, const std::string& path, const std::string& name,
               const std::string& text) {
    SetValue(root, path, name, kRegSz, text + std::string(1, '\0'));
  }
  void SetDword(RegKey root, const std::string& path, const std::string& name,
                std::uint32_t number) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    SetValue(root, path, name, kRegDword, bytes);
  }

  /// Removes the key and everything below it; open handles to it go stale
  /// (ERROR_KEY_DELETED), as in the registry. False when there is no such key.
  bool RemoveKey(RegKey root, const std::string& path) {
    std::vector<std::string> parts = SplitPath(path);
    if (parts.empty()) return false;
    std::string last = parts.back();
    parts.pop_back();
    Node* parent = Find(root, parts);
    if (parent == nullptr) return false;
    auto& children = parent->children;
    for (auto it = children.begin(); it != children.end(); ++it) {
      if (SameName((*it)->name, last)) {
        MarkDeleted(**it);
        children.erase(it);
        return true;
      }
    }
    return false;
  }
  bool RemoveValue(RegKey root, const std::string& path, const std::string& name) {
    Node* node = Find(root, SplitPath(path));
    if (node == nullptr) return false;
    auto& values = node->values;
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const Value& v) { return SameName(v.name, name); });
    if (it == values.end()) return false;
    values.erase(it);
    return true;
  }

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
  void BeforeCall(Call call, int nth, std::function<void()> hook) {
    hooks_.push_back(Hook{call, nth, std::move(hook)});
  }

  // ----- What happened -----

  const std::vector<OpenRecord>& Opens() const { return opens_; }
  const std::vector<EnumRecord>& Enums() const { return enums_; }
  const std::vector<ValueRecord>& ValueQueries() const { return value_queries_; }
  const std::vector<RegKey>& Closes() const { return closes_; }
  int InfoQueries() const { return info_queries_; }
  /// The names of the values queried, in order, one per call.
  std::vector<std::string> QueriedValueNames() const {
    std::vector<std::string> names;
    for (const auto& record : value_queries_) names.push_back(record.name);
    return names;
  }
  /// Handles opened and not yet closed.
  int OpenHandleCount() const { return static_cast<int>(handles_.size()); }
  bool IsOpen(RegKey key) const { return handles_.count(key) != 0; }
  /// The path below its root of the key an open handle stands for, names
  /// spelled as created; empty for a root or an unknown handle.
  std::string PathOf(RegKey key) const {
    auto it = handles_.find(key);
    return it == handles_.end() ? std::string() : it->second->path;
  }

  // ----- The five calls -----

  std::int32_t OpenKey(RegKey base, const std::string& path, std::uint32_t access,
                       RegKey* key) override {
    RunHooks(Call::kOpenKey);
    *key = kNullKey;
    std::int32_t result = Open(base, path, access, key);
    opens_.push_back(OpenRecord{base, path, access, result, *key});
    return result;
  }

  std::int32_t QueryInfoKey(RegKey key, RegKeyInfo* info) override {
    RunHooks(Call::kQueryInfoKey);
    ++info_queries_;
    Node* node = nullptr;
    std::int32_t result = Resolve(key, &node);
    if (result != kErrorSuccess) return result;
    *info = RegKeyInfo{};
    info->subkey_count = static_cast<std::uint32_t>(node->children.size());
    for (const auto& child : node->children) {
      info->longest_subkey_name =
          std::max<std::uint32_t>(info->longest_subkey_name, Size(child->name));
    }
    if (node->reported_longest_subkey >= 0) {
      info->longest_subkey_name = static_cast<std::uint32_t>(node->reported_longest_subkey);
    }
    info->value_count = static_cast<std::uint32_t>(node->values.size());
    for (const auto& value : node->values) {
      info->longest_value_name = std::max(info->longest_value_name, Size(value.name));
      info->longest_value_data = std::max(info->longest_value_data, StoredSize(value));
    }
    info->last_write_time = node->last_write_time;
    return kErrorSuccess;
  }

  std::int32_t EnumKey(RegKey key, std::uint32_t index, char* name,
                       std::uint32_t* length) override {
    RunHooks(Call::kEnumKey);
    const std::uint32_t offered = *length;
    std::int32_t result = Enum(key, index, name, length);
    enums_.push_back(EnumRecord{key, index, offered, result});
    return result;
  }

  std::int32_t QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* size) override {
    RunHooks(Call::kQueryValue);
    std::uint32_t offered = data != nullptr ? *size : 0;
    std::int32_t result = Query(key, name, type, data, size);
    value_queries_.push_back(ValueRecord{key, name, data != nullptr, offered, result});
    return result;
  }

  void CloseKey(RegKey key) override {
    RunHooks(Call::kCloseKey);
    closes_.push_back(key);
    handles_.erase(key);
  }

 private:
  struct Value {
    std::string name;
    std::uint32_t type;
    std::string data;
  };
  struct Node {
    std::string name;
    std::string path;  // below its root, as created
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

  static std::uint32_t Size(const std::string& s) { return static_cast<std::uint32_t>(s.size()); }

  // Names compare as the registry compares them (platform/registry_names.h).
  static bool SameName(const std::string& a, const std::string& b) { return tallyweb::SameName(a, b); }
  static bool NameBefore(const std::string& a, const std::string& b) {
    return tallyweb::CompareNames(a, b) < 0;
  }

  // The registry keeps strings in UTF-16, and the longest value data counts
  // the stored bytes; every fake string is single-byte text.
  static std::uint32_t StoredSize(const Value& value) {
    bool text = value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz;
    return Size(value.data) * (text ? 2 : 1);
  }

  // Splits on backslashes. Like Wine, empty components (a doubled or a
  // trailing backslash) are passed over.
  static std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string_view> names;
    tallyweb::SplitPath(path, &names);
    return std::vector<std::string>(names.begin(), names.end());
  }

  static Node* Child(Node& node, const std::string& name) {
    for (auto& child : node.children) {
      if (SameName(child->name, name)) return child.get();
    }
    return nullptr;
  }

  Node* Root(RegKey root) {
    auto it = roots_.find(root);
    return it == roots_.end() ? nullptr : it->second.get();
  }

  Node* Find(RegKey root, const std::vector<std::string>& parts) {
    Node* node = Root(root);
    for (const auto& part : parts) {
      if (node == nullptr) return nullptr;
      node = Child(*node, part);
    }
    return node;
  }

  std::shared_ptr<Node> MakePath(RegKey root, const std::string& path) {
    auto& root_node = roots_[root];
    if (!root_node) root_node = std::make_shared<Node>();
    std::shared_ptr<Node> node = root_node;
    for (const auto& part : SplitPath(path)) {
      std::shared_ptr<Node> next;
      for (auto& child : node->children) {
        if (SameName(child->name, part)) next = child;
      }
      if (!next) {
        next = std::make_shared<Node>();
        next->name = part;
        next->path = node->path.empty() ? part : node->path + "\\" + part;
        node->children.push_back(next);
      }
      node = next;
    }
    return node;
  }

  static void MarkDeleted(Node& node) {
    node.deleted = true;
    for (auto& child : node.children) MarkDeleted(*child);
  }

  // The node behind a handle: a predefined root or an open handle.
  std::int32_t Resolve(RegKey key, Node** node) {
    if (key == kNullKey) return kErrorInvalidHandle;
    if (Node* root = Root(key)) {
      *node = root;
      return kErrorSuccess;
    }
    auto it = handles_.find(key);
    if (it == handles_.end()) return kErrorInvalidHandle;
    if (it->second->deleted) return kErrorKeyDeleted;
    *node = it->second.get();
    return kErrorSuccess;
  }

  std::int32_t Open(RegKey base, const std::string& path, std::uint32_t access, RegKey* key) {
    Node* base_node = nullptr;
    std::int32_t result = Resolve(base, &base_node);
    if (result != kErrorSuccess) return result;
    if (!path.empty() && path[0] == '\\') return kErrorBadPathname;
    std::vector<std::string> parts = SplitPath(path);
    std::shared_ptr<Node> node = SharedOf(base);
    for (const auto& part : parts) {
      std::shared_ptr<Node> next;
      for (auto& child : node->children) {
        if (SameName(child->name, part)) next = child;
      }
      if (!next) return kErrorFileNotFound;
      node = next;
    }
    if (node->read_only && (access & ~(kKeyRead | kKeyWow64_32Key)) != 0) {
      return kErrorAccessDenied;
    }
    *key = next_handle_;
    next_handle_ += 4;
    handles_[*key] = node;
    return kErrorSuccess;
  }

  std::shared_ptr<Node> SharedOf(RegKey key) {
    auto root = roots_.find(key);
    if (root != roots_.end()) return root->second;
    return handles_.at(key);
  }

  std::vector<const Node*> Ordered(const Node& node) const {
    std::vector<const Node*> children;
    for (const auto& child : node.children) children.push_back(child.get());
    if (!node.creation_order) {
      std::stable_sort(children.begin(), children.end(),
                       [](const Node* a, const Node* b) { return NameBefore(a->name, b->name); });
    }
    return children;
  }

  std::int32_t Enum(RegKey key, std::uint32_t index, char* name, std::uint32_t* length) {
    Node* node = nullptr;
    std::int32_t result = Resolve(key, &node);
    if (result != kErrorSuccess) return result;
    std::vector<const Node*> children = Ordered(*node);
    if (index >= children.size()) return kErrorNoMoreItems;
    const std::string& child = children[index]->name;
    if (child.size() >= *length) return kErrorMoreData;
    std::memcpy(name, child.data(), child.size());
    name[child.size()] = '\0';
    *length = Size(child);
    return kErrorSuccess;
  }

  std::int32_t Query(RegKey key, const std::string& name, std::uint32_t* type,
                     std::uint8_t* data, std::uint32_t* size) {
    Node* node = nullptr;
    std::int32_t result = Resolve(key, &node);
    if (result != kErrorSuccess) return result;
    for (const auto& value : node->values) {
      if (!SameName(value.name, name)) continue;
      *type = value.type;
      std::uint32_t room = *size;
      *size = Size(value.data);
      if (data == nullptr) return kErrorSuccess;
      if (room < value.data.size()) return kErrorMoreData;
      std::memcpy(data, value.data.data(), value.data.size());
      return kErrorSuccess;
    }
    return kErrorFileNotFound;
  }

  void RunHooks(Call call) {
    ++calls_[Call::kAny];
    ++calls_[call];
    // A hook may add hooks; run from a copy of the ones due now.
    std::vector<std::function<void()>> due;
    for (const auto& hook : hooks_) {
      if (hook.nth == calls_[hook.call] && (hook.call == call || hook.call == Call::kAny)) {
        due.push_back(hook.run);
      }
    }
    for (auto& run : due) run();
  }

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
