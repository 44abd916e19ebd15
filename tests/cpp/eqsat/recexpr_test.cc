#include "eqsat/recexpr.h"

#include <gtest/gtest.h>

#include <string>

namespace tessary::eqsat {
namespace {

RecExprParseError parse_error(std::string_view text) {
  auto r = parse_pattern_ast(text);
  EXPECT_FALSE(r.ok()) << text;
  return r.ok() ? RecExprParseError{} : r.error();
}

PatternAst parsed(std::string_view text) {
  auto r = parse_pattern_ast(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : to_string(r.error()));
  return r.ok() ? r.value() : PatternAst{};
}

TEST(PatternText, BinaryOperatorParsesPostOrder) {
  const PatternAst ast = parsed("(op|add ?a ?b)");
  ASSERT_EQ(ast.size(), 3u);
  EXPECT_EQ(*ast.nodes[0].var(), Var("?a"));
  EXPECT_EQ(*ast.nodes[1].var(), Var("?b"));
  const SymbolLang* root = ast.nodes[2].enode();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->op().as_str(), "op|add");
  EXPECT_EQ(root->children()[0], Id(0));
  EXPECT_EQ(root->children()[1], Id(1));
  EXPECT_EQ(to_string(ast), "(op|add ?a ?b)");
}

TEST(PatternText, AtomsQuotesTabsAndTrailingText) {
  EXPECT_EQ(to_string(parsed("  (a b) c")), "(a b)");
  EXPECT_EQ(to_string(parsed("(op|add|scalar=f0000000000000000;side=sr ?x)")),
            "(op|add|scalar=f0000000000000000;side=sr ?x)");
  // A tab does not end an atom; newlines between elements are skipped.
  const PatternAst tab = parsed("(f\tx\n  y)");
  ASSERT_EQ(tab.size(), 2u);
  EXPECT_EQ(tab.nodes[1].enode()->op().as_str(), "f\tx");
  // Quoted atoms keep everything between the quotes, backslashes included.
  const PatternAst quoted = parsed(R"((g "a b\" c"))");
  EXPECT_EQ(quoted.nodes[0].enode()->op().as_str(), R"(a b\" c)");
  // "?" alone is an operator, not a variable.
  EXPECT_FALSE(parsed("?").nodes[0].is_var());
  EXPECT_TRUE(parsed("?x").nodes[0].is_var());
}

TEST(PatternText, StructuralErrors) {
  EXPECT_EQ(parse_error("").kind, RecExprParseError::Kind::kEmptySexp);
  EXPECT_EQ(parse_error(" \n ").kind, RecExprParseError::Kind::kEmptySexp);
  EXPECT_EQ(to_string(parse_error("()")), "EmptySexp");
  EXPECT_EQ(to_string(parse_error("(f ())")), "EmptySexp");
  EXPECT_EQ(to_string(parse_error("((a) b)")), "HeadList(((a) b))");
  EXPECT_EQ(to_string(parse_error("(?x a)")), "BadOp(UnexpectedVar(?x))");
  EXPECT_EQ(to_string(parse_var("x").error()), "BadOp(BadVar(MissingQuestionMark))");
  EXPECT_EQ(parse_var("?x").value(), Var("?x"));
}

TEST(PatternText, ReaderErrorsCarryLineAndColumn) {
  const SexpError close = parse_error(")").sexp;
  EXPECT_EQ(close, (SexpError{"Unexpected )", 1, 1}));
  EXPECT_EQ(to_string(parse_error(" \n )")), "BadSexp(Unexpected ) at line 1, column 1)");
  // Inside a list ")" closes it; what follows the expression is ignored.
  EXPECT_EQ(to_string(parsed("(a ))")), "a");
  EXPECT_EQ(parse_error("(a b").sexp, (SexpError{"End of file reached", 1, 5}));
  EXPECT_EQ(parse_error("(a\n  (b c").sexp, (SexpError{"End of file reached", 2, 7}));
  EXPECT_EQ(parse_error("(f \"abc").sexp, (SexpError{"End of file reached", 1, 8}));
  EXPECT_EQ(to_string(parse_error("(f (g )")), "BadSexp(End of file reached at line 1, column 8)");
}

TEST(PatternText, DeepNestingNeitherRecursesNorFails) {
  std::string text;
  constexpr int kDepth = 200000;
  for (int i = 0; i < kDepth; ++i) text += "(s ";
  text += "x";
  text.append(kDepth, ')');
  const PatternAst ast = parsed(text);
  EXPECT_EQ(ast.size(), static_cast<std::size_t>(kDepth) + 1);
  EXPECT_EQ(to_string(ast).size(), text.size());
}

TEST(Compact, SharesEqualSubtermsAndKeepsOrder) {
  const PatternAst ast = compact(parsed("(f ?x ?x)"));
  ASSERT_EQ(ast.size(), 2u);
  EXPECT_EQ(ast.nodes[1].enode()->children()[0], Id(0));
  EXPECT_EQ(ast.nodes[1].enode()->children()[1], Id(0));

  const PatternAst shared = compact(parsed("(h (g a) (g a) a)"));
  EXPECT_EQ(shared.size(), 3u);
  EXPECT_EQ(to_string(shared), "(h (g a) (g a) a)");
  EXPECT_EQ(pattern_vars(parsed("(f ?b (g ?a ?b))")), (std::vector<Var>{Var("?b"), Var("?a")}));
}

}  // namespace
}  // namespace tessary::eqsat
