#include "ir/key_view.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>

#include "ir/packed_key.h"
#include "ir/store.h"

namespace tessary {
namespace {

// A node key written twice: owning, and as the parts a view is made from,
// with the parameter entries in the order they were given (not sorted).
struct Case {
  NodeKey key;
  std::vector<ParamEntry> given;
  NodeIds inputs;
  std::optional<PayloadDescriptor> descriptor;
};

std::vector<ParamEntryView> views_of(const std::vector<ParamEntry>& entries) {
  std::vector<ParamEntryView> out;
  for (const ParamEntry& e : entries) out.push_back({e.key, e.value.view()});
  return out;
}

// The view of `c`; `entries` and `descriptor` back it and must outlive it.
KeyView view_of(const Case& c, std::vector<ParamEntryView>& entries, DescriptorView& descriptor) {
  entries = views_of(c.given);
  switch (c.key.kind()) {
    case NodeKind::kSource:
      return KeyView::source(c.key.get_if<Source>()->name, entries);
    case NodeKind::kOp:
      return KeyView::op(c.key.get_if<Op>()->name, c.inputs, entries);
    case NodeKind::kReduction:
      return KeyView::reduction(c.key.get_if<Reduction>()->name, c.inputs, entries);
    case NodeKind::kExternal:
      descriptor = DescriptorView::of(*c.descriptor);
      return KeyView::external(descriptor, c.inputs, entries);
    case NodeKind::kExchange:
      return KeyView::exchange(c.inputs, entries);
    case NodeKind::kStage:
      break;
  }
  ADD_FAILURE() << "no view of a stage";
  return KeyView::exchange({}, {});
}

Case source(std::string name, std::vector<ParamEntry> given) {
  return {Source{name, ParamMap(given)}, given, {}, std::nullopt};
}
Case op(std::string name, NodeIds inputs, std::vector<ParamEntry> given) {
  return {Op{name, ParamMap(given), inputs}, given, inputs, std::nullopt};
}
Case reduction(std::string name, NodeIds inputs, std::vector<ParamEntry> given) {
  return {Reduction{name, ParamMap(given), inputs}, given, inputs, std::nullopt};
}
Case external(PayloadDescriptor d, NodeIds inputs, std::vector<ParamEntry> given) {
  return {External{d, ParamMap(given), inputs}, given, inputs, d};
}
Case exchange(NodeIds inputs, std::vector<ParamEntry> given) {
  return {Exchange{ParamMap(given), inputs}, given, inputs, std::nullopt};
}

ParamEntry entry(std::string key, ParamValue value) { return {std::move(key), std::move(value)}; }

const double kOddNan = std::bit_cast<double>(0x7ff0000000000123ULL);
const double kNegativeNan = std::bit_cast<double>(0xfff8000000000000ULL);

std::vector<Case> cases() {
  const PayloadDescriptor d{"model", "sha256:00", "torch", "2.3", "f32->f32", std::nullopt};
  PayloadDescriptor d_empty_ref = d;
  d_empty_ref.preprocessing_ref = "";
  PayloadDescriptor d_ref = d;
  d_ref.preprocessing_ref = "norm";
  std::vector<ParamEntry> many;  // past the insertion-sort limit, out of order, duplicate keys
  for (int i = 19; i >= 0; --i) {
    many.push_back(entry(std::string(2, static_cast<char>('a' + i % 7)), ParamValue::integer(i)));
  }
  NodeIds wide;
  for (NodeId i = 0; i < 12; ++i) wide.push_back(i % 3);
  return {
      source("rows", {entry("path", ParamValue::string("/d/0.parquet")),
                      entry("limit", ParamValue::integer(-5))}),
      source("", {}),
      op("add", {0, 0},
         {entry("side", ParamValue::string("r")), entry("scalar", ParamValue::floating(-0.0))}),
      op("add", {0, 0}, {entry("scalar", ParamValue::floating(0.0))}),
      reduction("add", {0, 0}, {entry("scalar", ParamValue::floating(0.0))}),
      reduction("sum", {1},
                {entry("keep", ParamValue::boolean(true)), entry("axis", ParamValue::integer(1))}),
      external(d, {0}, {}),
      external(d_empty_ref, {0}, {}),
      external(d_ref, {0, 1},
               {entry("z", ParamValue::floating(kOddNan)),
                entry("a", ParamValue::floating(std::numeric_limits<double>::quiet_NaN())),
                entry("m", ParamValue::floating(kNegativeNan))}),
      exchange({}, {entry("by", ParamValue::string("user_id")),
                    entry("by", ParamValue::string("region")),
                    entry("partitions", ParamValue::integer(64))}),
      exchange({1}, {}),
      op("wide", wide, many),
  };
}

TEST(KeyView, PacksToTheBytesOfTheEqualNodeKey) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.key.token());
    std::vector<ParamEntryView> entries;
    DescriptorView descriptor;
    const KeyView view = view_of(c, entries, descriptor);
    StringPool pool(SipKey{1, 2});
    PackedKey from_key;
    ASSERT_TRUE(pack_key(c.key, pool, /*insert=*/true, from_key));
    const std::size_t pooled = pool.size();
    PackedKey looked_up;
    PackedKey inserted;
    // The key pooled every string the view names, so the lookup pass succeeds.
    EXPECT_TRUE(pack_key(view, pool, /*insert=*/false, looked_up));
    EXPECT_TRUE(pack_key(view, pool, /*insert=*/true, inserted));
    EXPECT_EQ(pool.size(), pooled);
    EXPECT_EQ(looked_up.eq, from_key.eq);
    EXPECT_EQ(looked_up.nan_raw, from_key.nan_raw);
    EXPECT_EQ(inserted.eq, from_key.eq);
    EXPECT_EQ(inserted.nan_raw, from_key.nan_raw);
  }
}

