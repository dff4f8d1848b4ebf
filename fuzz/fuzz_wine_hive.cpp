// A Wine hive file from arbitrary bytes, then the lookups the program makes
// on it: children by index and by name, values by name, the data a caller
// receives, and the same again through the registry store over the hive.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/posix/registry_store_posix.h"
#include "registry/registry.h"
#include "registry/registry_names.h"
#include "registry/registry_store.h"
#include "winehive/wine_hive.h"

namespace {

using tallyweb::WineHive;

void Require(bool condition) {
  if (!condition) std::abort();
}

// Bounds on one input's work: a hive of a million keys is fine, but walking
// all of it on every input would make the fuzzer crawl.
constexpr std::size_t kMaxKeys = 500;
constexpr std::size_t kMaxChildren = 64;
constexpr std::size_t kMaxPaths = 32;

// Names compare as the registry compares them, one helper for the reader,
// the store and this target.
bool EqualIgnoringCase(std::string_view a, std::string_view b) { return tallyweb::SameName(a, b); }
bool LessIgnoringCase(std::string_view a, std::string_view b) {
  return tallyweb::CompareNames(a, b) < 0;
}

// UTF-8 as the program keeps registry texts: well-formed, but for a lone
// surrogate's three-byte form; a pair is always one four-byte character.
bool IsValidUtf8(std::string_view s) {
  bool after_high = false;
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char b = s[i];
    std::size_t n = b < 0x80                ? 0
                    : b >= 0xC2 && b < 0xE0 ? 1
                    : b >= 0xE0 && b < 0xF0 ? 2
                    : b >= 0xF0 && b < 0xF5 ? 3
                                            : 9;
    if (n == 9 || i + n >= s.size()) return false;
    std::uint32_t cp = n == 0 ? b : b & (0x3F >> n);
    for (std::size_t k = 1; k <= n; ++k) {
      const unsigned char c = s[i + k];
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF) return false;
    if (after_high && cp >= 0xDC00 && cp <= 0xDFFF) return false;
    after_high = cp >= 0xD800 && cp <= 0xDBFF;
    i += n + 1;
  }
  return true;
}

bool IsStringType(std::uint32_t type) {
  return type == tallyweb::kRegSz || type == tallyweb::kRegExpandSz ||
         type == tallyweb::kRegMultiSz;
}

void CheckKey(WineHive& hive, WineHive::KeyId key) {
  const std::size_t count = hive.ChildCount(key);
  std::string previous;
  for (std::size_t i = 0; i < count && i < kMaxChildren; ++i) {
    const std::string name = hive.Name(hive.Child(key, i));
    Require(i == 0 || !LessIgnoringCase(name, previous));
    WineHive::KeyId found;
    std::string shouted = name;
    for (char& c : shouted) c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    Require(hive.FindChild(key, shouted, &found));
    Require(EqualIgnoringCase(hive.Name(found), name));
    previous = name;
  }
  for (const tallyweb::WineHiveValue& value : hive.Values(key)) {
    const tallyweb::WineHiveValue* found = hive.FindValue(key, value.name);
    Require(found != nullptr && EqualIgnoringCase(found->name, value.name));
    const std::string delivered = tallyweb::DeliveredData(value);
    if (IsStringType(value.type)) Require(IsValidUtf8(delivered));
    else Require(delivered == value.data);
    // A string kept as UTF-8 must give back the very UTF-16 it was read as.
    const std::string stored = tallyweb::StoredData(value);
    Require(stored.size() == tallyweb::StoredSize(value));
    if (value.utf8) Require(tallyweb::Utf16ToUtf8(stored) == value.data);
  }
  hive.LastWriteTime(key);
}

