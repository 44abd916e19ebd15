// NodeRecords: where a store's nodes live, copied under the store's lock so
// that they can be read without it. Only the record pointers and the string
// views are copied: a store never moves or changes a record or a pooled
// string once written, so the bytes they point at stay valid while the store
// lives (and is not assigned to). Nodes interned after the copy do not show.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "ir/node.h"
#include "ir/packed_key.h"
#include "ir/record_walk.h"

namespace tessary {

class NodeRecords {
 public:
  NodeRecords(std::vector<const std::uint8_t*> records, std::vector<std::string_view> strings,
              NodeIds outputs)
      : records_(std::move(records)), strings_(std::move(strings)), outputs_(std::move(outputs)) {}

  std::size_t size() const { return records_.size(); }
  // The pool's strings by index.
  std::span<const std::string_view> strings() const { return strings_; }
  std::string_view string(std::uint32_t index) const { return strings_[index]; }
  // The store's marks.
  const NodeIds& outputs() const { return outputs_; }
  // One flag per node: whether it is marked.
  std::vector<bool> output_flags() const;

  // Node `id` (below size()) decoded into `out`; false for a stage node,
  // which only key() rebuilds.
  bool decode(NodeId id, DecodedKey& out) const {
    return decode_record(records_[id], strings_, out);
  }
  NodeKey key(NodeId id) const { return unpack_key(records_[id], strings_); }
  // Node `id` split into its kind, field bytes and inputs (see
  // read_record_parts); false for a stage, and for a node whose parameters
  // keep the raw bits of a NaN.
  bool parts(NodeId id, RecordParts& out) const { return read_record_parts(records_[id], out); }
  // Node `id` handed field by field to `visitor` (see walk_record); false,
  // with nothing visited, for a stage node.
  template <typename Visitor>
  bool walk(NodeId id, Visitor& visitor) const {
    return walk_record(record_layout(records_[id]), strings_.size(), visitor);
  }

 private:
  std::vector<const std::uint8_t*> records_;
  std::vector<std::string_view> strings_;
  NodeIds outputs_;
};

}  // namespace tessary
