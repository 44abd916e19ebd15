#include "ir/node_records.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/cancel.h"
#include "blob/reader.h"
#include "blob/writer.h"
#include "intern_or_fail.h"
#include "ir/dot.h"
#include "ir/store.h"
#include "support/counting_poll.h"

namespace tessary {
namespace {

using testing::CountingPoll;

ParamValue value_of(const DecodedParam& p, const NodeRecords& records) {
  switch (p.tag) {
    case ParamTag::kInt:
      return ParamValue::integer(static_cast<std::int64_t>(p.bits));
    case ParamTag::kFloat:
      return ParamValue::floating(std::bit_cast<double>(p.bits));
    case ParamTag::kBool:
      return ParamValue::boolean(p.bits != 0);
    case ParamTag::kStr:
      break;
  }
  return ParamValue::string(std::string(records.string(static_cast<std::uint32_t>(p.bits))));
}

// The key a decoded record stands for, rebuilt from its parts.
NodeKey rebuild(const DecodedKey& d, const NodeRecords& records) {
  std::vector<ParamEntry> entries;
  for (const DecodedParam& p : d.params) {
    entries.push_back({std::string(records.string(p.key)), value_of(p, records)});
  }
  ParamMap params(std::move(entries));
  const std::string name(records.string(d.name));
  switch (d.kind) {
    case NodeKind::kSource:
      return Source{name, params};
    case NodeKind::kOp:
      return Op{name, params, d.inputs};
    case NodeKind::kReduction:
      return Reduction{name, params, d.inputs};
    case NodeKind::kExternal: {
      External e;
      e.descriptor->kind = records.string(d.descriptor[0]);
      e.descriptor->content_hash = records.string(d.descriptor[1]);
      e.descriptor->framework = records.string(d.descriptor[2]);
      e.descriptor->version = records.string(d.descriptor[3]);
      e.descriptor->io_schema = records.string(d.descriptor[4]);
      if (d.has_preprocessing_ref) {
        e.descriptor->preprocessing_ref = std::string(records.string(d.preprocessing_ref));
      }
      e.params = params;
      e.inputs = d.inputs;
      return e;
    }
    default:
      return Exchange{params, d.inputs};
  }
}

// Every kind, every parameter tag, a NaN with a payload, descriptors with and
// without their reference, and a stage (which only the whole key carries).
std::vector<NodeKey> mixed_keys() {
  const double odd_nan = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});
  External with_ref;
  *with_ref.descriptor = PayloadDescriptor{"model", "abc", "torch", "2.1", "{}", "prep"};
  with_ref.inputs = {0};
  External without_ref;
  *without_ref.descriptor = PayloadDescriptor{"model", "abd", "jax", "0.4", "[]", std::nullopt};
  without_ref.params = ParamMap({{"k", ParamValue::integer(-7)}});
  without_ref.inputs = {0, 1};
  return {
      Source{"rows", ParamMap({{"n", ParamValue::integer(std::numeric_limits<std::int64_t>::min())},
                               {"path", ParamValue::string("a\"b")}})},
      Op{"add",
         ParamMap({{"scalar", ParamValue::floating(-0.0)}, {"flag", ParamValue::boolean(true)}}),
         {0, 0}},
      Op{"mul", ParamMap({{"x", ParamValue::floating(odd_nan)}}), {1}},
      Reduction{"sum", ParamMap({{"axis", ParamValue::integer(1)}}), {2}},
      with_ref,
      without_ref,
      Stage{{1}, {StageOp{"op|neg", {StageRef::input(0)}}}},
      Exchange{ParamMap({{"scheme", ParamValue::string("hash")}}), {3, 6}},
  };
}

TEST(NodeRecords, DecodeGivesTheInternedKeyExactly) {
  GraphStore store;
  for (const NodeKey& key : mixed_keys()) add(store, key);
  ASSERT_TRUE(store.mark_output(3).ok());
  const NodeRecords records = store.records();
  ASSERT_EQ(records.size(), mixed_keys().size());
  EXPECT_EQ(records.outputs(), (NodeIds{3}));
  const std::vector<bool> flags = records.output_flags();
  for (std::size_t i = 0; i < flags.size(); ++i) EXPECT_EQ(flags[i], i == 3) << i;

  const Snapshot snap = store.snapshot();
  DecodedKey decoded;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const bool plain = records.decode(i, decoded);
    EXPECT_EQ(plain, snap.nodes[i].kind() != NodeKind::kStage) << i;
    EXPECT_EQ(records.key(i), snap.nodes[i]) << i;
    if (plain) {
      EXPECT_EQ(rebuild(decoded, records), snap.nodes[i]) << i;
    }
  }
  // The payload of the NaN survives decoding (NodeKey equality folds NaNs).
  ASSERT_TRUE(records.decode(2, decoded));
  EXPECT_EQ(decoded.params.at(0).bits, std::uint64_t{0x7ff8000000000123});
}

TEST(NodeRecords, LaterNodesDoNotShow) {
  GraphStore store;
  add(store, Source{"a", {}});
  const NodeRecords before = store.records();
  add(store, Source{"b", {}});
  ASSERT_TRUE(store.mark_output(1).ok());
  EXPECT_EQ(before.size(), 1u);
  EXPECT_TRUE(before.outputs().empty());
  EXPECT_EQ(before.key(0), NodeKey(Source{"a", {}}));
}

GraphStore many_sources(std::size_t n) {
  GraphStore store;
  for (std::size_t i = 0; i < n; ++i) add(store, Source{"s" + std::to_string(i), {}});
  return store;
}

TEST(BulkCancel, LongReadsPollAndStopWhenAsked) {
  const std::size_t n = 3 * Cancel::kStride;
  GraphStore store = many_sources(n);
  auto blob = serialize_with(store, NodeIds{1});
  ASSERT_TRUE(blob.ok());

  CountingPoll never;
  Cancel watching(&CountingPoll::poll, &never);
  auto read = deserialize(blob.value(), watching);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value().node_count(), n);
  EXPECT_EQ(never.calls, 3);
  const std::string dot = to_dot(store, watching);
  EXPECT_EQ(dot, to_dot(store));
  EXPECT_EQ(never.calls, 6);

  CountingPoll second{.stop_at = 2};
  Cancel stopping(&CountingPoll::poll, &second);
  EXPECT_THROW((void)deserialize(blob.value(), stopping), Cancelled);
  EXPECT_EQ(second.calls, 2);
  CountingPoll first{.stop_at = 1};
  Cancel stopping_dot(&CountingPoll::poll, &first);
  EXPECT_THROW((void)to_dot(store, stopping_dot), Cancelled);
  // The store read from is untouched and still usable.
  EXPECT_EQ(store.node_count(), n);
  EXPECT_EQ(serialize_with(store, NodeIds{1}).value(), blob.value());
}

}  // namespace
}  // namespace tessary
