// Helpers shared by the optimizer tests: short key builders, a pass-through
// rewrite engine, and a semantic evaluator that gives every node a value
// equal modulo the commute and identity rules, to check reductions by
// equivalence.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ir/node.h"
#include "ir/store.h"
#include "optimizer/engine.h"
#include "optimizer/rules.h"
#include "optimizer/symbol_cache.h"

namespace tessary::testing {

inline NodeKey src(std::string name) { return Source{std::move(name), {}}; }
inline NodeKey op(std::string name, NodeIds inputs, ParamMap params = {}) {
  return Op{std::move(name), std::move(params), std::move(inputs)};
}
inline ParamMap scalar_side(double scalar, std::string side) {
  return ParamMap({{"scalar", ParamValue::floating(scalar)}, {"side", ParamValue::string(side)}});
}
inline StageOp member(std::string token, StageRefs refs) {
  return StageOp{std::move(token), std::move(refs)};
}
inline StageRef in(std::uint64_t k) { return StageRef::input(k); }
inline StageRef mem(std::uint64_t p) { return StageRef::member(p); }

// Engine nodes: an op with its token as symbol, and a boundary node with
// prototype number `k` and that number's symbol.
inline EngineNode op_node(std::string_view token, EngineOperands children) {
  return EngineNode{eqsat::GlobalSymbol(token), kNoPrototype, std::move(children), false};
}
inline EngineNode boundary_node(std::uint32_t k, EngineOperands children = {}) {
  return EngineNode{SymbolCache::for_this_thread().boundary_symbol(k), k, std::move(children),
                    true};
}

// Interns `keys` in order into a new store and checks each gets its position.
inline GraphStore make_store(const std::vector<NodeKey>& keys, const NodeIds& marks = {}) {
  GraphStore store;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    auto id = store.intern(keys[i]);
    EXPECT_TRUE(id.ok() && id.value() == i) << "key " << i << " did not get its own id";
  }
  for (const NodeId m : marks) EXPECT_TRUE(store.mark_output(m).ok());
  return store;
}

// An engine that proves nothing equal: the pipeline then runs DCE, CSE and
// fusion only.
class PassThroughEngine final : public RewriteEngine {
 public:
  EngineGraph canonicalize(const EngineGraph& graph) const override { return graph; }
};

// Value of an op token applied to operand values: identity ops with one
// operand are their operand, parameterless two-operand commutative ops
// ignore operand order, everything else is the token over the ordered values.
inline std::uint64_t apply_value(const std::string& token, std::vector<std::uint64_t> operands) {
  if (operands.size() == 1 && is_identity_token(token)) return operands[0];
  if (operands.size() == 2 && token.starts_with("op|") &&
      is_commutative_op(std::string_view(token).substr(3)) && operands[1] < operands[0]) {
    std::swap(operands[0], operands[1]);
  }
  std::string text = token;
  text.push_back('(');
  for (const std::uint64_t v : operands) text += std::to_string(v) + ",";
  return std::hash<std::string>{}(text);
}

// The identity of a boundary key without its inputs, unambiguous for every kind.
inline std::string describe_boundary(const NodeKey& key) {
  if (const External* e = key.get_if<External>()) {
    std::string out = "ext";
    const PayloadDescriptor& d = *e->descriptor;
    for (const std::string* f :
         {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
      out += std::to_string(f->size()) + ":" + *f;
    }
    out += d.preprocessing_ref ? "1:" + *d.preprocessing_ref : "0";
    return out + "|" + e->params.token();
  }
  return key.token();
}

// Semantic values of every node of a key list. A stage's value is that of its
// last member, evaluated from its members, so a fused stage and the ops it
// replaced have equal values.
inline std::vector<std::uint64_t> semantic_values(const std::vector<NodeKey>& keys) {
  std::vector<std::uint64_t> values;
  for (const NodeKey& key : keys) {
    std::vector<std::uint64_t> inputs;
    for (const NodeId i : key.inputs()) inputs.push_back(values.at(i));
    if (key.kind() == NodeKind::kOp) {
      values.push_back(apply_value(key.token(), inputs));
    } else if (const Stage* stage = key.get_if<Stage>()) {
      std::vector<std::uint64_t> member_values;
      for (const StageOp& m : stage->members) {
        std::vector<std::uint64_t> operands;
        for (const StageRef& r : m.refs) {
          operands.push_back(r.tag == StageRef::Tag::kInput ? inputs.at(r.index)
                                                            : member_values.at(r.index));
        }
        member_values.push_back(apply_value(m.op, operands));
      }
      values.push_back(member_values.empty() ? apply_value("stage", inputs) : member_values.back());
    } else {
      values.push_back(apply_value(describe_boundary(key), inputs));
    }
  }
  return values;
}

}  // namespace tessary::testing
