#include "ir/string_pool.h"

#include <cstring>

#include "base/fault.h"

namespace tessary {

std::size_t StringPool::recent_slot(std::string_view text) { return edge_slot(text, kRecentSlots); }

std::optional<std::uint32_t> StringPool::find(std::string_view text) const {
  std::uint32_t& slot = recent_[recent_slot(text)];
  if (slot != 0 && strings_[slot - 1] == text) return slot - 1;
  const auto found =
      index_.find(siphash13(key_, text), [&](std::uint32_t id) { return strings_[id] == text; });
  if (found) slot = *found + 1;
  return found;
}

std::uint32_t StringPool::intern(std::string_view text) {
  std::uint32_t& slot = recent_[recent_slot(text)];
  if (slot != 0 && strings_[slot - 1] == text) return slot - 1;
  const std::uint64_t hash = siphash13(key_, text);
  if (auto found = index_.find(hash, [&](std::uint32_t id) { return strings_[id] == text; })) {
    slot = *found + 1;
    return *found;
  }
  if (strings_.size() >= UINT32_MAX - 1) fault("string pool is full");
  const auto id = static_cast<std::uint32_t>(strings_.size());
  std::uint8_t* dst = text.empty() ? nullptr : bytes_.allocate(text.size());
  if (dst != nullptr) std::memcpy(dst, text.data(), text.size());
  strings_.emplace_back(reinterpret_cast<const char*>(dst), text.size());
  index_.insert(hash, id);
  slot = id + 1;
  return id;
}

}  // namespace tessary
