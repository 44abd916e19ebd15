// KeyView: a node key of one of the kinds the building API makes (Source, Op,
// Reduction, External, Exchange) whose strings, parameter entries and input
// ids are borrowed. The store packs it to exactly the bytes of the equal
// NodeKey, so a caller holding its fields elsewhere (the Python arguments of
// a building call) interns a node without building an owning key first.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "ir/node.h"
#include "ir/param.h"
#include "ir/payload_descriptor.h"

namespace tessary {

// A PayloadDescriptor whose fields are borrowed.
struct DescriptorView {
  std::string_view kind;
  std::string_view content_hash;
  std::string_view framework;
  std::string_view version;
  std::string_view io_schema;
  // Absent is distinct from the empty string.
  std::optional<std::string_view> preprocessing_ref;

  static DescriptorView of(const PayloadDescriptor& d);
};

// Everything a view refers to must outlive it. The factories put `params`
// in map order in place (see sort_by_key), so the entries a view reads are
// those of the ParamMap the same entries would make.
class KeyView {
 public:
  static KeyView source(std::string_view name, std::span<ParamEntryView> params) {
    return KeyView(NodeKind::kSource, name, nullptr, {}, params);
  }
  static KeyView op(std::string_view name, std::span<const NodeId> inputs,
                    std::span<ParamEntryView> params) {
    return KeyView(NodeKind::kOp, name, nullptr, inputs, params);
  }
  static KeyView reduction(std::string_view name, std::span<const NodeId> inputs,
                           std::span<ParamEntryView> params) {
    return KeyView(NodeKind::kReduction, name, nullptr, inputs, params);
  }
  static KeyView external(const DescriptorView& descriptor, std::span<const NodeId> inputs,
                          std::span<ParamEntryView> params) {
    return KeyView(NodeKind::kExternal, {}, &descriptor, inputs, params);
  }
  // The view keeps a pointer to the descriptor, which must outlive it.
  static KeyView external(DescriptorView&& descriptor, std::span<const NodeId> inputs,
                          std::span<ParamEntryView> params) = delete;
  static KeyView exchange(std::span<const NodeId> inputs, std::span<ParamEntryView> params) {
    return KeyView(NodeKind::kExchange, {}, nullptr, inputs, params);
  }
  // A key of any kind but Stage whose `params` are in map order already, as
  // a stored record holds them. `name` is read for a Source, Op or
  // Reduction, `descriptor` (which must outlive the view) for an External,
  // `inputs` for every kind but Source.
  static KeyView ordered(NodeKind kind, std::string_view name, const DescriptorView* descriptor,
                         std::span<const NodeId> inputs, std::span<const ParamEntryView> params);

  NodeKind kind() const { return kind_; }
  // The name of a Source, Op or Reduction; empty for the other kinds.
  std::string_view name() const { return name_; }
  // The descriptor of an External; nullptr for the other kinds.
  const DescriptorView* descriptor() const { return descriptor_; }
  // In map order.
  std::span<const ParamEntryView> params() const { return params_; }
  // Empty for a Source.
  std::span<const NodeId> inputs() const { return inputs_; }

 private:
  KeyView(NodeKind kind, std::string_view name, const DescriptorView* descriptor,
          std::span<const NodeId> inputs, std::span<ParamEntryView> params)
      : kind_(kind), name_(name), descriptor_(descriptor), inputs_(inputs), params_(params) {
    sort_by_key(params);
  }
  struct InMapOrder {};
  KeyView(InMapOrder, NodeKind kind, std::string_view name, const DescriptorView* descriptor,
          std::span<const NodeId> inputs, std::span<const ParamEntryView> params)
      : kind_(kind), name_(name), descriptor_(descriptor), inputs_(inputs), params_(params) {}

  NodeKind kind_;
  std::string_view name_;
  const DescriptorView* descriptor_;
  std::span<const NodeId> inputs_;
  std::span<const ParamEntryView> params_;
};

// A stored key of any kind with other inputs: packs to exactly the bytes of
// `key.with_inputs(inputs)`, without copying the key.
class KeyWithInputs {
 public:
  KeyWithInputs(const NodeKey& key, std::span<const NodeId> inputs) : key_(key), inputs_(inputs) {}

  const NodeKey& key() const { return key_; }
  std::span<const NodeId> inputs() const { return inputs_; }

 private:
  const NodeKey& key_;
  std::span<const NodeId> inputs_;
};

// A Stage whose inputs, member tokens and refs are borrowed; packs to exactly
// the bytes of the equal Stage.
struct StageMemberView {
  std::string_view op;
  std::span<const StageRef> refs;
};

class StageView {
 public:
  StageView(std::span<const NodeId> inputs, std::span<const StageMemberView> members)
      : inputs_(inputs), members_(members) {}

  std::span<const NodeId> inputs() const { return inputs_; }
  std::span<const StageMemberView> members() const { return members_; }

 private:
  std::span<const NodeId> inputs_;
  std::span<const StageMemberView> members_;
};

}  // namespace tessary
