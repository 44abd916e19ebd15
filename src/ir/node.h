// NodeKey: the complete structural identity of one IR node (kind, name,
// parameters, ordered inputs, descriptor or stage members). The store interns
// keys; the same type is the node record in snapshots, the optimizer and blobs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/boxed.h"
#include "base/small_vec.h"
#include "ir/param.h"
#include "ir/payload_descriptor.h"

namespace tessary {

using NodeId = std::uint64_t;
using NodeIds = SmallVec<NodeId, 2>;

enum class NodeKind : std::uint8_t {
  kSource = 0,
  kOp = 1,
  kReduction = 2,
  kExternal = 3,
  kStage = 4,
  kExchange = 5,
};

// Whether keys of `kind` carry a name (Source, Op and Reduction do).
constexpr bool has_name(NodeKind kind) {
  return kind == NodeKind::kSource || kind == NodeKind::kOp || kind == NodeKind::kReduction;
}

// An operand of a stage member: an entry of the stage's inputs, or an earlier
// member of the same stage.
struct StageRef {
  enum class Tag : std::uint8_t { kInput = 0, kMember = 1 };
  Tag tag;
  std::uint64_t index;

  static StageRef input(std::uint64_t i) { return {Tag::kInput, i}; }
  static StageRef member(std::uint64_t i) { return {Tag::kMember, i}; }
  friend bool operator==(const StageRef& a, const StageRef& b) = default;
};

// A member's operand refs; members have one or two operands nearly always.
using StageRefs = SmallVec<StageRef, 2>;

// One fused member of a stage: its node token and one ref per operand.
struct StageOp {
  std::string op;
  StageRefs refs;
  friend bool operator==(const StageOp& a, const StageOp& b) = default;
};

struct Source {
  std::string name;
  ParamMap params;
  friend bool operator==(const Source& a, const Source& b) = default;
};

struct Op {
  std::string name;
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const Op& a, const Op& b) = default;
};

struct Reduction {
  std::string name;
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const Reduction& a, const Reduction& b) = default;
};

// The descriptor is boxed: it is several strings long, and keeping it out of
// line keeps every NodeKey (and every node list) small.
struct External {
  Boxed<PayloadDescriptor> descriptor;
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const External& a, const External& b) = default;
};

struct Stage {
  NodeIds inputs;
  std::vector<StageOp> members;
  friend bool operator==(const Stage& a, const Stage& b) = default;
};

// A boundary identified by its scheme parameters and its inputs; no name.
struct Exchange {
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const Exchange& a, const Exchange& b) = default;
};

class NodeKey {
 public:
  // Alternative order fixes the kind tags (Source 0 ... Exchange 5).
  using Variant = std::variant<Source, Op, Reduction, External, Stage, Exchange>;

  NodeKey(Source v) : v_(std::move(v)) {}     // NOLINT: implicit by design
  NodeKey(Op v) : v_(std::move(v)) {}         // NOLINT
  NodeKey(Reduction v) : v_(std::move(v)) {}  // NOLINT
  NodeKey(External v) : v_(std::move(v)) {}   // NOLINT
  NodeKey(Stage v) : v_(std::move(v)) {}      // NOLINT
  NodeKey(Exchange v) : v_(std::move(v)) {}   // NOLINT

  NodeKind kind() const { return static_cast<NodeKind>(v_.index()); }
  const Variant& variant() const { return v_; }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&v_);
  }

  // The input ids in order; empty for a Source.
  std::span<const NodeId> inputs() const;
  // The parameter map; nullptr for a Stage.
  const ParamMap* params() const;

  // One-line canonical text without the inputs, e.g. "op|add|scalar=f0000000000000000;side=sr".
  std::string token() const;
  // Appends token() to `out`.
  void append_token(std::string& out) const;
  // A copy with the input sequence replaced; a Source ignores `inputs`.
  NodeKey with_inputs(NodeIds inputs) const&;
  // The same, taking this key's fields instead of copying them.
  NodeKey with_inputs(NodeIds inputs) &&;

  friend bool operator==(const NodeKey& a, const NodeKey& b) = default;

 private:
  Variant v_;
};

// Appends the token of the op named `name` with the parameters `params`, in
// map order: the token of the equal Op key.
void append_op_token(std::string& out, std::string_view name,
                     std::span<const ParamEntryView> params);

struct ParsedOpToken {
  std::string kind;  // "op" or "red"
  std::string name;
  ParamMap params;
};

// Reads an "op|…" or "red|…" token back; nullopt for anything else.
std::optional<ParsedOpToken> parse_op_token(std::string_view text);

}  // namespace tessary
