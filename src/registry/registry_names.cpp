#include "registry/registry_names.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "text/utf.h"

namespace tallyweb {
namespace {

struct FoldRun {
  std::uint16_t first;
  std::uint16_t count;
  std::int32_t delta;
  std::uint16_t step;
};
constexpr FoldRun kFoldRuns[] = {
#include "registry/name_fold_table.inc"
};

// The UTF-16 units of a UTF-8 name, one at a time. Bytes that are not UTF-8
// (a caller's name may hold any) stand for themselves in the unit range
// U+DC80..U+DCFF, which no well-formed name reaches alone. A lead and its
// continuation bytes read as their number whatever its form, as names always
// have.
class Units {
 public:
  explicit Units(std::string_view s) : s_(s) {}
  bool Next(char16_t* unit) {
    if (pending_ != 0) {
      *unit = units_[1];
      pending_ = 0;
      return true;
    }
    if (i_ >= s_.size()) return false;
    const unsigned char b = static_cast<unsigned char>(s_[i_]);
    if (b < 0x80) {
      ++i_;
      *unit = b;
      return true;
    }
    char32_t code = 0;
    DecodeUtf8(s_, &i_, BadUtf8Byte::kLoneSurrogate, Utf8Forms::kAnyLength, &code);
    pending_ = ToUtf16(code, units_) - 1;
    *unit = units_[0];
    return true;
  }

 private:
  std::string_view s_;
  std::size_t i_ = 0;
  char16_t units_[2] = {};
  std::size_t pending_ = 0;  // 1 while units_[1] is still to come
};

}  // namespace

char16_t FoldNameUnit(char16_t unit) {
  if (unit < 0x80) return unit >= 'A' && unit <= 'Z' ? static_cast<char16_t>(unit + 32) : unit;
  const FoldRun* run = std::upper_bound(std::begin(kFoldRuns), std::end(kFoldRuns), unit,
                                        [](char16_t u, const FoldRun& r) { return u < r.first; });
  if (run == std::begin(kFoldRuns)) return unit;
  --run;
  const std::uint32_t offset = unit - run->first;
  if (offset % run->step != 0 || offset / run->step >= run->count) return unit;
  return static_cast<char16_t>(static_cast<std::int32_t>(unit) + run->delta);
}

int CompareNames(std::string_view a, std::string_view b) {
  // Most comparisons are of ASCII names, many of them equal byte for byte.
  std::size_t i = 0;
  const std::size_t n = std::min(a.size(), b.size());
  for (; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(a[i]);
    const unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 0x80 || y >= 0x80) break;
    if (x == y) continue;
    const char16_t fx = FoldNameUnit(x), fy = FoldNameUnit(y);
    if (fx != fy) return fx < fy ? -1 : 1;
  }
  if (i == n) {
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
  }
  Units ua(a.substr(i)), ub(b.substr(i));
  while (true) {
    char16_t x = 0, y = 0;
    const bool more_a = ua.Next(&x), more_b = ub.Next(&y);
    if (!more_a || !more_b) return more_a == more_b ? 0 : (more_a ? 1 : -1);
    if (x == y) continue;
    x = FoldNameUnit(x);
    y = FoldNameUnit(y);
    if (x != y) return x < y ? -1 : 1;
  }
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0) return true;
  return CompareNames(a, b) == 0;
}

std::uint64_t HashName(std::string_view name) {
  std::uint64_t hash = 14695981039346656037ull;
  Units units(name);
  char16_t unit = 0;
  while (units.Next(&unit)) hash = (hash ^ FoldNameUnit(unit)) * 1099511628211ull;
  return hash;
}

std::size_t NameUnits(std::string_view name) {
  Units units(name);
  std::size_t count = 0;
  char16_t unit = 0;
  while (units.Next(&unit)) ++count;
  return count;
}

void SplitPath(std::string_view path, std::vector<std::string_view>* names) {
  names->clear();
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t stop = path.find('\\', start);
    if (stop == std::string_view::npos) stop = path.size();
    if (stop > start) names->push_back(path.substr(start, stop - start));
    start = stop + 1;
  }
}

bool CopyKeyName(std::string_view name, char* buffer, std::uint32_t* length) {
  if (name.size() >= *length) return false;
  std::memcpy(buffer, name.data(), name.size());
  buffer[name.size()] = '\0';
  *length = static_cast<std::uint32_t>(name.size());
  return true;
}

}  // namespace tallyweb