// Through the store: what the key info promises, the enumeration and the
// value queries must keep.
void CheckStoreKey(tallyweb::RegistryStore& store, tallyweb::RegKey key) {
  tallyweb::RegKeyInfo info;
  Require(store.QueryInfoKey(key, &info) == tallyweb::kErrorSuccess);
  std::vector<char> name(info.longest_subkey_name + 1);
  for (std::uint32_t i = 0; i < info.subkey_count && i < kMaxChildren; ++i) {
    std::uint32_t length = std::uint32_t(name.size());
    Require(store.EnumKey(key, i, name.data(), &length) == tallyweb::kErrorSuccess);
  }
  std::uint32_t length = std::uint32_t(name.size());
  Require(store.EnumKey(key, info.subkey_count, name.data(), &length) ==
          tallyweb::kErrorNoMoreItems);
  for (const char* value : {"Item_MainURL", "Item_Size", "", "a"}) {
    std::uint32_t type = 0, size = 0;
    if (store.QueryValue(key, value, &type, nullptr, &size) != tallyweb::kErrorSuccess) continue;
    std::vector<std::uint8_t> data(size + 1);
    std::uint32_t room = size;
    Require(store.QueryValue(key, value, &type, data.data(), &room) == tallyweb::kErrorSuccess);
    Require(room == size);
    if (size > 0) {
      // The size is the UTF-8 text's, but whether a text fits is counted in
      // ANSI bytes, one a UTF-16 unit, as the ANSI call counts: a text with
      // letters past ASCII may fit one byte short, and then what fits of it
      // is copied. Anything else one byte short does not fit.
      room = size - 1;
      const std::int32_t result = store.QueryValue(key, value, &type, data.data(), &room);
      const bool text = type == 1 || type == 2 || type == 7;
      Require(result == tallyweb::kErrorMoreData ||
              (text && result == tallyweb::kErrorSuccess && room == size - 1));
    }
  }
}

// The same key of the same bytes read through copies, as a mapped hive
// whose keys are out of order reads them, must read alike.
void CheckCopiedKey(WineHive& hive, WineHive& copied, WineHive::KeyId key) {
  Require(copied.Name(key) == hive.Name(key));
  Require(copied.ChildCount(key) == hive.ChildCount(key));
  for (std::size_t i = 0; i < hive.ChildCount(key) && i < kMaxChildren; ++i) {
    Require(copied.Child(key, i) == hive.Child(key, i));
  }
  const auto& values = hive.Values(key);
  const auto& copied_values = copied.Values(key);
  Require(values.size() == copied_values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    Require(values[i].name == copied_values[i].name && values[i].type == copied_values[i].type &&
            values[i].data == copied_values[i].data);
  }
  Require(copied.LastWriteTime(key) == hive.LastWriteTime(key));
  copied.ForgetValues(key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Require(IsValidUtf8(tallyweb::Utf16ToUtf8(bytes)));

  std::unique_ptr<WineHive> hive = WineHive::Parse(std::string(bytes));
  if (!hive) return 0;
  hive->Is64Bit();
  auto owner = std::make_shared<const std::string>(bytes);
  std::unique_ptr<WineHive> copied = WineHive::Parse(
      *owner, owner, [](std::size_t, std::size_t) {},
      [owner](std::size_t begin, std::size_t end, char* out) {
        return owner->copy(out, end - begin, begin);
      });
  Require(copied != nullptr);

  // Breadth first from the root, keeping the first paths for the store.
  std::deque<std::pair<WineHive::KeyId, std::string>> pending = {{WineHive::kRoot, ""}};
  std::vector<std::string> paths;
  for (std::size_t visited = 0; !pending.empty() && visited < kMaxKeys; ++visited) {
    auto [key, path] = pending.front();
    pending.pop_front();
    CheckKey(*hive, key);
    CheckCopiedKey(*hive, *copied, key);
    if (!path.empty() && paths.size() < kMaxPaths) paths.push_back(path);
    for (std::size_t i = 0; i < hive->ChildCount(key) && i < kMaxChildren; ++i) {
      const WineHive::KeyId child = hive->Child(key, i);
      pending.emplace_back(child,
                           path.empty() ? hive->Name(child) : path + "\\" + hive->Name(child));
    }
  }

  std::unique_ptr<tallyweb::RegistryStore> store = tallyweb::MakeWineHiveStore(std::move(hive));
  paths.push_back("Software\\Tesmora\\Orvalink\\FileList\\");
  for (const std::string& path : paths) {
    for (std::uint32_t access : {tallyweb::kKeyRead, tallyweb::kRegistryAccess}) {
      tallyweb::RegKey key = tallyweb::kNullKey;
      if (store->OpenKey(tallyweb::kHkeyLocalMachine, path, access, &key) !=
          tallyweb::kErrorSuccess)
        continue;
      CheckStoreKey(*store, key);
      store->CloseKey(key);
    }
  }
  return 0;
}
