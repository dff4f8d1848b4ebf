// The registry of the native build: HKEY_LOCAL_MACHINE as a Wine prefix keeps
// it in its system.reg, read only. Handles, error codes and buffer rules are
// those advapi32 shows under Wine, so the reader above cannot tell the two
// apart.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include <atomic>
#include <csignal>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/folder_url.h"
#include "platform/registry_names.h"
#include "platform/registry_store.h"
#include "platform/wine_hive.h"

namespace tallyweb {
namespace {

// ERROR_BAD_PATHNAME: advapi32's answer to a path with a leading backslash.
constexpr std::int32_t kBadPathname = 161;
constexpr std::int32_t kInvalidParameter = 87;
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

// A hive file cut short while it is mapped (an editor saving it in place)
// would end the program with SIGBUS on the first page past the new end. The
// mapping is guarded instead: such a page is replaced by zeros, which read as
// empty lines, and the store takes the hive for gone from then on. One hive
// file is mapped at a time; a fault anywhere else is left to kill the
// process as it would.
std::atomic<char*> guarded_begin{nullptr};
std::atomic<std::size_t> guarded_size{0};
std::atomic<bool> hive_cut{false};

void OnBusError(int signal, siginfo_t* info, void*) {
  char* const begin = guarded_begin.load();
  char* const address = static_cast<char*>(info->si_addr);
  if (begin != nullptr && address >= begin && address < begin + guarded_size.load()) {
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    void* const start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(address) & ~(page - 1));
    if (mmap(start, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      hive_cut.store(true);
      return;
    }
  }
  ::signal(signal, SIG_DFL);  // the fault comes again, and kills as it would have
}

void GuardMapping(char* begin, std::size_t size) {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  (void)installed;
  guarded_size.store(size);
  guarded_begin.store(begin);
}

class WineHiveStore : public RegistryStore {
 public:
  explicit WineHiveStore(std::unique_ptr<WineHive> hive) : hive_(std::move(hive)) {}

  std::int32_t OpenKey(RegKey base, const std::string& path, std::uint32_t access,
                       RegKey* key) override {
    *key = kNullKey;
    WineHive::KeyId node = 0;
    std::int32_t result = Resolve(base, &node);
    if (result != kErrorSuccess) return result;
    if (!path.empty() && path[0] == '\\') return kBadPathname;
    // One buffer for every path: a run opens a hundred thousand keys.
    std::vector<std::string_view>& names = names_;
    SplitPath(path, &names);
    if (base == kHkeyLocalMachine && hive_->Is64Bit() && (access & kKeyWow64_32Key) != 0) {
      MapTo32BitView(&names);
    }
    for (std::string_view name : names) {
      if (!hive_->FindChild(node, name, &node)) return kErrorFileNotFound;
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
    const std::vector<WineHiveValue>& values = hive_->Values(node);
    info->value_count = static_cast<std::uint32_t>(values.size());
    for (const WineHiveValue& value : values) {
      info->longest_value_name = std::max(info->longest_value_name, Size(value.name));
      // The registry counts the stored (UTF-16) bytes; UTF-8 text can be
      // longer than that, and a buffer sized by this answer must still fit.
      info->longest_value_data = std::max(
          {info->longest_value_data, Size(value.data), Size(DeliveredData(value))});
    }
    info->last_write_time = hive_->LastWriteTime(node);
    return kErrorSuccess;
  }

  std::int32_t EnumKey(RegKey key, std::uint32_t index, char* name,
                       std::uint32_t* length) override {
    WineHive::KeyId node = 0;
    std::int32_t result = Resolve(key, &node);
    if (result != kErrorSuccess) return result;
    if (index >= hive_->ChildCount(node)) return kErrorNoMoreItems;
    const std::string_view child = hive_->NameView(hive_->Child(node, index));
    // Too short: buffer and length stay as they were, as under Wine.
    if (child.size() >= *length) return kErrorMoreData;
    std::memcpy(name, child.data(), child.size());
    name[child.size()] = '\0';
    *length = static_cast<std::uint32_t>(child.size());
    return kErrorSuccess;
  }

  std::int32_t QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* size) override {
    WineHive::KeyId node = 0;
    std::int32_t result = Resolve(key, &node);
    if (result != kErrorSuccess) return result;
    const WineHiveValue* value = hive_->FindValue(node, name);
    if (value == nullptr) return kErrorFileNotFound;
    if (data != nullptr && size == nullptr) return kInvalidParameter;
    const std::string& bytes = Delivered(value);
    if (type != nullptr) *type = value->type;
    if (size == nullptr) return kErrorSuccess;
    std::uint32_t room = *size;
    *size = Size(bytes);
    if (data == nullptr) return kErrorSuccess;
    if (room < bytes.size()) return kErrorMoreData;
    std::memcpy(data, bytes.data(), bytes.size());
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
    for (const auto& other : handles_) {
      if (other.second == node) return;
    }
    hive_->ForgetValues(node);
  }

