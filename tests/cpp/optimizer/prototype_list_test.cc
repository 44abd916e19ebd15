// Prototypes borrowed from a store visit must rebuild exactly the keys they
// came from, on any inputs, after the visit has ended; owned ones stay keys.
#include "optimizer/prototype_list.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "base/fault.h"
#include "ir/packed_key.h"
#include "ir/store.h"
#include "ir/string_pool.h"
#include "test_graphs.h"

namespace tessary {
namespace {

using testing::in;
using testing::member;
using testing::src;

ParamMap params(std::vector<ParamEntry> entries) { return ParamMap(std::move(entries)); }

std::vector<std::uint8_t> packed(const auto& key) {
  StringPool pool(SipKey{3, 4});
  PackedKey out;
  EXPECT_TRUE(pack_key(key, pool, /*insert=*/true, out));
  // Each side packs into a fresh pool of its own, so equal keys give equal
  // bytes.
  return std::vector<std::uint8_t>(out.eq.begin(), out.eq.end());
}

TEST(PrototypeList, BorrowedKeysFromAVisitRebuildTheirKeysOnNewInputs) {
  const double odd_nan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000123});
  PayloadDescriptor with_ref{"model", "sha256:ab", "torch", "2.3", "f32", std::string("prep")};
  PayloadDescriptor without_ref = with_ref;
  without_ref.preprocessing_ref.reset();
  const std::vector<NodeKey> keys = {
      Source{"rows", params({{"path", ParamValue::string("/data/a-long-path.parquet")},
                             {"limit", ParamValue::integer(-7)}})},
      src("users"),
      Reduction{"sum", params({{"axis", ParamValue::integer(1)}}), {0}},
      External{with_ref, params({{"k", ParamValue::floating(-0.0)}}), {0, 1}},
      External{without_ref, {}, {1}},
      Exchange{params({{"by", ParamValue::string("user_id")}, {"n", ParamValue::boolean(true)}}),
               {2}},
      // Keys a view cannot show: a stage and a NaN that keeps its payload.
      Stage{{0}, {member("op|neg", {in(0)})}},
      Reduction{"max", params({{"fill", ParamValue::floating(odd_nan)}}), {1}},
  };
  GraphStore store = testing::make_store(keys);
  const Snapshot snap = store.snapshot();

  PrototypeList list;
  std::vector<NodeId> ids;  // the node behind each prototype
  (void)store.visit_tokens([](NodeId, std::string_view, std::span<const NodeId>, std::uint64_t&) {},
                           [&](NodeId id, const KeyView& key) {
                             list.push_back(key);
                             ids.push_back(id);
                           },
                           [&](NodeId id, NodeKey&& key) {
                             list.push_back(std::move(key));
                             ids.push_back(id);
                           },
                           [](NodeId, NodeId, std::span<const NodeId>) {});
  ASSERT_EQ(list.size(), keys.size());
  ASSERT_EQ(ids.size(), keys.size());

  const NodeIds new_inputs = {5, 3};
  for (std::uint32_t k = 0; k < list.size(); ++k) {
    SCOPED_TRACE(k);
    const NodeKey& key = snap.nodes[ids[k]];
    const NodeKey moved = key.with_inputs(key.kind() == NodeKind::kSource ? NodeIds{} : new_inputs);
    if (const NodeKey* owned = list.owned(k)) {
      EXPECT_TRUE(key.kind() == NodeKind::kStage || ids[k] == 7);
      EXPECT_EQ(*owned, key);
      EXPECT_THROW((void)list.borrowed(k, new_inputs), InternalFault);
    } else {
      EXPECT_EQ(packed(list.borrowed(k, new_inputs)), packed(moved));
    }
  }
  // Two keys are owned, so the list is no table.
  EXPECT_THROW((void)std::move(list).take_owned(), InternalFault);
}

TEST(PrototypeList, AnAllOwnedListIsATableInOrder) {
  const std::vector<NodeKey> keys = {src("a"), Stage{{0}, {member("op|exp", {in(0)})}}, src("b")};
  PrototypeList list;
  for (const NodeKey& key : keys) list.push_back(key);
  EXPECT_NE(list.owned(1), nullptr);
  EXPECT_THROW((void)list.owned(3), InternalFault);
  EXPECT_EQ(std::move(list).take_owned(), keys);
}

}  // namespace
}  // namespace tessary
