#include "testing/fake_registry_store.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "registry/registry_names.h"

namespace tallyweb {
namespace {

std::uint32_t Size(const std::string& s) { return static_cast<std::uint32_t>(s.size()); }

bool NameBefore(const std::string& a, const std::string& b) { return CompareNames(a, b) < 0; }

// Splits on backslashes. Like Wine, empty components (a doubled or a
// trailing backslash) are passed over.
std::vector<std::string> PathNames(const std::string& path) {
  std::vector<std::string_view> names;
  SplitPath(path, &names);
  return std::vector<std::string>(names.begin(), names.end());
}

}  // namespace

FakeRegistryStore::FakeRegistryStore() {
  roots_[kHkeyCurrentUser] = std::make_shared<Node>();
  roots_[kHkeyLocalMachine] = std::make_shared<Node>();
}

void FakeRegistryStore::SetValue(RegKey root, const std::string& path, const std::string& name,
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

void FakeRegistryStore::SetText(RegKey root, const std::string& path, const std::string& name,
                                const std::string& text) {
  SetValue(root, path, name, kRegSz, text + std::string(1, '\0'));
}

void FakeRegistryStore::SetDword(RegKey root, const std::string& path, const std::string& name,
                                 std::uint32_t number) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
  SetValue(root, path, name, kRegDword, bytes);
}

bool FakeRegistryStore::RemoveKey(RegKey root, const std::string& path) {
  std::vector<std::string> parts = PathNames(path);
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

bool FakeRegistryStore::RemoveValue(RegKey root, const std::string& path, const std::string& name) {
  Node* node = Find(root, PathNames(path));
  if (node == nullptr) return false;
  auto& values = node->values;
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const Value& v) { return SameName(v.name, name); });
  if (it == values.end()) return false;
  values.erase(it);
  return true;
}

void FakeRegistryStore::BeforeCall(Call call, int nth, std::function<void()> hook) {
  hooks_.push_back(Hook{call, nth, std::move(hook)});
}

std::vector<std::string> FakeRegistryStore::QueriedValueNames() const {
  std::vector<std::string> names;
  for (const auto& record : value_queries_) names.push_back(record.name);
  return names;
}

std::string FakeRegistryStore::PathOf(RegKey key) const {
  auto it = handles_.find(key);
  return it == handles_.end() ? std::string() : it->second->path;
}

std::int32_t FakeRegistryStore::OpenKey(RegKey base, const std::string& path, std::uint32_t access,
                                        RegKey* key) {
  RunHooks(Call::kOpenKey);
  *key = kNullKey;
  std::int32_t result = Open(base, path, access, key);
  opens_.push_back(OpenRecord{base, path, access, result, *key});
  return result;
}

std::int32_t FakeRegistryStore::QueryInfoKey(RegKey key, RegKeyInfo* info) {
  RunHooks(Call::kQueryInfoKey);
  ++info_queries_;
  Node* node = nullptr;
  std::int32_t result = Resolve(key, &node);
  if (result != kErrorSuccess) return result;
  *info = RegKeyInfo{};
  info->subkey_count = static_cast<std::uint32_t>(node->children.size());
  for (const auto& child : node->children) {
    info->longest_subkey_name = std::max<std::uint32_t>(info->longest_subkey_name,
                                                        Size(child->name));
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

std::int32_t FakeRegistryStore::EnumKey(RegKey key, std::uint32_t index, char* name,
                                        std::uint32_t* length) {
  RunHooks(Call::kEnumKey);
  const std::uint32_t offered = *length;
  std::int32_t result = Enum(key, index, name, length);
  enums_.push_back(EnumRecord{key, index, offered, result});
  return result;
}

std::int32_t FakeRegistryStore::QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                                           std::uint8_t* data, std::uint32_t* size) {
  RunHooks(Call::kQueryValue);
  std::uint32_t offered = data != nullptr ? *size : 0;
  std::int32_t result = Query(key, name, type, data, size);
  value_queries_.push_back(ValueRecord{key, name, data != nullptr, offered, result});
  return result;
}

void FakeRegistryStore::CloseKey(RegKey key) {
  RunHooks(Call::kCloseKey);
  closes_.push_back(key);
  handles_.erase(key);
}

// The registry keeps strings in UTF-16, and the longest value data counts
// the stored bytes; every fake string is single-byte text.
std::uint32_t FakeRegistryStore::StoredSize(const Value& value) {
  bool text = value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz;
  return Size(value.data) * (text ? 2 : 1);
}

FakeRegistryStore::Node* FakeRegistryStore::Child(Node& node, const std::string& name) {
  for (auto& child : node.children) {
    if (SameName(child->name, name)) return child.get();
  }
  return nullptr;
}

void FakeRegistryStore::MarkDeleted(Node& node) {
  node.deleted = true;
  for (auto& child : node.children) MarkDeleted(*child);
}

std::vector<const FakeRegistryStore::Node*> FakeRegistryStore::Ordered(const Node& node) {
  std::vector<const Node*> children;
  for (const auto& child : node.children) children.push_back(child.get());
  if (!node.creation_order) {
    std::stable_sort(children.begin(), children.end(),
                     [](const Node* a, const Node* b) { return NameBefore(a->name, b->name); });
  }
  return children;
}

FakeRegistryStore::Node* FakeRegistryStore::Root(RegKey root) {
  auto it = roots_.find(root);
  return it == roots_.end() ? nullptr : it->second.get();
}

FakeRegistryStore::Node* FakeRegistryStore::Find(RegKey root,
                                                 const std::vector<std::string>& parts) {
  Node* node = Root(root);
  for (const auto& part : parts) {
    if (node == nullptr) return nullptr;
    node = Child(*node, part);
  }
  return node;
}

std::shared_ptr<FakeRegistryStore::Node> FakeRegistryStore::MakePath(RegKey root,
                                                                     const std::string& path) {
  auto& root_node = roots_[root];
  if (!root_node) root_node = std::make_shared<Node>();
  std::shared_ptr<Node> node = root_node;
  for (const auto& part : PathNames(path)) {
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

// The node behind a handle: a predefined root or an open handle.
std::int32_t FakeRegistryStore::Resolve(RegKey key, Node** node) {
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

std::int32_t FakeRegistryStore::Open(RegKey base, const std::string& path, std::uint32_t access,
                                     RegKey* key) {
  Node* base_node = nullptr;
  std::int32_t result = Resolve(base, &base_node);
  if (result != kErrorSuccess) return result;
  if (!path.empty() && path[0] == '\\') return kErrorBadPathname;
  std::shared_ptr<Node> node = SharedOf(base);
  for (const auto& part : PathNames(path)) {
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

std::shared_ptr<FakeRegistryStore::Node> FakeRegistryStore::SharedOf(RegKey key) {
  auto root = roots_.find(key);
  if (root != roots_.end()) return root->second;
  return handles_.at(key);
}

std::int32_t FakeRegistryStore::Enum(RegKey key, std::uint32_t index, char* name,
                                     std::uint32_t* length) {
  Node* node = nullptr;
  std::int32_t result = Resolve(key, &node);
  if (result != kErrorSuccess) return result;
  std::vector<const Node*> children = Ordered(*node);
  if (index >= children.size()) return kErrorNoMoreItems;
  return CopyKeyName(children[index]->name, name, length) ? kErrorSuccess : kErrorMoreData;
}

std::int32_t FakeRegistryStore::Query(RegKey key, const std::string& name, std::uint32_t* type,
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

void FakeRegistryStore::RunHooks(Call call) {
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

}  // namespace tallyweb
