#include "optimizer/incremental.h"

#include <gtest/gtest.h>

#include <limits>
#include <span>

#include "optimizer/pipeline.h"
#include "optimizer/report.h"
#include "optimizer/rules.h"
#include "support/counting_poll.h"
#include "support/failing_alloc.h"
#include "test_graphs.h"

namespace tessary {
namespace {

using testing::CountingPoll;
using testing::op;
using testing::scalar_side;
using testing::src;

std::uint64_t step_ok(IncrementalReducer& r, const std::vector<NodeKey>& delta) {
  auto n = r.step(delta);
  EXPECT_TRUE(n.ok());
  return n.ok() ? n.value() : 0;
}

std::vector<NodeKey> build_history() {
  return {src("x"),
          src("y"),
          op("add", {0, 1}),
          op("add", {1, 0}),                      // commutative duplicate of 2
          op("mul", {2, 3}),                      // mul(add, add)
          op("add", {4}, scalar_side(0.0, "r")),  // identity: stands for 4
          op("mul", {5}, scalar_side(1.0, "l")),  // identity chain: also 4
          op("exp", {6}),
          op("exp", {4}),  // equal to 7 after renumbering
          op("sub", {0, 1}),
          op("sub", {1, 0})};
}

TEST(IncrementalReducer, FoldsIdentitiesCommutativeDuplicatesAndRepeats) {
  IncrementalReducer r;
  EXPECT_EQ(step_ok(r, build_history()), 11u);
  EXPECT_EQ(r.remap(), (std::vector<std::uint64_t>{0, 1, 2, 2, 3, 3, 3, 4, 4, 5, 6}));
  const std::vector<NodeKey> want = {src("x"),          src("y"),       op("add", {0, 1}),
                                     op("mul", {2, 2}), op("exp", {3}), op("sub", {0, 1}),
                                     op("sub", {1, 0})};
  EXPECT_EQ(r.nodes(), want);
  EXPECT_EQ(r.canonical_count(), 7u);
  EXPECT_EQ(r.watermark(), 11u);
  EXPECT_EQ(r.total_work(), 11u);
}

TEST(IncrementalReducer, StepSizesDoNotMatter) {
  const std::vector<NodeKey> history = build_history();
  IncrementalReducer once;
  step_ok(once, history);
  IncrementalReducer each;
  for (const NodeKey& key : history) EXPECT_EQ(step_ok(each, {key}), 1u);
  EXPECT_EQ(each.remap(), once.remap());
  EXPECT_EQ(each.nodes(), once.nodes());
  EXPECT_EQ(each.total_work(), history.size());
  EXPECT_EQ(step_ok(each, {}), 0u);
  EXPECT_EQ(each.watermark(), history.size());
  EXPECT_EQ(each.total_work(), history.size());
  EXPECT_EQ(each.canonical_count(), once.canonical_count());
}

TEST(IncrementalReducer, ParameterisedAddIsNotCommutative) {
  const ParamMap p({{"alpha", ParamValue::integer(2)}});
  IncrementalReducer r;
  step_ok(r, {src("x"), src("y"), op("add", {0, 1}, p), op("add", {1, 0}, p)});
  EXPECT_EQ(r.canonical_count(), 4u);
}

// An identity token stands for its operand only with exactly one operand.
TEST(IncrementalReducer, IdentityTokenNeedsExactlyOneInput) {
  IncrementalReducer r;
  step_ok(r,
          {src("x"), src("y"), op("add", {0, 1}, scalar_side(0.0, "r")),  // two operands: ordinary
           op("mul", {}, scalar_side(1.0, "l")),                          // no operand: ordinary
           op("mul", {}, scalar_side(1.0, "l")),                          // and hash-consed
           op("add", {1}, scalar_side(0.0, "l"))});                       // one operand: y
  EXPECT_EQ(r.remap(), (std::vector<std::uint64_t>{0, 1, 2, 3, 3, 1}));
  EXPECT_EQ(r.nodes()[2], op("add", {0, 1}, scalar_side(0.0, "r")));
  EXPECT_EQ(r.nodes()[3], op("mul", {}, scalar_side(1.0, "l")));
}

TEST(IncrementalReducer, BadInputKeepsEarlierKeysButNotTheWork) {
  IncrementalReducer r;
  step_ok(r, {src("x")});
  auto failed = r.step(std::vector<NodeKey>{op("neg", {0}), op("exp", {5}), op("log", {0})});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), BadNodeId{5});
  EXPECT_EQ(r.watermark(), 2u);
  EXPECT_EQ(r.canonical_count(), 2u);
  EXPECT_EQ(r.total_work(), 1u);
}

