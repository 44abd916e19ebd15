// Interned operator names and pattern variables. A GlobalSymbol is a 32-bit
// handle into one process-wide table of 16 locked shards; equal texts give
// equal symbols, and a symbol's text stays valid until the process ends.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string_view>
#include <vector>

#include "base/arena.h"
#include "base/fault.h"
#include "base/id_table.h"
#include "base/thread_annotations.h"

namespace tessary::eqsat {

// Bits 28..31 of a symbol value name the shard; bits 0..27 hold the text's
// position in that shard plus one, so no valid symbol is 0.
inline constexpr int kSymbolShardBits = 4;
inline constexpr std::uint32_t kSymbolShardCount = 1u << kSymbolShardBits;
inline constexpr int kSymbolIndexBits = 28;
inline constexpr std::uint32_t kSymbolIndexMask = (1u << kSymbolIndexBits) - 1;
// Position + 1 must stay below this value.
inline constexpr std::uint32_t kSymbolIndexLimit = 0x0FFFFFFF;

// The string hash that picks a shard and keys the shard's set: SipHash-1-3
// under a key drawn once per process.
std::uint64_t symbol_text_hash(std::string_view text);

// A sharded intern table. The process uses exactly one (`global()`); separate
// instances exist so tests can drive the overflow and poisoned-lock faults.
class SymbolTable {
 public:
  explicit SymbolTable(std::uint32_t index_limit = kSymbolIndexLimit);
  SymbolTable(const SymbolTable&) = delete;
  SymbolTable& operator=(const SymbolTable&) = delete;

  // The process-wide table, created on first use (also under concurrent first use)
  // and never destroyed.
  static SymbolTable& global();

  // The symbol value of `text`, appending a copy on first sight. Faults with
  // "Can't represent index {v} in a Symbol" when the shard is full.
  std::uint32_t intern(std::string_view text);
  // The text of a value returned by `intern`; stays valid as long as the table.
  std::string_view text(std::uint32_t value);

  // How many slots a lookup of `text` probes in its shard's set (the empty
  // slot that ends a miss included). For tests that count probes.
  std::size_t probe_count(std::string_view text);
  // Number of texts stored in the shard.
  std::size_t shard_size(std::uint32_t shard);
  // Marks a shard's lock poisoned, as a fault while holding it would.
  void poison_shard_for_testing(std::uint32_t shard);

 private:
  struct ShardData {
    std::vector<std::string_view> strings;  // views into `bytes`
    IdTable set;                            // positions in `strings`
    ByteArena bytes;                        // never moves or frees
  };
  struct alignas(64) Shard {
    PoisonGuarded<ShardData> data;
  };

  std::uint32_t index_limit_;
  std::array<Shard, kSymbolShardCount> shards_;
};

// An interned text. Equality, hashing and order use the 32-bit value, so the
// order is interning order within a shard, not alphabetical.
class GlobalSymbol {
 public:
  // The null symbol: a placeholder for fixed-size storage only; it names no text.
  constexpr GlobalSymbol() = default;
  // Interns `text` in the process-wide table.
  explicit GlobalSymbol(std::string_view text) : value_(SymbolTable::global().intern(text)) {}
  static GlobalSymbol intern(std::string_view text) { return GlobalSymbol(text); }
  // Rebuilds a symbol from `value()`; the value must come from a real symbol.
  static constexpr GlobalSymbol from_value(std::uint32_t value) {
    GlobalSymbol s;
    s.value_ = value;
    return s;
  }

  // The interned text, valid for the life of the process.
  std::string_view as_str() const;
  constexpr std::uint32_t value() const { return value_; }
  constexpr bool is_null() const { return value_ == 0; }

  friend constexpr bool operator==(GlobalSymbol a, GlobalSymbol b) = default;
  friend constexpr auto operator<=>(GlobalSymbol a, GlobalSymbol b) = default;

 private:
  std::uint32_t value_ = 0;
};

// Writes the text unchanged.
std::ostream& operator<<(std::ostream& out, GlobalSymbol symbol);

}  // namespace tessary::eqsat

template <>
struct std::hash<tessary::eqsat::GlobalSymbol> {
  std::size_t operator()(tessary::eqsat::GlobalSymbol s) const noexcept { return s.value(); }
};
