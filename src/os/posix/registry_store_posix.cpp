// The registry of the native build: HKEY_LOCAL_MACHINE as a Wine prefix keeps
// it in its system.reg, read only. Handles, error codes and buffer rules are
// those advapi32 shows under Wine, so the reader above cannot tell the two
// apart.
#include "os/posix/registry_store_posix.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

#include "os/posix/folder_links_posix.h"
#include "os/posix/hive_file.h"
#include "registry/registry_names.h"
#include "registry/registry_store.h"

namespace tallyweb {
namespace {

// Predefined keys (HKEY_CLASSES_ROOT and up) have the top bit set; the
// handles this store gives out never do.
constexpr RegKey kFirstPredefinedKey = 0x80000000u;

// Opened from HKEY_LOCAL_MACHINE with KEY_WOW64_32KEY, a 64-bit prefix's
// Software\X is Software\Wow6432Node\X, as WOW64 redirects it on Windows.
// Software\Classes is shared between the views; the program reads only its
// own keys below Software, so no other shared key is worth a table.
void MapTo32BitView(std::vector<std::string_view>* names) {
  if (names->empty() || !SameName((*names)[0], "Software")) return;
  if (names->size() > 1 &&
      (SameName((*names)[1], "Classes") || SameName((*names)[1], "Wow6432Node"))) {
    return;
  }
  names->insert(names->begin() + 1, "Wow6432Node");
}

std::uint32_t Size(const std::string& s) { return static_cast<std::uint32_t>(s.size()); }

class WineHiveStore : public RegistryStore {
 public:
  WineHiveStore(std::unique_ptr<WineHive> hive, std::function<bool()> unchanged)
      : hive_(std::move(hive)), unchanged_(std::move(unchanged)) {}

  std::int32_t OpenKey(RegKey base, const std::string& path, std::uint32_t access,
                       RegKey* key) override {
    *key = kNullKey;
    WineHive::KeyId node = 0;
    std::int32_t result = Resolve(base, &node);
    if (result != kErrorSuccess) return result;
    if (!path.empty() && path[0] == '\\') return kErrorBadPathname;
    // One buffer for every path: a run opens a hundred thousand keys.
    std::vector<std::string_view>& names = names_;
    SplitPath(path, &names);
    if (base == kHkeyLocalMachine && hive_->Is64Bit() && (access & kKeyWow64_32Key) != 0) {
      MapTo32BitView(&names);
    }
    // A key not found may be one whose name the file lost under the reader:
    // the file is looked at then, so that such a change is said.
    for (std::string_view name : names) {
      if (!hive_->FindChild(node, name, &node)) return Refused(kErrorFileNotFound);
      const WineHive::Link followed = hive_->Follow(node, &node);
      if (followed != WineHive::Link::kFollowed) return Refused(FollowFailure(followed));
    }
    *key = next_handle_;
    next_handle_ += 4;
    handles_.emplace_back(*key, node);  // handles only grow: the list stays sorted
    return kErrorSuccess;
  }

  std::int32_t QueryInfoKey(RegKey key, RegKeyInfo* info) override {
    WineHive::KeyId node = 0;
    std::int32_t result = Resolve(key, &node);
    if (result != kErrorSuccess) return result;
    *info = RegKeyInfo{};
    info->subkey_count = static_cast<std::uint32_t>(hive_->ChildCount(node));
    info->longest_subkey_name = static_cast<std::uint32_t>(hive_->LongestChildName(node));
    // Parsed now or before, the values were read from the file; the one
    // look at it below covers them.
    const std::vector<WineHiveValue>& values = hive_->Values(node);
    info->value_count = static_cast<std::uint32_t>(values.size());
    for (const WineHiveValue& value : values) {
      info->longest_value_name = std::max(info->longest_value_name, Size(value.name));
      // The registry counts the stored (UTF-16) bytes; UTF-8 text can be
      // longer than that, and a buffer sized by this answer must still fit.
      info->longest_value_data = std::max({info->longest_value_data,
                                           static_cast<std::uint32_t>(StoredSize(value)),
                                           Size(Delivered(&value))});
    }
    info->last_write_time = hive_->LastWriteTime(node);
    return Unchanged() ? kErrorSuccess : kErrorFileNotFound;
  }

