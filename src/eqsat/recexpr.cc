#include "eqsat/recexpr.h"

#include <optional>
#include <ostream>
#include <unordered_map>
#include <utility>

#include "base/fault.h"
#include "base/hash.h"

namespace tessary::eqsat {
namespace {

RecExprParseError bad_sexp(SexpError error) {
  RecExprParseError e;
  e.kind = RecExprParseError::Kind::kBadSexp;
  e.sexp = std::move(error);
  return e;
}

RecExprParseError error_of(RecExprParseError::Kind kind, std::string text = {}) {
  RecExprParseError e;
  e.kind = kind;
  e.text = std::move(text);
  return e;
}

bool is_var_text(std::string_view text) { return text.size() >= 2 && text.front() == '?'; }

// An operator text with its converted children: a variable or an e-node.
Result<ENodeOrVar, RecExprParseError> from_op(std::string_view op, std::span<const Id> children) {
  if (is_var_text(op)) {
    if (!children.empty()) {
      return Err{error_of(RecExprParseError::Kind::kUnexpectedVar, std::string(op))};
    }
    return ENodeOrVar(Var(op));
  }
  return ENodeOrVar(SymbolLang(GlobalSymbol(op), children));
}

struct AstHash {
  std::size_t operator()(const ENodeOrVar& n) const { return n.hash(); }
};

}  // namespace

std::ostream& operator<<(std::ostream& out, Var var) { return out << var.text(); }

std::span<const Id> ENodeOrVar::children() const {
  if (const SymbolLang* n = enode()) return n->children();
  return {};
}

std::uint64_t ENodeOrVar::hash() const {
  if (const Var* v = var()) return fx_mix(1, v->symbol().value());
  return enode()->hash();
}

std::string to_string(const RecExprParseError& error) {
  using Kind = RecExprParseError::Kind;
  switch (error.kind) {
    case Kind::kEmptySexp:
      return "EmptySexp";
    case Kind::kHeadList:
      return "HeadList(" + error.text + ")";
    case Kind::kBadVar:
      return "BadOp(BadVar(MissingQuestionMark))";
    case Kind::kUnexpectedVar:
      return "BadOp(UnexpectedVar(" + error.text + "))";
    case Kind::kBadSexp:
      return "BadSexp(" + to_string(error.sexp) + ")";
  }
  return "unknown pattern error";
}

Result<Var, RecExprParseError> parse_var(std::string_view text) {
  if (!is_var_text(text)) return Err{error_of(RecExprParseError::Kind::kBadVar)};
  return Var(text);
}

Result<PatternAst, RecExprParseError> parse_pattern_ast(std::string_view text) {
  auto parsed = parse_sexp(text);
  if (!parsed) return Err{bad_sexp(parsed.error())};
  const Sexp& sexp = parsed.value();
  using Kind = SexpNode::Kind;

  PatternAst ast;
  // A list being converted: its position, the next element to convert, and
  // the ast positions of the elements converted so far.
  struct Frame {
    std::uint32_t pos;
    std::size_t next;
    std::vector<Id> children;
  };
  std::vector<Frame> stack;
  // The ast position of the last finished subtree, handed to its parent.
  auto finish = [&](ENodeOrVar node) {
    const Id id = ast.add(std::move(node));
    if (!stack.empty()) stack.back().children.push_back(id);
  };
  // Starts converting the subtree at `pos`: atoms finish at once, lists open a frame.
  auto enter = [&](std::uint32_t pos) -> std::optional<RecExprParseError> {
    const SexpNode& n = sexp.at(pos);
    if (n.kind == Kind::kEmpty) return error_of(RecExprParseError::Kind::kEmptySexp);
    if (n.kind == Kind::kAtom) {
      auto node = from_op(n.atom, {});
      if (!node) return node.error();
      finish(std::move(node).value());
      return std::nullopt;
    }
    if (n.items.empty()) return error_of(RecExprParseError::Kind::kEmptySexp);
    const SexpNode& head = sexp.at(n.items.front());
    if (head.kind == Kind::kList) {
      return error_of(RecExprParseError::Kind::kHeadList, sexp.display(pos));
    }
    if (head.kind != Kind::kAtom) fault("Cannot be in head position");
    stack.push_back(Frame{pos, 1, {}});
    return std::nullopt;
  };

  if (auto e = enter(sexp.root)) return Err{*e};
  while (!stack.empty()) {
    Frame& top = stack.back();
    const SexpNode& list = sexp.at(top.pos);
    if (top.next < list.items.size()) {
      const std::uint32_t item = list.items[top.next++];
      if (auto e = enter(item)) return Err{*e};
      continue;
    }
    const std::vector<Id> children = std::move(top.children);
    const std::string& op = sexp.at(list.items.front()).atom;
    stack.pop_back();
    auto node = from_op(op, children);
    if (!node) return Err{node.error()};
    finish(std::move(node).value());
  }
  return ast;
}

PatternAst compact(const PatternAst& ast) {
  PatternAst out;
  std::unordered_map<ENodeOrVar, Id, AstHash> seen;
  std::vector<Id> new_pos;
  new_pos.reserve(ast.size());
  for (const ENodeOrVar& node : ast.nodes) {
    ENodeOrVar copy = node;
    if (SymbolLang* n = copy.enode_mut()) {
      for (Id& c : n->children_mut()) c = new_pos[c.index()];
    }
    auto [it, inserted] = seen.try_emplace(copy, Id(static_cast<std::uint32_t>(out.size())));
    if (inserted) out.add(std::move(copy));
    new_pos.push_back(it->second);
  }
  return out;
}

std::vector<Var> pattern_vars(const PatternAst& ast) {
  std::vector<Var> vars;
  for (const ENodeOrVar& node : ast.nodes) {
    const Var* v = node.var();
    if (v == nullptr) continue;
    bool known = false;
    for (Var seen : vars) known = known || seen == *v;
    if (!known) vars.push_back(*v);
  }
  return vars;
}

std::string to_string(const PatternAst& ast) {
  if (ast.empty()) return "";
  std::string out;
  std::vector<std::pair<Id, std::size_t>> open;  // (node, next child)
  auto emit = [&](Id id) {
    const ENodeOrVar& n = ast[id];
    if (const Var* v = n.var()) {
      out += v->text();
    } else if (n.enode()->is_leaf()) {
      out += n.enode()->op().as_str();
    } else {
      out += '(';
      out += n.enode()->op().as_str();
      open.emplace_back(id, 0);
    }
  };
  emit(ast.root());
  while (!open.empty()) {
    auto& [id, next] = open.back();
    const auto children = ast[id].children();
    if (next == children.size()) {
      out += ')';
      open.pop_back();
      continue;
    }
    out += ' ';
    const Id child = children[next++];
    emit(child);
  }
  return out;
}

}  // namespace tessary::eqsat
