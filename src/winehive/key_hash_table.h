// A table of key numbers found by a hash of what names them, for the key
// index's subkeys that a hive lists out of order. Open addressing over 8-byte
// slots (32 bits of the hash, the number), kept at most half full so that a
// search soon meets an empty slot: a map of lists cost ten times that, and a
// memory allocation a key. The table stores no names; the caller says which
// of the numbers sharing a hash is the one it looks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tallyweb {

class KeyHashTable {
 public:
  using Id = std::uint32_t;
  /// No number: what Find answers for a key not there, and never added.
  static constexpr Id kNone = 0xFFFFFFFFu;

  /// Adds `id` under `hash`; a number may be added once.
  void Add(std::uint64_t hash, Id id);
  /// The first number added under `hash` for which `matches(id)`, else kNone.
  /// Only 32 bits of a hash are kept: `matches` is asked about some numbers
  /// added under other hashes too, and must say no to them.
  template <typename Matches>
  Id Find(std::uint64_t hash, Matches matches) const;

  std::size_t size() const { return count_; }
  std::size_t SlotCount() const { return slots_.size(); }
  /// Gives the memory back.
  void Clear();

 private:
  struct Slot {
    std::uint32_t hash = 0;
    Id id = kNone;
  };

  static std::uint32_t ShortHash(std::uint64_t hash) {
    return static_cast<std::uint32_t>(hash ^ (hash >> 32));
  }
  std::size_t FirstSlot(std::uint32_t hash) const;
  std::size_t NextSlot(std::size_t slot) const { return (slot + 1) & (slots_.size() - 1); }
  void Grow();
  void Place(const Slot& slot);

  std::vector<Slot> slots_;  // a power of two of them, or none
  std::size_t count_ = 0;
};

template <typename Matches>
KeyHashTable::Id KeyHashTable::Find(std::uint64_t hash, Matches matches) const {
  if (slots_.empty()) return kNone;
  const std::uint32_t short_hash = ShortHash(hash);
  for (std::size_t slot = FirstSlot(short_hash); slots_[slot].id != kNone; slot = NextSlot(slot)) {
    if (slots_[slot].hash == short_hash && matches(slots_[slot].id)) return slots_[slot].id;
  }
  return kNone;
}

}  // namespace tallyweb
