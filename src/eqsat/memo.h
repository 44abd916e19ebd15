// The hash-cons table of the e-graph: e-node to class id. Entries are stored
// once, in insertion order, in blocks that never move, so an entry's index
// (and a reference to its node) stays valid; an open-addressing index of
// (hash, position) pairs finds them. Entries are never removed, only their ids
// replaced, so an entry's node is exactly the form that was first inserted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/hash.h"
#include "base/id_table.h"
#include "eqsat/chunked_vec.h"
#include "eqsat/enode.h"
#include "eqsat/id.h"

namespace tessary::eqsat {

class Memo {
 public:
  struct Entry {
    SymbolLang node{GlobalSymbol()};
    Id id{};
  };
  struct Found {
    std::uint32_t index;  // the entry holding the node
    bool inserted;        // false if the node was already present
  };

  std::size_t size() const { return entries_.size(); }
  const Entry& entry(std::uint32_t index) const { return entries_[index]; }

  // The id stored for `node`, if any.
  std::optional<Id> find(const SymbolLang& node) const;
  // Where `node` is, or where it would go: valid until the next insertion.
  struct Probe {
    IdTable::Probe slot;
    std::optional<std::uint32_t> index;  // the entry holding the node, if present
  };
  Probe locate(const SymbolLang& node);
  // Inserts `node`, which `probe` found absent; returns its entry index.
  std::uint32_t insert_at(const Probe& probe, const SymbolLang& node, Id id);
  // The entry of `node`, inserting it with `id` when absent (one probe).
  Found find_or_insert(const SymbolLang& node, Id id);
  // Starts loading the slot where `node` would be found.
  void prefetch(const SymbolLang& node) const;
  // If `node`'s home slot is loaded and names an entry with its hash, starts
  // loading that entry (the second step of a two-step prefetch).
  void prefetch_entry_of(const SymbolLang& node) const;
  // Starts loading an entry.
  [[gnu::always_inline]] void prefetch_entry(std::uint32_t index) const {
    entries_.prefetch(index);
  }
  // Stores `id` for `node`, replacing an existing id; returns the replaced id.
  std::optional<Id> insert(const SymbolLang& node, Id id);
  // Replaces the id of an existing entry; returns the previous id.
  Id replace_id(std::uint32_t index, Id id);

  // Sizes the table for `count` entries in all, so that filling it up to
  // there never rehashes.
  void reserve(std::size_t count);

  std::size_t capacity_bytes() const;

 private:
  std::uint32_t slot_hash(const SymbolLang& node) const;

  // The process seed, read once here rather than on every hash.
  std::uint64_t seed_ = fx_process_seed();
  ChunkedVec<Entry> entries_;
  // Positions in entries_ by the high half of each node's hash.
  IdTable index_;
};

}  // namespace tessary::eqsat
