#include "optimizer/prototype_list.h"

#include <limits>
#include <utility>

#include "base/fault.h"

namespace tessary {
namespace {

// Positions are kept in 32 bits; a list never comes near that.
std::uint32_t position(std::size_t size) {
  if (size >= std::numeric_limits<std::uint32_t>::max()) fault("prototype list is full");
  return static_cast<std::uint32_t>(size);
}

}  // namespace

void PrototypeList::push_back(NodeKey&& key) {
  Entry entry;
  entry.kind = key.kind();
  entry.owned = position(owned_.size());
  owned_.reserve(owned_.size() + 1);
  entries_.reserve(entries_.size() + 1);
  owned_.push_back(std::move(key));
  entries_.push_back(entry);
}

void PrototypeList::push_back(const NodeKey& key) { push_back(NodeKey(key)); }

void PrototypeList::push_back(const KeyView& key) {
  Entry entry;
  entry.kind = key.kind();
  entry.name = key.name();
  if (key.descriptor() != nullptr) {
    entry.descriptor = position(descriptors_.size());
    descriptors_.push_back(*key.descriptor());
  }
  entry.params_begin = position(params_.size());
  params_.insert(params_.end(), key.params().begin(), key.params().end());
  entry.params_end = position(params_.size());
  entries_.push_back(entry);
}

const NodeKey* PrototypeList::owned(std::uint32_t k) const {
  if (k >= entries_.size()) fault("boundary node has no prototype");
  const Entry& entry = entries_[k];
  return entry.owned == kNone ? nullptr : &owned_[entry.owned];
}

KeyView PrototypeList::borrowed(std::uint32_t k, std::span<const NodeId> inputs) const {
  if (k >= entries_.size() || entries_[k].owned != kNone) fault("prototype is not borrowed");
  const Entry& entry = entries_[k];
  const DescriptorView* descriptor =
      entry.descriptor == kNone ? nullptr : &descriptors_[entry.descriptor];
  const std::span<const ParamEntryView> params(params_.data() + entry.params_begin,
                                               entry.params_end - entry.params_begin);
  return KeyView::ordered(entry.kind, entry.name, descriptor, inputs, params);
}

PrototypeTable PrototypeList::take_owned() && {
  if (owned_.size() != entries_.size()) fault("prototype list holds borrowed keys");
  entries_.clear();
  return std::move(owned_);
}

}  // namespace tessary
