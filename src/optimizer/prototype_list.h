// The prototypes of one engine graph, numbered in order of first sight: the
// keys that fusion rebuilds boundary nodes from. A prototype is owned (a
// NodeKey) or borrowed: a view of a key whose texts live elsewhere, such as
// a store's pooled strings, which stay in place while the store lives. A
// graph loaded from a store borrows nearly all of its prototypes, so loading
// copies no string and builds no key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "ir/key_view.h"
#include "ir/node.h"
#include "ir/param.h"

namespace tessary {

// The first kept key of every distinct boundary key (apart from inputs), in
// order of first sight, all owned; a boundary node names its own by position.
// Fusion rebuilds a boundary node as its prototype with new inputs (the
// prototype's own inputs are never read).
using PrototypeTable = std::vector<NodeKey>;

class PrototypeList {
 public:
  std::size_t size() const { return entries_.size(); }

  // Appends an owned prototype.
  void push_back(NodeKey&& key);
  void push_back(const NodeKey& key);
  // Appends a borrowed prototype: `key`'s texts must outlive the list; its
  // descriptor and parameter entries are copied (as views).
  void push_back(const KeyView& key);

  // Prototype `k`'s key when it is owned, else nullptr.
  const NodeKey* owned(std::uint32_t k) const;
  // Borrowed prototype `k` with `inputs` for its own.
  KeyView borrowed(std::uint32_t k, std::span<const NodeId> inputs) const;

  // The prototypes as a table, when every one is owned (faults otherwise);
  // the list is spent.
  PrototypeTable take_owned() &&;

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  struct Entry {
    NodeKind kind = NodeKind::kSource;
    std::uint32_t owned = kNone;       // position in owned_, if owned
    std::uint32_t descriptor = kNone;  // position in descriptors_, for an External
    std::uint32_t params_begin = 0;    // range in params_
    std::uint32_t params_end = 0;
    std::string_view name;
  };

  std::vector<Entry> entries_;
  std::vector<NodeKey> owned_;
  std::vector<DescriptorView> descriptors_;
  std::vector<ParamEntryView> params_;
};

}  // namespace tessary
