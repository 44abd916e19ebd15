#include "ir/node.h"

#include <gtest/gtest.h>

#include <bit>

namespace tessary {
namespace {

ParamMap params(std::vector<ParamEntry> entries) { return ParamMap(std::move(entries)); }

PayloadDescriptor descriptor(std::optional<std::string> pre) {
  return PayloadDescriptor{"model", "h1", "fw", "2", "s", std::move(pre)};
}

TEST(NodeToken, EveryKind) {
  EXPECT_EQ(
      NodeKey(Op{"add",
                 params({{"side", ParamValue::string("r")}, {"scalar", ParamValue::floating(0.0)}}),
                 {0}})
          .token(),
      "op|add|scalar=f0000000000000000;side=sr");
  EXPECT_EQ(NodeKey(Source{"rows", {}}).token(), "src|rows");
  EXPECT_EQ(NodeKey(Reduction{"sum", params({{"axis", ParamValue::integer(0)}}), {0}}).token(),
            "red|sum|axis=i0");
  EXPECT_EQ(NodeKey(Exchange{params({{"by", ParamValue::string("k")}}), {0}}).token(),
            "exch|by=sk");
  EXPECT_EQ(NodeKey(Exchange{{}, {}}).token(), "exch");
  EXPECT_EQ(NodeKey(External{descriptor(std::nullopt), {}, {}}).token(), "ext|model|h1|fw|2|s|-");
  EXPECT_EQ(NodeKey(External{descriptor(""), {}, {}}).token(), "ext|model|h1|fw|2|s|");
  EXPECT_EQ(
      NodeKey(External{descriptor(std::nullopt), params({{"k", ParamValue::boolean(true)}}), {}})
          .token(),
      "ext|model|h1|fw|2|s|-|k=btrue");
  const Stage stage{
      {0, 1},
      {StageOp{"op|neg", {StageRef::input(0)}}, StageOp{"op|exp", {StageRef::member(0)}},
       StageOp{"op|log", {StageRef::input(1)}}}};
  EXPECT_EQ(NodeKey(stage).token(), "stage|3");
  EXPECT_EQ(NodeKey(Op{"a|b", {}, {}}).token(), "op|a%7Cb");
}

TEST(NodeKeyEquality, InputsKindsAndFloats) {
  const NodeKey a = Op{"add", {}, {1, 2}};
  const NodeKey b = Op{"add", {}, {2, 1}};
  EXPECT_NE(a, b);
  EXPECT_EQ(a.token(), b.token());
  EXPECT_NE(NodeKey(Op{"f", {}, {0}}), NodeKey(Reduction{"f", {}, {0}}));
  EXPECT_NE(NodeKey(Op{"f", {}, {0}}).token(), NodeKey(Reduction{"f", {}, {0}}).token());
  EXPECT_NE(NodeKey(Op{"f", params({{"s", ParamValue::floating(0.0)}}), {}}),
            NodeKey(Op{"f", params({{"s", ParamValue::floating(-0.0)}}), {}}));
  EXPECT_EQ(NodeKey(Op{
                "f",
                params({{"s", ParamValue::floating(std::bit_cast<double>(0x7ff0000000000001ULL))}}),
                {}}),
            NodeKey(Op{
                "f",
                params({{"s", ParamValue::floating(std::bit_cast<double>(0xfff8000000000000ULL))}}),
                {}}));
  EXPECT_NE(NodeKey(External{descriptor(std::nullopt), {}, {}}),
            NodeKey(External{descriptor(""), {}, {}}));
  EXPECT_NE(NodeKey(Op{"f", {}, {0, 0}}), NodeKey(Op{"f", {}, {0}}));
  // Two stages with different members share a token but are different keys.
  const NodeKey s1 = Stage{
      {0}, {StageOp{"op|neg", {StageRef::input(0)}}, StageOp{"op|exp", {StageRef::member(0)}}}};
  const NodeKey s2 = Stage{
      {0}, {StageOp{"op|neg", {StageRef::input(0)}}, StageOp{"op|log", {StageRef::member(0)}}}};
  EXPECT_EQ(s1.token(), "stage|2");
  EXPECT_EQ(s1.token(), s2.token());
  EXPECT_NE(s1, s2);
}

TEST(NodeKeyWithInputs, ReplacesOnlyInputs) {
  const NodeKey src = Source{"x", params({{"a", ParamValue::integer(1)}})};
  EXPECT_EQ(src.with_inputs({4, 5}), src);
  const NodeKey op = Op{"add", params({{"a", ParamValue::integer(1)}}), {1, 2}};
  const NodeKey moved = op.with_inputs({7, 7});
  EXPECT_EQ(moved, NodeKey(Op{"add", params({{"a", ParamValue::integer(1)}}), {7, 7}}));
  const NodeKey stage = Stage{{0}, {StageOp{"op|neg", {StageRef::input(0)}}}};
  const NodeKey stage2 = stage.with_inputs({3});
  EXPECT_EQ(stage2.get_if<Stage>()->members, stage.get_if<Stage>()->members);
  EXPECT_EQ(NodeIds(stage2.inputs().begin(), stage2.inputs().end()), NodeIds{3});
}

TEST(ParseOpToken, InvertsOpAndReductionTokens) {
  EXPECT_FALSE(parse_op_token("op"));
  EXPECT_FALSE(parse_op_token("src|x"));
  EXPECT_FALSE(parse_op_token("stage|2"));
  EXPECT_FALSE(parse_op_token("op|add|x"));
  EXPECT_FALSE(parse_op_token("ops|add"));
  const auto empty = parse_op_token("op|");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->kind, "op");
  EXPECT_EQ(empty->name, "");
  EXPECT_TRUE(empty->params.empty());
  const auto trailing = parse_op_token("op|add|");
  ASSERT_TRUE(trailing);
  EXPECT_TRUE(trailing->params.empty());
  const auto bar = parse_op_token("op|a%7Cb");
  ASSERT_TRUE(bar);
  EXPECT_EQ(bar->name, "a|b");

  const NodeKey keys[] = {
      Op{"add",
         params({{"scalar", ParamValue::floating(0.5)}, {"side", ParamValue::string("l|;=%")}}),
         {0}},
      Reduction{"sum=|;",
                params({{"k;", ParamValue::integer(-4)}, {"b", ParamValue::boolean(false)}}),
                {0}},
      Op{"", {}, {}},
  };
  for (const NodeKey& key : keys) {
    const auto parsed = parse_op_token(key.token());
    ASSERT_TRUE(parsed) << key.token();
    if (const Op* op = key.get_if<Op>()) {
      EXPECT_EQ(parsed->kind, "op");
      EXPECT_EQ(parsed->name, op->name);
      EXPECT_EQ(parsed->params, op->params);
    } else {
      const Reduction* red = key.get_if<Reduction>();
      EXPECT_EQ(parsed->kind, "red");
      EXPECT_EQ(parsed->name, red->name);
      EXPECT_EQ(parsed->params, red->params);
    }
  }
}

}  // namespace
}  // namespace tessary
