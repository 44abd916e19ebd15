#include "ir/dot.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <string>
#include <vector>

#include "intern_or_fail.h"

namespace tessary {
namespace {

// The node line of the only node of a store holding `key`.
std::string single_line(NodeKey key) {
  GraphStore store;
  add(store, std::move(key));
  const std::string dot = to_dot(store);
  const std::size_t start = dot.find('\n') + 1;
  return dot.substr(start, dot.rfind("}\n") - start);
}

TEST(Dot, SmallStore) {
  GraphStore store;
  const NodeId rows = add(store, Source{"rows", {}});
  const NodeId op =
      add(store, Op{"add", ParamMap({{"side", ParamValue::string("r")}}), {rows, rows}});
  ASSERT_TRUE(store.mark_output(op).ok());
  EXPECT_EQ(to_dot(store),
            "digraph tessary {\n"
            "  n0 [label=\"Source rows\"];\n"
            "  n1 [label=\"Op add {side=\\\"r\\\"}\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "  n0 -> n1;\n"
            "}\n");
}

TEST(Dot, EmptyStore) {
  GraphStore store;
  EXPECT_EQ(to_dot(store), "digraph tessary {\n}\n");
}

TEST(Dot, NodeLinesComeBeforeEdgesAndOnlyMarksAreDoubleCircles) {
  GraphStore store;
  const NodeId a = add(store, Source{"a", {}});
  const NodeId b = add(store, Op{"neg", {}, {a}});
  const NodeId c = add(store, Reduction{"sum", {}, {b, a}});
  ASSERT_TRUE(store.mark_output(c).ok());
  ASSERT_TRUE(store.mark_output(a).ok());
  ASSERT_TRUE(store.mark_output(c).ok());
  EXPECT_EQ(to_dot(store),
            "digraph tessary {\n"
            "  n0 [label=\"Source a\", shape=doublecircle];\n"
            "  n1 [label=\"Op neg\"];\n"
            "  n2 [label=\"Reduction sum\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "  n1 -> n2;\n"
            "  n0 -> n2;\n"
            "}\n");
}

TEST(Dot, LabelEscapesOnlyBackslashesAndQuotes) {
  EXPECT_EQ(single_line(Source{"say \"hi\"\nend\\", {}}),
            "  n0 [label=\"Source say \\\"hi\\\"\nend\\\\\"];\n");
  // A quote inside a string parameter is escaped by the display form, then again.
  EXPECT_EQ(single_line(Source{"s", ParamMap({{"q", ParamValue::string("a\"b")}})}),
            "  n0 [label=\"Source s {q=\\\"a\\\\\\\"b\\\"}\"];\n");
}

TEST(Dot, FloatDisplay) {
  const double nan = std::bit_cast<double>(std::uint64_t{0x7FF4000000000001});
  EXPECT_EQ(single_line(Op{"f",
                           ParamMap({{"a", ParamValue::floating(1.0)},
                                     {"b", ParamValue::floating(-0.0)},
                                     {"c", ParamValue::floating(nan)},
                                     {"d", ParamValue::floating(0.5)}}),
                           {}}),
            "  n0 [label=\"Op f {a=1, b=-0, c=NaN, d=0.5}\"];\n");
}

TEST(Dot, KindLabels) {
  EXPECT_EQ(single_line(Stage{{},
                              {StageOp{"op|a", {}}, StageOp{"op|b", {StageRef::member(0)}},
                               StageOp{"op|c", {StageRef::input(4)}}}}),
            "  n0 [label=\"Stage[3 members]\"];\n");
  EXPECT_EQ(single_line(Exchange{{}, {}}), "  n0 [label=\"Exchange\"];\n");
  EXPECT_EQ(single_line(Exchange{ParamMap({{"by", ParamValue::string("k")}}), {}}),
            "  n0 [label=\"Exchange {by=\\\"k\\\"}\"];\n");
  const PayloadDescriptor d{"model", "h1", "torch", "2.1", "schema", "prep"};
  EXPECT_EQ(single_line(External{d, {}, {}}), "  n0 [label=\"External model:h1 [torch 2.1]\"];\n");
  EXPECT_EQ(
      single_line(External{
          d, ParamMap({{"n", ParamValue::integer(-3)}, {"t", ParamValue::boolean(true)}}), {}}),
      "  n0 [label=\"External model:h1 [torch 2.1] {n=-3, t=true}\"];\n");
  EXPECT_EQ(single_line(Reduction{"mean", ParamMap({{"axis", ParamValue::integer(0)}}), {}}),
            "  n0 [label=\"Reduction mean {axis=0}\"];\n");
}

// Nodes whose fields repeat share a label but keep their own ids, inputs
// and marks; with more distinct labels than the cache holds, every line
// still reads as the same node alone in a store would.
TEST(Dot, RepeatedFieldsKeepTheirOwnIdsInputsAndMarks) {
  GraphStore store;
  std::vector<NodeKey> keys;
  keys.push_back(Source{"s", {}});
  for (int i = 1; i < 4000; ++i) {
    const NodeId input = static_cast<NodeId>(i - 1);
    ParamMap params({{"k", ParamValue::integer(i % 1500)}});
    if (i % 7 == 0) {
      keys.push_back(Reduction{"sum", std::move(params), {input}});
    } else {
      keys.push_back(Op{"add", std::move(params), {input, input / 2}});
    }
  }
  for (const NodeKey& key : keys) add(store, key);
  ASSERT_EQ(store.node_count(), keys.size());
  ASSERT_TRUE(store.mark_output(3001).ok());
  const std::string dot = to_dot(store);
  std::size_t pos = dot.find('\n') + 1;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::string alone = single_line(keys[i].with_inputs({}));
    // "  n0 [label=...];" renumbered, with the mark when node i has it.
    alone.replace(0, 4, "  n" + std::to_string(i));
    if (i == 3001) alone.insert(alone.size() - 3, ", shape=doublecircle");
    const std::size_t end = dot.find('\n', pos) + 1;
    ASSERT_EQ(dot.substr(pos, end - pos), alone) << i;
    pos = end;
  }
  std::string edges;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    for (const NodeId input : keys[i].inputs()) {
      edges += "  n" + std::to_string(input) + " -> n" + std::to_string(i) + ";\n";
    }
  }
  EXPECT_EQ(dot.substr(pos), edges + "}\n");
}

}  // namespace
}  // namespace tessary
