#include "ir/record_walk.h"

#include <gtest/gtest.h>

#include <bit>
#include <memory>
#include <string>
#include <vector>

#include "ir/packed_key.h"
#include "record_of.h"

namespace tessary {
namespace {

// Rebuilds a key from nothing but the walk's calls, and checks they come in
// the documented order.
struct Rebuild : RecordVisitor {
  explicit Rebuild(const StringPool& p) : pool(p) {}

  void kind(NodeKind k) {
    EXPECT_EQ(step, 0);
    step = 1;
    node_kind = k;
  }
  void name(std::uint32_t index) {
    EXPECT_EQ(step, 1);
    node_name = pool.get(index);
  }
  void descriptor(const std::uint32_t* fields, bool has_ref, std::uint32_t ref) {
    EXPECT_EQ(step, 1);
    for_each_required_field([&](std::size_t i, std::string& f) { f = pool.get(fields[i]); },
                            payload);
    if (has_ref) payload.preprocessing_ref = std::string(pool.get(ref));
  }
  void params_begin(std::uint64_t n) {
    EXPECT_EQ(step, 1);
    step = 2;
    expected_params = n;
  }
  void param(std::uint32_t key, ParamTag tag, std::uint64_t bits) {
    EXPECT_EQ(step, 2);
    std::string k(pool.get(key));
    switch (tag) {
      case ParamTag::kInt:
        entries.push_back({k, ParamValue::integer(static_cast<std::int64_t>(bits))});
        break;
      case ParamTag::kFloat:
        entries.push_back({k, ParamValue::floating(std::bit_cast<double>(bits))});
        float_bits.push_back(bits);
        break;
      case ParamTag::kBool:
        entries.push_back({k, ParamValue::boolean(bits != 0)});
        break;
      case ParamTag::kStr:
        entries.push_back(
            {k, ParamValue::string(std::string(pool.get(static_cast<std::uint32_t>(bits))))});
        break;
    }
  }
  void fields_end(const std::uint8_t*) {
    EXPECT_EQ(step, 2);
    EXPECT_EQ(entries.size(), expected_params);
    step = 3;
  }
  void inputs_begin(std::uint64_t n) {
    EXPECT_EQ(step, 3);
    step = 4;
    expected_inputs = n;
  }
  void input(NodeId id) {
    EXPECT_EQ(step, 4);
    inputs.push_back(id);
  }

  NodeKey key() const {
    ParamMap params(entries);
    switch (node_kind) {
      case NodeKind::kSource:
        return Source{node_name, params};
      case NodeKind::kOp:
        return Op{node_name, params, inputs};
      case NodeKind::kReduction:
        return Reduction{node_name, params, inputs};
      case NodeKind::kExternal:
        return External{payload, params, inputs};
      default:
        return Exchange{params, inputs};
    }
  }

  const StringPool& pool;
  int step = 0;
  NodeKind node_kind = NodeKind::kStage;
  std::string node_name;
  PayloadDescriptor payload;
  std::uint64_t expected_params = 0;
  std::vector<ParamEntry> entries;
  std::vector<std::uint64_t> float_bits;
  std::uint64_t expected_inputs = 0;
  NodeIds inputs;
};

TEST(RecordWalk, EveryPlainKindRebuildsFromItsVisits) {
  const PayloadDescriptor with_ref{"model", "h", "torch", "2", "s", std::string("prep")};
  const PayloadDescriptor without_ref{"model", "h2", "jax", "0.4", "s", std::nullopt};
  const std::vector<NodeKey> keys = {
      Source{"rows", ParamMap({{"n", ParamValue::integer(-300)},
                               {"b", ParamValue::boolean(true)},
                               {"big", ParamValue::integer(INT64_MIN)}})},
      Op{"add",
         ParamMap({{"scalar", ParamValue::floating(-0.0)}, {"side", ParamValue::string("r")}}),
         {0, 1, 200000}},
      Reduction{"sum", ParamMap({{"axis", ParamValue::integer(0)}}), {2}},
      External{with_ref, {}, {3}},
      External{without_ref, ParamMap({{"k", ParamValue::string("a|b")}}), {3, 3}},
      Exchange{{}, {}},
  };
  StringPool pool(SipKey::random());
  for (const NodeKey& key : keys) {
    const auto record = record_of(key, pool);
    Rebuild rebuild(pool);
    ASSERT_TRUE(walk_record(record_layout(record.get()), pool.size(), rebuild)) << key.token();
    EXPECT_EQ(rebuild.key(), key) << key.token();
    // A source has no input list at all; the others announce theirs.
    EXPECT_EQ(rebuild.step, key.kind() == NodeKind::kSource ? 3 : 4) << key.token();
    EXPECT_EQ(rebuild.expected_inputs, rebuild.inputs.size()) << key.token();
  }
}

TEST(RecordWalk, NanPayloadsComeBackInOrder) {
  const std::uint64_t first = 0x7ff0000000000123ULL;
  const std::uint64_t second = 0xfff8000000000007ULL;
  const NodeKey key = Op{"f",
                         ParamMap({{"a", ParamValue::floating(std::bit_cast<double>(first))},
                                   {"b", ParamValue::floating(1.5)},
                                   {"c", ParamValue::floating(std::bit_cast<double>(second))}}),
                         {}};
  StringPool pool(SipKey::random());
  const auto record = record_of(key, pool);
  Rebuild rebuild(pool);
  ASSERT_TRUE(walk_record(record_layout(record.get()), pool.size(), rebuild));
  EXPECT_EQ(rebuild.float_bits,
            (std::vector<std::uint64_t>{first, std::bit_cast<std::uint64_t>(1.5), second}));
}

TEST(RecordWalk, StageVisitsNothing) {
  StringPool pool(SipKey::random());
  const auto record = record_of(Stage{{0}, {StageOp{"op|neg", {StageRef::input(0)}}}}, pool);
  Rebuild rebuild(pool);
  EXPECT_FALSE(walk_record(record_layout(record.get()), pool.size(), rebuild));
  EXPECT_EQ(rebuild.step, 0);
}

TEST(RecordWalk, StringIndexBeyondTheCountFaults) {
  StringPool pool(SipKey::random());
  const auto record = record_of(Op{"a", ParamMap({{"k", ParamValue::string("v")}}), {}}, pool);
  RecordVisitor ignore;
  EXPECT_TRUE(walk_record(record_layout(record.get()), pool.size(), ignore));
  EXPECT_THROW((void)walk_record(record_layout(record.get()), pool.size() - 1, ignore),
               InternalFault);
}

}  // namespace
}  // namespace tessary