 private:
  // A text value is asked for twice, its size and then its bytes: the
  // conversion is kept for the second time. The value lives until its key's
  // last handle closes, which forgets this.
  const std::string& Delivered(const WineHiveValue* value) {
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
    if (hive_cut.load()) return kErrorFileNotFound;
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

  using Handles = std::vector<std::pair<RegKey, WineHive::KeyId>>;
  Handles::const_iterator FindHandle(RegKey key) const {
    auto it = std::lower_bound(handles_.begin(), handles_.end(), key,
                               [](const auto& handle, RegKey k) { return handle.first < k; });
    return it != handles_.end() && it->first == key ? it : handles_.end();
  }

  std::unique_ptr<WineHive> hive_;
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

// The file's bytes, mapped rather than read: a default prefix's hive is
// megabytes, and filling fresh memory with it costs several times more than
// indexing it. wineserver never cuts its hive (it writes a new file and
// renames it over the old one), but an editor may: see GuardMapping.
// The hive reads through the file about once, and the pages it has read would
// otherwise stay counted as the program's memory: released now and then, they
// come back from the page cache if read again.
std::unique_ptr<WineHive> ParseFile(const std::string& path) {
  // Without waiting, should it be a FIFO; only a regular file is mapped.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st {};
  void* bytes = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    bytes = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  }
  ::close(fd);
  if (bytes == MAP_FAILED) return nullptr;
  hive_cut.store(false);
  std::size_t size = static_cast<std::size_t>(st.st_size);
  GuardMapping(static_cast<char*>(bytes), size);
  std::shared_ptr<const void> mapping(bytes, [size](const void* p) {
    if (guarded_begin.load() == p) guarded_begin.store(nullptr);
    ::munmap(const_cast<void*>(p), size);
  });
  auto release = [bytes](std::size_t begin, std::size_t end) {
    ::madvise(static_cast<char*>(bytes) + begin, end - begin, MADV_DONTNEED);
  };
  auto hive = WineHive::Parse(std::string_view(static_cast<const char*>(bytes), size),
                              std::move(mapping), release);
  // Keys out of order are read all over the text: fault in only the page
  // asked for, not its neighbours, which will be given back unread.
  if (hive != nullptr && hive->KeysOutOfOrder()) ::madvise(bytes, size, MADV_RANDOM);
  // Cut while it was indexed: what was read is no hive.
  return hive_cut.load() ? nullptr : std::move(hive);
}

}  // namespace

std::unique_ptr<RegistryStore> MakeWineHiveStore(std::unique_ptr<WineHive> hive) {
  return std::make_unique<WineHiveStore>(std::move(hive));
}

std::unique_ptr<RegistryStore> MakeWineHiveStoreFromFile(const std::string& path) {
  return MakeWineHiveStore(path.empty() ? nullptr : ParseFile(path));
}

std::unique_ptr<RegistryStore> MakeSystemRegistryStore() {
  return MakeWineHiveStoreFromFile(HivePathFromEnvironment());
}

}  // namespace tallyweb