// A step that fails by a refused allocation, or that is stopped, keeps every
// key it consumed whole: stepping on from the watermark ends where a reducer
// that never failed ends.
TEST(IncrementalReducer, FailedOrStoppedStepsConsumeWholeKeys) {
  std::vector<NodeKey> history = build_history();
  for (NodeId i = 0; history.size() < 3 * Cancel::kStride; ++i) {
    history.push_back(op(i % 3 == 0 ? "add" : "exp", {history.size() - 1, i % 11}));
  }
  IncrementalReducer expected;
  step_ok(expected, history);

  IncrementalReducer failing;
  std::size_t refusals = 0;
  for (std::size_t i = 0; i < build_history().size(); ++i) {
    const std::vector<NodeKey> one = {history[i]};
    refusals += testing::for_each_failure_point(
        [&] { (void)failing.step(one); },
        [&](bool) { EXPECT_TRUE(failing.watermark() == i || failing.watermark() == i + 1); });
    ASSERT_EQ(failing.watermark(), i + 1);
  }
  EXPECT_GT(refusals, 0u);

  CountingPoll second{.stop_at = 2};
  Cancel stopping(&CountingPoll::poll, &second);
  const std::span<const NodeKey> rest(history.begin() + failing.watermark(), history.end());
  EXPECT_THROW((void)failing.step(rest, stopping), Cancelled);
  EXPECT_LT(failing.watermark(), history.size());
  step_ok(failing, {history.begin() + failing.watermark(), history.end()});
  EXPECT_EQ(failing.remap(), expected.remap());
  EXPECT_EQ(failing.nodes(), expected.nodes());
}

// The reducer tells identity ops by their fields; that must agree with
// their tokens, which the engine's rules match.
TEST(IncrementalReducer, IdentityOpsAreThoseWithIdentityTokens) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<Op> ops;
  for (const char* name : {"add", "mul", "sub"}) {
    for (const double value : {0.0, -0.0, 1.0, 2.0, nan}) {
      for (const char* side : {"l", "r", "x"}) {
        ops.push_back(*op(name, {0}, scalar_side(value, side)).get_if<Op>());
      }
    }
  }
  ops.push_back(
      Op{"add",
         ParamMap({{"scalar", ParamValue::integer(0)}, {"side", ParamValue::string("r")}}),
         {0}});
  ops.push_back(Op{"mul", ParamMap({{"scalar", ParamValue::floating(1.0)}}), {0}});
  std::size_t identities = 0;
  for (const Op& o : ops) {
    const bool by_token = is_identity_token(NodeKey(o).token());
    EXPECT_EQ(is_identity_op(o), by_token) << NodeKey(o).token();
    identities += by_token ? 1 : 0;
  }
  EXPECT_EQ(identities, kIdentityTokens.size());
}

TEST(IncrementalReducer, FinalizeChecksOutputsAndChangesNothing) {
  const SaturationEngine engine = SaturationEngine::default_engine();
  IncrementalReducer r;
  step_ok(r, {src("a"), src("b"), src("c"), src("d"), op("neg", {0})});
  auto bad = r.finalize(std::vector<std::uint64_t>{5}, engine, false);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), BadNodeId{5});
  auto bad_store = r.finalize_to_store(std::vector<std::uint64_t>{4, 6, 5}, engine, false);
  ASSERT_FALSE(bad_store.ok());
  EXPECT_EQ(bad_store.error(), BadNodeId{6});

  auto first = r.finalize(std::vector<std::uint64_t>{4, 1}, engine, false);
  auto second = r.finalize(std::vector<std::uint64_t>{4, 1}, engine, false);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first.value().nodes, second.value().nodes);
  EXPECT_EQ(first.value().outputs, second.value().outputs);
  EXPECT_EQ(first.value().counters, second.value().counters);
  EXPECT_EQ(first.value().counters, (ReductionCounters{5, 3, 3, 1, 3, 2}));
  EXPECT_EQ(r.watermark(), 5u);
  // Stepping may continue after a finalize.
  EXPECT_EQ(step_ok(r, {op("exp", {4})}), 1u);
  EXPECT_EQ(r.canonical_count(), 6u);
}

TEST(IncrementalReducer, FinalizeMatchesAPlainReduction) {
  const std::vector<NodeKey> history = build_history();
  const GraphStore store = testing::make_store(history);
  const SaturationEngine engine = SaturationEngine::default_engine();
  IncrementalReducer r;
  step_ok(r, store.snapshot_from(r.watermark()));
  const std::vector<std::uint64_t> outputs = {7, 8, 10, 9};
  auto inc = r.finalize(outputs, engine, true);
  ASSERT_TRUE(inc.ok());
  auto plain = reduce_with_outputs(store, outputs, engine, true);
  ASSERT_TRUE(plain.ok());
  EXPECT_EQ(inc.value().nodes, plain.value().store.snapshot().nodes);
  EXPECT_EQ(inc.value().counters.input_nodes, 7u);  // counted from the canonical form
  EXPECT_EQ(plain.value().counters.input_nodes, 11u);
}

}  // namespace
}  // namespace tessary
