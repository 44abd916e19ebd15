#include "eqsat/symbol.h"

#include <cstring>
#include <ostream>
#include <string>

#include "base/hash.h"
#include "base/reserve.h"

namespace tessary::eqsat {
namespace {

constexpr std::string_view kPoisonedShard = "called `Result::unwrap()` on an `Err` value";

std::uint32_t shard_of(std::uint64_t hash) {
  return static_cast<std::uint32_t>(hash) & (kSymbolShardCount - 1);
}

// The shard set indexes by the low hash bits, which within one shard all agree
// in their lowest four: hand it the bits above those.
std::uint64_t set_hash(std::uint64_t hash) { return hash >> kSymbolShardBits; }

}  // namespace

std::uint64_t symbol_text_hash(std::string_view text) {
  // Drawn once per process: texts that collide under it cannot be prepared
  // outside the process, so no crafted set of names piles into one shard's
  // probe run.
  static const SipKey kKey = SipKey::random();
  return siphash13(kKey, text);
}

SymbolTable::SymbolTable(std::uint32_t index_limit) : index_limit_(index_limit) {}

SymbolTable& SymbolTable::global() {
  // Leaked on purpose: symbol texts must outlive every static destructor.
  static SymbolTable* const table = new SymbolTable();
  return *table;
}

std::uint32_t SymbolTable::intern(std::string_view text) {
  const std::uint64_t hash = symbol_text_hash(text);
  const std::uint32_t shard_no = shard_of(hash);
  Shard& shard_of_text = shards_[shard_no];
  std::uint32_t position = 0;
  bool full = false;
  shard_of_text.data.with_whole(kPoisonedShard, [&](ShardData& shard) {
    const auto found = shard.set.find(
        set_hash(hash), [&](std::uint32_t pos) { return shard.strings[pos] == text; });
    if (found) {
      position = *found;
    } else {
      position = static_cast<std::uint32_t>(shard.strings.size());
      // Refuse before storing, so a full shard keeps no unusable text; the
      // fault comes after unlocking, so the refusal does not poison the shard.
      full = static_cast<std::uint64_t>(position) + 1 >= index_limit_;
      if (!full) {
        // Allocate first, then commit, so a failed allocation leaves the
        // shard whole: never a text the set misses, which a later intern
        // would store again under a second symbol.
        reserve_one_more(shard.strings);
        shard.set.reserve(shard.set.size() + 1);
        char* copy = nullptr;
        if (!text.empty()) {
          copy = reinterpret_cast<char*>(shard.bytes.allocate(text.size()));
          std::memcpy(copy, text.data(), text.size());
        }
        shard.strings.emplace_back(copy, text.size());
        shard.set.insert(set_hash(hash), position);
      }
    }
  });
  if (full) {
    fault("Can't represent index " + std::to_string(std::uint64_t{position} + 1) + " in a Symbol");
  }
  return (shard_no << kSymbolIndexBits) | (position + 1);
}

std::string_view SymbolTable::text(std::uint32_t value) {
  const std::uint32_t shard_no = value >> kSymbolIndexBits;
  const std::uint32_t index = value & kSymbolIndexMask;
  const Shard& shard_of_value = shards_[shard_no];
  return shard_of_value.data.with(kPoisonedShard, [&](const ShardData& shard) -> std::string_view {
    if (index == 0 || index > shard.strings.size()) {
      fault("no symbol with value " + std::to_string(value));
    }
    return shard.strings[index - 1];
  });
}

std::size_t SymbolTable::probe_count(std::string_view text) {
  const std::uint64_t hash = symbol_text_hash(text);
  const Shard& shard_of_text = shards_[shard_of(hash)];
  return shard_of_text.data.with(kPoisonedShard, [&](const ShardData& shard) {
    return shard.set.probe_count(set_hash(hash),
                                 [&](std::uint32_t pos) { return shard.strings[pos] == text; });
  });
}

std::size_t SymbolTable::shard_size(std::uint32_t shard) {
  const Shard& s = shards_.at(shard);
  return s.data.with(kPoisonedShard, [](const ShardData& d) { return d.strings.size(); });
}

void SymbolTable::poison_shard_for_testing(std::uint32_t shard) {
  shards_.at(shard).data.poison_for_testing();
}

std::string_view GlobalSymbol::as_str() const { return SymbolTable::global().text(value_); }

std::ostream& operator<<(std::ostream& out, GlobalSymbol symbol) { return out << symbol.as_str(); }

}  // namespace tessary::eqsat
