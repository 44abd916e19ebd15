// An open-addressing hash set of dense 32-bit ids. Each slot keeps the id and
// 32 bits of its (keyed) hash, so probing rarely touches the stored records
// and growing never recomputes a hash. Equality is decided by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tessary {

// The slot count (a power of two, at least `current` and 16) that holds
// `count` entries at a load of at most 3/4. Faults past 2^32 slots.
std::size_t slots_for(std::size_t count, std::size_t current);

class IdTable {
 public:
  IdTable() = default;

  // The id whose hash matches and for which `equal(id)` holds, if any.
  template <typename Equal>
  std::optional<std::uint32_t> find(std::uint64_t hash, Equal&& equal) const {
    if (slots_.empty()) return std::nullopt;
    const auto h32 = static_cast<std::uint32_t>(hash);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h32 & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.id_plus_one == 0) return std::nullopt;
      if (s.hash == h32 && equal(s.id_plus_one - 1)) return s.id_plus_one - 1;
    }
  }

  // How many slots `find` examines for the same arguments, the empty slot
  // that ends a miss included (0 on an empty table). Tests count probes with
  // it; lookups never call it, so counting costs them nothing.
  template <typename Equal>
  std::size_t probe_count(std::uint64_t hash, Equal&& equal) const {
    if (slots_.empty()) return 0;
    const auto h32 = static_cast<std::uint32_t>(hash);
    const std::size_t mask = slots_.size() - 1;
    std::size_t probes = 1;
    for (std::size_t i = h32 & mask;; i = (i + 1) & mask, ++probes) {
      const Slot& s = slots_[i];
      if (s.id_plus_one == 0 || (s.hash == h32 && equal(s.id_plus_one - 1))) return probes;
    }
  }

  // Where the id is whose hash matches and for which `equal(id)` holds, or
  // else the empty slot where it would go; valid until the table changes.
  // Makes room for one more id first, so `insert_at` never rehashes.
  struct Probe {
    std::size_t slot;
    std::uint32_t hash;
    std::optional<std::uint32_t> id;  // the id found, if any
  };
  template <typename Equal>
  Probe locate(std::uint64_t hash, Equal&& equal) {
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();
    const auto h32 = static_cast<std::uint32_t>(hash);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h32 & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.id_plus_one == 0) return Probe{i, h32, std::nullopt};
      if (s.hash == h32 && equal(s.id_plus_one - 1)) return Probe{i, h32, s.id_plus_one - 1};
    }
  }
  // Stores `id` in the empty slot that `probe` (which found nothing) names.
  void insert_at(const Probe& probe, std::uint32_t id);

  // Inserts an id known to be absent.
  void insert(std::uint64_t hash, std::uint32_t id);
  // The id in the slot where a probe for `hash` begins, if that slot's hash
  // matches; unconfirmed, for starting to load the id's record early.
  std::optional<std::uint32_t> home_candidate(std::uint64_t hash) const {
    if (slots_.empty()) return std::nullopt;
    const auto h32 = static_cast<std::uint32_t>(hash);
    const Slot& s = slots_[h32 & (slots_.size() - 1)];
    if (s.id_plus_one == 0 || s.hash != h32) return std::nullopt;
    return s.id_plus_one - 1;
  }
  // Starts loading the slot where a probe for `hash` begins.
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty())
      __builtin_prefetch(&slots_[static_cast<std::uint32_t>(hash) & (slots_.size() - 1)]);
  }
  // Sizes the table for `count` ids in all, so that inserting up to there
  // never rehashes. Appends call this for one more id each time, which a
  // table of 16 or more slots (the least it holds once it has any) mostly
  // has room for already.
  void reserve(std::size_t count) {
    if (!slots_.empty() && count * 4 <= slots_.size() * 3) return;
    resize_for(count);
  }
  std::size_t size() const { return size_; }
  std::size_t capacity_bytes() const { return slots_.capacity() * sizeof(Slot); }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t id_plus_one = 0;  // 0 marks an empty slot
  };

  void resize_for(std::size_t count);
  void grow();
  void rehash(std::size_t new_size);
  static void place(std::vector<Slot>& slots, Slot slot);

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace tessary
