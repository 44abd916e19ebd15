// Pattern terms: a RecExpr is a flat post-order list of nodes whose children
// are earlier positions, the last node being the root. Pattern nodes are
// e-nodes or variables ("?x"); this unit reads them from text and compacts them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.h"
#include "eqsat/enode.h"
#include "eqsat/id.h"
#include "eqsat/sexp.h"
#include "eqsat/symbol.h"

namespace tessary::eqsat {

// A pattern variable, named by its full text including the leading "?".
class Var {
 public:
  constexpr Var() = default;
  explicit Var(GlobalSymbol name) : name_(name) {}
  explicit Var(std::string_view text) : name_(text) {}
  GlobalSymbol symbol() const { return name_; }
  std::string_view text() const { return name_.as_str(); }

  friend bool operator==(Var a, Var b) = default;
  friend auto operator<=>(Var a, Var b) = default;

 private:
  GlobalSymbol name_;
};

std::ostream& operator<<(std::ostream& out, Var var);

// A pattern node: an e-node whose children are positions in the same list, or
// a variable.
class ENodeOrVar {
 public:
  ENodeOrVar(SymbolLang node) : v_(std::move(node)) {}  // NOLINT: implicit by design
  ENodeOrVar(Var var) : v_(var) {}                      // NOLINT: implicit by design

  bool is_var() const { return v_.index() == 1; }
  const SymbolLang* enode() const { return std::get_if<SymbolLang>(&v_); }
  SymbolLang* enode_mut() { return std::get_if<SymbolLang>(&v_); }
  const Var* var() const { return std::get_if<Var>(&v_); }
  std::span<const Id> children() const;

  friend bool operator==(const ENodeOrVar& a, const ENodeOrVar& b) = default;
  std::uint64_t hash() const;

 private:
  std::variant<SymbolLang, Var> v_;
};

// A term as a post-order node list; children always precede their parents.
template <typename L>
struct RecExpr {
  std::vector<L> nodes;

  // Appends a node (whose children must already be present) and returns its position.
  Id add(L node) {
    nodes.push_back(std::move(node));
    return Id(static_cast<std::uint32_t>(nodes.size() - 1));
  }
  bool empty() const { return nodes.empty(); }
  std::size_t size() const { return nodes.size(); }
  Id root() const { return Id(static_cast<std::uint32_t>(nodes.size() - 1)); }
  const L& operator[](Id id) const { return nodes[id.index()]; }
  friend bool operator==(const RecExpr&, const RecExpr&) = default;
};

using PatternAst = RecExpr<ENodeOrVar>;

// Why pattern text did not read. `to_string` renders it.
struct RecExprParseError {
  enum class Kind : std::uint8_t {
    kEmptySexp,      // the empty text, or "()"
    kHeadList,       // a list whose head is a list; `text` holds that list
    kBadVar,         // BadOp(BadVar(MissingQuestionMark)): never produced by text
    kUnexpectedVar,  // BadOp(UnexpectedVar(text)): a variable with children
    kBadSexp,        // the reader failed; `sexp` holds its error
  };
  Kind kind = Kind::kEmptySexp;
  std::string text;
  SexpError sexp;

  friend bool operator==(const RecExprParseError&, const RecExprParseError&) = default;
};

// "EmptySexp", "HeadList({text})", "BadOp(BadVar(MissingQuestionMark))",
// "BadOp(UnexpectedVar({text}))", "BadSexp({message} at line {l}, column {c})".
std::string to_string(const RecExprParseError& error);

// Reads pattern text: atoms are e-nodes, except texts of two or more
// characters starting with "?", which are variables.
[[nodiscard]] Result<PatternAst, RecExprParseError> parse_pattern_ast(std::string_view text);

// A variable from its text ("?x"); BadVar for a text without the leading "?".
[[nodiscard]] Result<Var, RecExprParseError> parse_var(std::string_view text);

// An equivalent list in which structurally equal nodes are stored once.
PatternAst compact(const PatternAst& ast);

// Distinct variables in order of first appearance in the node list.
std::vector<Var> pattern_vars(const PatternAst& ast);

// Writes the term as an s-expression.
std::string to_string(const PatternAst& ast);

}  // namespace tessary::eqsat
