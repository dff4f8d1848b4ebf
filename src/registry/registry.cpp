#include "registry/registry.h"

#include <algorithm>
#include <vector>

#include "failure/failure_kinds.h"

namespace tallyweb {
namespace {

// The reader takes the store's counts as signed 32-bit numbers: a count
// past 2^31 from a damaged hive is negative and lists nothing.
std::int32_t AsCount(std::uint32_t count) { return static_cast<std::int32_t>(count); }

TValueKind KindOf(std::uint32_t type) {
  switch (type) {
    case kRegSz: return TValueKind::Text;
    case kRegExpandSz: return TValueKind::ExpandText;
    case kRegBinary: return TValueKind::Binary;
    case kRegDword: return TValueKind::Integer;
    default: return TValueKind::Unknown;
  }
}

// The store takes names as the system does, NUL-terminated: whatever follows
// an embedded NUL never reaches it.
std::string AsPassed(const std::string& text) { return std::string(text.c_str()); }

// A key name is at most 255 characters, at most three bytes each in UTF-8
// (a character of four takes two of the 255); a name buffer never needs to
// grow past this.
constexpr std::size_t kMaxNameBuffer = 1024;

}  // namespace

std::int32_t RegistryStore::QueryText(RegKey key, const std::string& name, std::uint32_t size,
                                      std::uint32_t* type, std::string* text) {
  text->assign(size, '\0');
  std::uint32_t copied = size;
  const std::int32_t result = QueryValue(key, name, type,
                                         reinterpret_cast<std::uint8_t*>(text->data()), &copied);
  text->resize(result == kErrorSuccess ? std::min(copied, size) : 0);
  return result;
}

TRegistry::TRegistry(RegistryStore& store, const SystemFacts& facts)
    : store_(store), facts_(facts) {
  SelectRoot(kHkeyCurrentUser);
  access_ = kRegistryAccess;
  lazy_write_ = true;
}

TRegistry::~TRegistry() { CloseCurrent(); }

void TRegistry::SelectRoot(RegKey root) {
  if (root == root_key_) return;
  root_key_ = root;
  CloseCurrent();
}

bool TRegistry::OpenPath(const std::string& path, bool create) {
  // The reader never writes: the store has no way to create a key, so a
  // request to create one opens it only when it exists already.
  (void)create;
  std::string sub_path = path;
  const bool relative = sub_path.empty() || sub_path[0] != '\\';
  if (!relative) sub_path.erase(0, 1);
  const bool below_current = relative && current_key_ != kNullKey;
  const RegKey base = below_current ? current_key_ : root_key_;

  RegKey new_key = kNullKey;
  if (store_.OpenKey(base, AsPassed(sub_path), access_, &new_key) != kErrorSuccess) {
    return false;
  }
  if (below_current) sub_path = current_path_ + "\\" + sub_path;
  CloseCurrent();
  current_key_ = new_key;
  current_path_ = sub_path;
  return true;
}

void TRegistry::CloseCurrent() {
  if (current_key_ == kNullKey) return;
  // Lazy write is always on, so releasing the key is a plain close.
  store_.CloseKey(current_key_);
  current_key_ = kNullKey;
  current_path_.clear();
}

bool TRegistry::QueryKeyInfo(RegKeyInfo& info) {
  info = RegKeyInfo{};
  const bool answered = store_.QueryInfoKey(current_key_, &info) == kErrorSuccess;
  // NT counts name lengths in UTF-16 characters; in a double-byte code page
  // each may take two bytes of the ANSI name.
  if (facts_.double_byte && facts_.nt) {
    info.longest_subkey_name *= 2;
    info.longest_value_name *= 2;
  }
  return answered;
}

bool TRegistry::HasChildKeys() {
  RegKeyInfo info;
  return QueryKeyInfo(info) && AsCount(info.subkey_count) > 0;
}

void TRegistry::ListChildKeys(TStringList& list) {
  list.clear();
  RegKeyInfo info;
  if (!QueryKeyInfo(info)) return;
  // Room for the longest name and its NUL, and one more NUL so that the
  // buffer always ends in one whatever the store writes.
  std::vector<char> name(static_cast<std::size_t>(std::max(AsCount(info.longest_subkey_name), 0)) +
                         2);
  const std::int32_t count = AsCount(info.subkey_count);
  for (std::int32_t index = 0; index < count; ++index) {
    std::int32_t result = EnumChildKey(static_cast<std::uint32_t>(index), name);
    // Past the end: subkeys were removed since the query, none is left.
    if (result == kErrorNoMoreItems) break;
    // Only a name the store wrote is listed, never a stale buffer.
    if (result == kErrorSuccess) list.push_back(std::string(name.data()));
  }
}

std::int32_t TRegistry::EnumChildKey(std::uint32_t index, std::vector<char>& name) {
  for (;;) {
    std::uint32_t length = static_cast<std::uint32_t>(name.size() - 1);
    std::int32_t result = store_.EnumKey(current_key_, index, name.data(), &length);
    // The store counts characters, and a name may take more bytes than that
    // in the ANSI code page; it does not say how many, so grow and ask again.
    if (result != kErrorMoreData || name.size() >= kMaxNameBuffer) return result;
    name.assign(std::min(name.size() * 2, kMaxNameBuffer), '\0');
  }
}

bool TRegistry::QueryValueInfo(const std::string& name, TRegistryValueInfo& info) {
  info = TRegistryValueInfo{};
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  const bool answered = store_.QueryValue(current_key_, AsPassed(name), &type, nullptr, &size) ==
                        kErrorSuccess;
  info.Kind = KindOf(type);
  info.DataSize = static_cast<std::int32_t>(size);
  return answered;
}

std::int32_t TRegistry::ValueSize(const std::string& name) {
  TRegistryValueInfo info;
  return QueryValueInfo(name, info) ? info.DataSize : -1;
}

std::int32_t TRegistry::FetchValue(const std::string& name, void* buffer, std::int32_t buffer_size,
                                   TValueKind& kind) {
  std::uint32_t type = 0;
  std::uint32_t size = static_cast<std::uint32_t>(std::max(buffer_size, 0));
  if (store_.QueryValue(current_key_, AsPassed(name), &type, static_cast<std::uint8_t*>(buffer),
                        &size) != kErrorSuccess) {
    Raise<ERegistryException>("Failed to get data for '" + name + "'");
  }
  kind = KindOf(type);
  return static_cast<std::int32_t>(size);
}

std::string TRegistry::ReadText(const std::string& name) {
  // The size decides as the ANSI read would: a string of no whole character
  // is empty text whatever its type, for instance. Only the text itself comes
  // in UTF-8, so that no character is lost to the code page.
  const std::int32_t size = ValueSize(name);
  if (size <= 0) return std::string();
  std::string text;
  std::uint32_t type = 0;
  if (store_.QueryText(current_key_, AsPassed(name), static_cast<std::uint32_t>(size), &type,
                       &text) != kErrorSuccess) {
    Raise<ERegistryException>("Failed to get data for '" + name + "'");
  }
  const TValueKind kind = KindOf(type);
  if (kind != TValueKind::Text && kind != TValueKind::ExpandText) {
    Raise<ERegistryException>("Invalid data type for '" + name + "'");
  }
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  return text;
}

std::int32_t TRegistry::ReadInt32(const std::string& name) {
  // A REG_DWORD shorter than 4 bytes leaves the rest of the number zero.
  std::uint8_t bytes[4] = {0, 0, 0, 0};
  TValueKind kind = TValueKind::Unknown;
  FetchValue(name, bytes, sizeof bytes, kind);
  if (kind != TValueKind::Integer) {
    Raise<ERegistryException>("Invalid data type for '" + name + "'");
  }
  const std::uint32_t number = static_cast<std::uint32_t>(bytes[0]) |
                               static_cast<std::uint32_t>(bytes[1]) << 8 |
                               static_cast<std::uint32_t>(bytes[2]) << 16 |
                               static_cast<std::uint32_t>(bytes[3]) << 24;
  return static_cast<std::int32_t>(number);
}

}  // namespace tallyweb
