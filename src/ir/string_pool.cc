#include "ir/string_pool.h"

#include <cstring>

#include "base/fault.h"
#include "base/reserve.h"

namespace tessary {

void StringPool::count_lookup() const {
  if (++lookups_ < 2 * recent_.slot_count()) return;
  recent_.resize(StoreTuning::kRecentStringSlots, StoreTuning::kRecentStringSlots);
}

std::optional<std::uint32_t> StringPool::find_uncached(std::string_view text,
                                                       std::size_t slot) const {
  const auto found =
      index_.find(siphash13(key_, text), [&](std::uint32_t id) { return strings_[id] == text; });
  if (found) recent_.put(strings_[*found], slot, *found);
  return found;
}

std::uint32_t StringPool::intern_uncached(std::string_view text, std::size_t slot) {
  const std::uint64_t hash = siphash13(key_, text);
  if (auto found = index_.find(hash, [&](std::uint32_t id) { return strings_[id] == text; })) {
    recent_.put(strings_[*found], slot, *found);
    return *found;
  }
  if (strings_.size() >= UINT32_MAX - 1) fault("string pool is full");
  const auto id = static_cast<std::uint32_t>(strings_.size());
  // Allocate first, then commit: a failed allocation leaves the pool as it
  // was (at most some unused arena bytes), never a string the index misses,
  // which a later intern would add a second time under another index.
  reserve_one_more(strings_);
  index_.reserve(index_.size() + 1);
  std::uint8_t* dst = text.empty() ? nullptr : bytes_.allocate(text.size());
  if (dst != nullptr) std::memcpy(dst, text.data(), text.size());
  strings_.emplace_back(reinterpret_cast<const char*>(dst), text.size());
  index_.insert(hash, id);
  recent_.put(strings_.back(), slot, id);
  return id;
}

}  // namespace tessary
