// Engine symbols of node tokens, and their texts, through a per-thread cache.
// Graphs repeat a few op tokens on most nodes, and a front end reduces graphs
// over the same ops again and again, so each thread keeps a small
// direct-mapped cache of recent tokens with their symbols, checked by
// comparing the text, and of recent symbols with their texts. Hits spare the
// shared (locked) symbol table. Symbols and their texts live as long as the
// process, so an entry never goes stale.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/recent_cache.h"
#include "eqsat/symbol.h"
#include "optimizer/tuning.h"

namespace tessary {

class SymbolCache {
 public:
  // The symbol of `token`.
  eqsat::GlobalSymbol symbol_of(std::string_view token) {
    const std::size_t slot = recent_.slot_of(token);
    if (const eqsat::GlobalSymbol* cached = recent_.find(token, slot)) return *cached;
    const eqsat::GlobalSymbol symbol(token);
    const std::string_view text = symbol.as_str();
    remember_text(symbol, text);
    return recent_.put(text, slot, symbol);
  }

  // The text of `symbol`.
  std::string_view text_of(eqsat::GlobalSymbol symbol) {
    const TextSlot& slot = texts_[text_slot(symbol)];
    if (slot.value == symbol.value()) return slot.text;
    const std::string_view text = symbol.as_str();
    remember_text(symbol, text);
    return text;
  }

  // The symbol of boundary prototype `k`: "b|k", a text no op token has
  // (those begin with "op|"). Distinct boundary keys of one graph get
  // distinct numbers, so a graph's symbols are those of its op tokens plus
  // as many of these as its largest count of distinct boundary keys; the
  // keys' own texts, which come from user data, never enter the
  // process-wide table.
  eqsat::GlobalSymbol boundary_symbol(std::uint32_t k);
  // Whether `symbol` is that of boundary prototype `k`, as far as this
  // thread has made them (false for a number it has not made).
  bool is_boundary_symbol(eqsat::GlobalSymbol symbol, std::uint32_t k) const {
    return k < boundary_.size() && boundary_[k] == symbol;
  }

  // Out of line, so a caller's loop holds the cache's address in a register
  // rather than asking for the thread's copy on every use.
  [[gnu::noinline]] static SymbolCache& for_this_thread();

 private:
  static constexpr std::size_t kTextSlots = 256;  // text_slot keeps 8 bits
  struct TextSlot {
    std::uint32_t value = 0;  // no real symbol is 0
    std::string_view text;
  };

  // Symbol values hold a shard number in their high bits and a position in
  // the low ones: a multiplicative hash spreads both over the slots.
  static std::size_t text_slot(eqsat::GlobalSymbol symbol) {
    return (symbol.value() * 0x9E3779B1u) >> 24;
  }
  void remember_text(eqsat::GlobalSymbol symbol, std::string_view text) {
    texts_[text_slot(symbol)] = TextSlot{symbol.value(), text};
  }

  // Keyed by the symbol's own text, which lives as long as the process.
  RecentCache<eqsat::GlobalSymbol, std::string_view> recent_{OptimizerTuning::kSymbolCacheSlots,
                                                             OptimizerTuning::kSymbolCacheSlots};
  std::array<TextSlot, kTextSlots> texts_{};
  std::vector<eqsat::GlobalSymbol> boundary_;  // boundary_[k] is "b|k"
};

}  // namespace tessary