  std::int32_t EnumKey(RegKey key, std::uint32_t index, char* name,
                       std::uint32_t* length) override {
    WineHive::KeyId node = 0;
    std::int32_t result = Resolve(key, &node);
    if (result != kErrorSuccess) return result;
    if (index >= hive_->ChildCount(node)) return kErrorNoMoreItems;
    const std::string_view child = hive_->NameView(hive_->Child(node, index));
    // Too short: buffer and length stay as they were, as under Wine.
    return CopyKeyName(child, name, length) ? kErrorSuccess : kErrorMoreData;
  }

  std::int32_t QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* size) override {
    const WineHiveValue* value = nullptr;
    const std::int32_t result = FindValue(key, name, &value);
    if (result != kErrorSuccess) return result;
    if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
    const std::string& bytes = Delivered(value);
    if (type != nullptr) *type = value->type;
    if (size == nullptr) return kErrorSuccess;
    std::uint32_t room = *size;
    *size = Size(bytes);
    if (data == nullptr) return kErrorSuccess;
    if (room < AnsiSize(*value)) return kErrorMoreData;
    // Room for the ANSI text but not for its UTF-8: what fits of the UTF-8.
    *size = std::min(room, Size(bytes));
    std::memcpy(data, bytes.data(), *size);
    return kErrorSuccess;
  }

  // The text straight into the caller's string: a long one is then in memory
  // twice at most, the hive's and the caller's.
  std::int32_t QueryText(RegKey key, const std::string& name, std::uint32_t size,
                         std::uint32_t* type, std::string* text) override {
    text->clear();
    const WineHiveValue* value = nullptr;
    const std::int32_t result = FindValue(key, name, &value);
    if (result != kErrorSuccess) return result;
    const std::string& bytes = Delivered(value);
    if (type != nullptr) *type = value->type;
    if (size < AnsiSize(*value)) return kErrorMoreData;
    text->assign(bytes);
    return kErrorSuccess;
  }

  // A key's values are parsed when it is read and dropped with its last
  // handle: a run reads each download's key once, and keeping them all would
  // hold the whole list in memory.
  void CloseKey(RegKey key) override {
    auto handle = FindHandle(key);
    if (handle == handles_.end()) return;
    const WineHive::KeyId node = handle->second;
    handles_.erase(handle);
    delivered_for_ = nullptr;
    std::string().swap(delivered_);
    for (const auto& other : handles_) {
      if (other.second == node) return;
    }
    hive_->ForgetValues(node);
  }

 private:
  // What a reader gets of `value`. Only a string given as hex bytes needs a
  // conversion, and its value is asked for twice, its size and then its
  // bytes: the conversion is kept for the second time. The value lives until
  // its key's last handle closes, which forgets this.
  const std::string& Delivered(const WineHiveValue* value) {
    if (DeliveredAsKept(*value)) return value->data;
    if (value != delivered_for_) {
      DeliverData(*value, &delivered_);
      delivered_for_ = value;
    }
    return delivered_;
  }

  // The hive key behind `key`: HKEY_LOCAL_MACHINE is the hive's root, and
  // without a hive there is no key to give.
  std::int32_t Resolve(RegKey key, WineHive::KeyId* node) const {
    if (key == kNullKey) return kErrorInvalidHandle;
    if (changed_) return kErrorFileNotFound;
    if (key >= kFirstPredefinedKey) {
      if (key != kHkeyLocalMachine || hive_ == nullptr) return kErrorFileNotFound;
      *node = WineHive::kRoot;
      return kErrorSuccess;
    }
    auto it = FindHandle(key);
    if (it == handles_.end()) return kErrorInvalidHandle;
    *node = it->second;
    return kErrorSuccess;
  }