TEST(KeyView, SharesIdsWithNodeKeysAndReadsBackAsThem) {
  GraphStore store;
  ASSERT_TRUE(store.intern(Source{"x", {}}).ok());
  ASSERT_TRUE(store.intern(Source{"y", {}}).ok());
  ASSERT_TRUE(store.intern(Source{"z", {}}).ok());
  const std::vector<Case> all = cases();
  std::vector<NodeId> ids;
  for (const Case& c : all) {
    std::vector<ParamEntryView> entries;
    DescriptorView descriptor;
    const auto id = store.intern(view_of(c, entries, descriptor));
    ASSERT_TRUE(id.ok()) << c.key.token();
    ids.push_back(id.value());
  }
  // Every case is a different node, and the owning keys find the same ones.
  EXPECT_EQ(store.node_count(), 3 + all.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto id = store.intern(all[i].key);
    ASSERT_TRUE(id.ok());
    EXPECT_EQ(id.value(), ids[i]) << all[i].key.token();
  }
  EXPECT_EQ(store.node_count(), 3 + all.size());
  // Interned through a view, a node reads back as its owning key, NaN bits included.
  const Snapshot snap = store.snapshot();
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(snap.nodes[ids[i]], all[i].key) << all[i].key.token();
  }
  const auto& nan_params = snap.nodes[ids[8]].params()->entries();  // the external with NaNs
  ASSERT_EQ(nan_params.size(), 3u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(nan_params[1].value.as_float()), 0xfff8000000000000ULL);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(nan_params[2].value.as_float()), 0x7ff0000000000123ULL);
}

TEST(KeyView, FirstBadInputLeavesTheStoreUnchanged) {
  GraphStore store;
  ASSERT_TRUE(store.intern(Source{"x", {}}).ok());
  const NodeId inputs[] = {0, 7, 5};
  const auto bad = store.intern(KeyView::op("f", inputs, {}));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 7u);
  const NodeId self[] = {1};
  EXPECT_EQ(store.intern(KeyView::exchange(self, {})).error().id, 1u);
  EXPECT_EQ(store.node_count(), 1u);
}

}  // namespace
}  // namespace tessary
