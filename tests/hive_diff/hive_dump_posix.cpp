// The native reader's side of hive_diff.sh: the same lines hive_dump_win32.c
// prints under Wine, from a system.reg read by the program's own hive reader.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/posix/registry_store_posix.h"
#include "registry/registry_names.h"
#include "winehive/wine_hive.h"

namespace {

using tallyweb::WineHive;

void PrintUnits(const std::string& utf8) {
  std::u16string units;
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    std::uint32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) cp = cp << 6 | (utf8[i + k] & 0x3F);
    i += static_cast<std::size_t>(extra) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(cp));
    }
  }
  for (char16_t u : units) std::printf("%04x", static_cast<unsigned>(u));
}

void Dump(WineHive& hive, WineHive::KeyId key, int depth) {
  for (const tallyweb::WineHiveValue& value : hive.Values(key)) {
    std::printf("%*svalue ", depth, "");
    PrintUnits(value.name);
    std::printf(" type %u data ", value.type);
    for (unsigned char c : tallyweb::StoredData(value)) std::printf("%02x", c);
    std::printf(" a4 %d\n", tallyweb::AnsiSize(value) <= 4 ? 0 : 234);
  }
  for (std::size_t i = 0; i < hive.ChildCount(key); ++i) {
    WineHive::KeyId child = hive.Child(key, i);
    std::printf("%*skey ", depth, "");
    PrintUnits(hive.Name(child));
    std::printf("\n");
    if (depth >= 6) continue;
    const WineHive::Link followed = hive.Follow(child, &child);
    if (followed != WineHive::Link::kFollowed) {
      std::printf("%*sopen failed %d\n", depth + 1, "", tallyweb::FollowFailure(followed));
      continue;
    }
    Dump(hive, child, depth + 1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  auto hive = WineHive::Parse(text.str());
  std::string path = argc > 2 ? argv[2] : "Software\\Tesmora\\Orvalink\\FileList";
  std::vector<std::string_view> names;
  tallyweb::SplitPath(path, &names);
  if (hive && hive->Is64Bit() && !names.empty()) names.insert(names.begin() + 1, "Wow6432Node");
  WineHive::KeyId key = WineHive::kRoot;
  bool found = hive != nullptr;
  for (std::string_view name : names) {
    if (found) {
      found = hive->FindChild(key, name, &key) &&
              hive->Follow(key, &key) == WineHive::Link::kFollowed;
    }
  }
  if (!found) {
    std::printf("list not found 2\n");
    return 0;
  }
  std::printf("list\n");
  Dump(*hive, key, 0);
  return 0;
}