  // The value `name` of the key behind `key`.
  std::int32_t FindValue(RegKey key, const std::string& name, const WineHiveValue** value) {
    WineHive::KeyId node = 0;
    const std::int32_t result = Resolve(key, &node);
    if (result != kErrorSuccess) return result;
    // A key's values are parsed together, and its name read before them:
    // the file unchanged once they are, every download a reader gets whole
    // was read from the file as it was opened. One look at the file per key
    // read, not per value.
    bool parsed_now = false;
    *value = hive_->FindValue(node, name, &parsed_now);
    if (parsed_now && !Unchanged()) return kErrorFileNotFound;
    return *value == nullptr ? kErrorFileNotFound : kErrorSuccess;
  }

  // Whether the hive's file still holds what was read from it; once not,
  // the store has no hive any more, so that no answer mixes two versions.
  bool Unchanged() {
    if (!changed_ && unchanged_ && !unchanged_()) changed_ = true;
    return !changed_;
  }

  std::int32_t Refused(std::int32_t error) {
    Unchanged();
    return error;
  }

  using Handles = std::vector<std::pair<RegKey, WineHive::KeyId>>;
  Handles::const_iterator FindHandle(RegKey key) const {
    auto it = std::lower_bound(handles_.begin(), handles_.end(), key,
                               [](const auto& handle, RegKey k) { return handle.first < k; });
    return it != handles_.end() && it->first == key ? it : handles_.end();
  }

  std::unique_ptr<WineHive> hive_;
  std::function<bool()> unchanged_;  // null: the hive's text cannot change
  bool changed_ = false;
  Handles handles_;  // open handles and their keys, by handle
  std::vector<std::string_view> names_;
  RegKey next_handle_ = 0x100;
  const WineHiveValue* delivered_for_ = nullptr;
  std::string delivered_;
};

std::string HivePathFromEnvironment() {
  const std::string prefix = WinePrefixPath();
  return prefix.empty() ? prefix : prefix + "/system.reg";
}

}  // namespace

std::int32_t FollowFailure(WineHive::Link link) {
  switch (link) {
    case WineHive::Link::kFollowed: return kErrorSuccess;
    case WineHive::Link::kNowhere: return kErrorFileNotFound;
    case WineHive::Link::kNoPath: return kErrorPathNotFound;
    case WineHive::Link::kBadName: return kErrorInvalidName;
    case WineHive::Link::kTooDeep: return kErrorInvalidParameter;  // a loop
  }
  return kErrorFileNotFound;
}

std::unique_ptr<RegistryStore> MakeWineHiveStore(std::unique_ptr<WineHive> hive) {
  return std::make_unique<WineHiveStore>(std::move(hive), nullptr);
}

std::unique_ptr<RegistryStore> MakeWineHiveStoreFromFile(const std::string& path) {
  if (path.empty()) return MakeWineHiveStore(nullptr);
  HiveFile file = MapHiveFile(path);
  return std::make_unique<WineHiveStore>(std::move(file.hive), std::move(file.unchanged));
}

// Without a prefix the list is "not found", as the Windows program says of
// a key it cannot open; standard error says why.
std::unique_ptr<RegistryStore> MakeSystemRegistryStore() {
  const std::string path = HivePathFromEnvironment();
  if (path.empty()) {
    static constexpr char kNoPrefix[] =
        "Tallyweb: no Wine prefix to read: neither WINEPREFIX nor HOME is set\n";
    ssize_t ignored = write(STDERR_FILENO, kNoPrefix, sizeof kNoPrefix - 1);
    (void)ignored;
  }
  return MakeWineHiveStoreFromFile(path);
}

}  // namespace tallyweb
