// The key index's hash table: see key_hash_table.h.
#include "winehive/key_hash_table.h"

#include <algorithm>
#include <utility>

namespace tallyweb {
namespace {

// The first table: 512 bytes, room for 32 keys before it grows; a parent
// whose subkeys come out of order seldom has fewer, and smaller tables
// would only be copied again at once.
constexpr std::size_t kFirstSlotCount = 64;
// 2^64 divided by the golden ratio, odd: multiplying by it spreads hashes
// that differ in a few bits over the whole product (Fibonacci hashing).
constexpr std::uint64_t kSpread = 0x9E3779B97F4A7C15ull;
// The slot is read from the product above its lowest bits, which depend on
// the hash's lowest bits alone; 44 bits remain, more than any table has.
constexpr unsigned kSpreadShift = 20;

}  // namespace

std::size_t KeyHashTable::FirstSlot(std::uint32_t hash) const {
  return static_cast<std::size_t>((hash * kSpread) >> kSpreadShift) & (slots_.size() - 1);
}

void KeyHashTable::Add(std::uint64_t hash, Id id) {
  if (2 * (count_ + 1) > slots_.size()) Grow();  // at most half full
  Slot slot;
  slot.hash = ShortHash(hash);
  slot.id = id;
  Place(slot);
  ++count_;
}

void KeyHashTable::Grow() {
  std::vector<Slot> old(std::max(kFirstSlotCount, 2 * slots_.size()));
  old.swap(slots_);
  for (const Slot& slot : old) {
    if (slot.id != kNone) Place(slot);
  }
}

// Into the first empty slot from where its hash starts: linear probing.
void KeyHashTable::Place(const Slot& slot) {
  std::size_t at = FirstSlot(slot.hash);
  while (slots_[at].id != kNone) at = NextSlot(at);
  slots_[at] = slot;
}

void KeyHashTable::Clear() {
  std::vector<Slot>().swap(slots_);
  count_ = 0;
}

}  // namespace tallyweb
