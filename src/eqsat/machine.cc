#include "eqsat/machine.h"

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>

#include "base/fault.h"

namespace tessary::eqsat {
namespace {

// ---- compilation ----

class Compiler {
 public:
  explicit Compiler(const PatternAst& ast) : ast_(ast) {}

  Program compile() {
    if (ast_.empty()) fault("cannot compile an empty pattern");
    compute_free_vars_and_sizes();
    add_todo(ast_.root(), 0);
    while (!todo_.empty()) {
      const Todo next = take_best();
      const SymbolLang& node = *ast_[next.pos].enode();
      if (all_bound(next.pos) && !node.is_leaf()) {
        emit_lookup(next);
      } else {
        emit_bind(next, node);
      }
    }
    program_.subst = v2r_;
    return std::move(program_);
  }

 private:
  struct Todo {
    Id pos;
    Reg reg;
  };

  void compute_free_vars_and_sizes() {
    free_vars_.resize(ast_.size());
    sizes_.resize(ast_.size());
    for (std::size_t i = 0; i < ast_.size(); ++i) {
      const ENodeOrVar& n = ast_.nodes[i];
      if (const Var* v = n.var()) {
        free_vars_[i] = {*v};
        sizes_[i] = 0;
        continue;
      }
      std::vector<Var> vars;
      std::size_t size = 1;
      for (Id c : n.children()) {
        vars.insert(vars.end(), free_vars_[c.index()].begin(), free_vars_[c.index()].end());
        size += sizes_[c.index()];
      }
      std::sort(vars.begin(), vars.end());
      vars.erase(std::unique(vars.begin(), vars.end()), vars.end());
      free_vars_[i] = std::move(vars);
      sizes_[i] = size;
    }
  }

  std::optional<Reg> reg_of(Var v) const {
    for (const auto& [var, reg] : v2r_) {
      if (var == v) return reg;
    }
    return std::nullopt;
  }

  std::size_t unbound_count(Id pos) const {
    std::size_t n = 0;
    for (Var v : free_vars_[pos.index()]) n += reg_of(v) ? 0 : 1;
    return n;
  }
  bool all_bound(Id pos) const { return unbound_count(pos) == 0; }

  void add_todo(Id pos, Reg reg) {
    const ENodeOrVar& n = ast_[pos];
    if (const Var* v = n.var()) {
      if (const auto j = reg_of(*v)) {
        program_.instructions.emplace_back(instr::Compare{reg, *j});
      } else {
        v2r_.emplace_back(*v, reg);
      }
      return;
    }
    todo_.push_back(Todo{pos, reg});
  }

  // The entry with the largest (all bound, unbound count, -size); the last of equals.
  Todo take_best() {
    std::size_t best = 0;
    std::tuple<bool, std::size_t, std::int64_t> best_key{};
    for (std::size_t k = 0; k < todo_.size(); ++k) {
      const Id pos = todo_[k].pos;
      const std::size_t unbound = unbound_count(pos);
      const std::tuple<bool, std::size_t, std::int64_t> key{
          unbound == 0, unbound, -static_cast<std::int64_t>(sizes_[pos.index()])};
      if (k == 0 || key >= best_key) {
        best = k;
        best_key = key;
      }
    }
    const Todo out = todo_[best];
    todo_.erase(todo_.begin() + static_cast<std::ptrdiff_t>(best));
    return out;
  }

  void emit_bind(const Todo& todo, const SymbolLang& node) {
    std::vector<Id> zeros(node.arity(), Id(0));
    const Reg out = next_reg_;
    program_.instructions.emplace_back(instr::Bind{SymbolLang(node.op(), zeros), todo.reg, out});
    next_reg_ += static_cast<Reg>(node.arity());
    const auto children = node.children();
    for (std::size_t k = 0; k < children.size(); ++k) {
      add_todo(children[k], out + static_cast<Reg>(k));
    }
  }

  // The subtree at `todo.pos` as a ground term in post-order, variables read
  // from their registers; a shared subterm appears once.
  void emit_lookup(const Todo& todo) {
    std::vector<ENodeOrReg> term;
    std::vector<std::optional<std::uint32_t>> placed(ast_.size());
    std::vector<std::pair<Id, std::size_t>> stack{{todo.pos, 0}};
    while (!stack.empty()) {
      auto& [pos, next] = stack.back();
      const ENodeOrVar& n = ast_[pos];
      const auto children = n.children();
      if (next < children.size()) {
        const Id child = children[next++];
        if (!placed[child.index()]) stack.emplace_back(child, 0);
        continue;
      }
      if (!placed[pos.index()]) {
        if (const Var* v = n.var()) {
          term.push_back(ENodeOrReg{*reg_of(*v)});
        } else {
          std::vector<Id> kids;
          for (Id c : children) kids.push_back(Id(*placed[c.index()]));
          term.push_back(ENodeOrReg{SymbolLang(n.enode()->op(), kids)});
        }
        placed[pos.index()] = static_cast<std::uint32_t>(term.size() - 1);
      }
      stack.pop_back();
    }
    program_.instructions.emplace_back(instr::Lookup{std::move(term), todo.reg});
  }

  const PatternAst& ast_;
  std::vector<std::vector<Var>> free_vars_;
  std::vector<std::size_t> sizes_;
  std::vector<std::pair<Var, Reg>> v2r_;  // in order of first binding
  std::vector<Todo> todo_;
  Reg next_reg_ = 1;
  Program program_;
};

}  // namespace

std::size_t Machine::run(const Program& program, const EGraph& egraph, Id eclass, std::size_t limit,
                         SubstList& out) {
  if (!egraph.is_clean()) fault("Tried to search a dirty e-graph!");
  if (limit == 0) return 0;
  const auto& code = program.instructions;
  if (code.size() == 1) {
    if (const auto* bind = std::get_if<instr::Bind>(&code[0]); bind != nullptr && bind->i == 0) {
      return run_single_bind(program, *bind, egraph, eclass, limit, out);
    }
  }
  regs_.assign(1, eclass);
  choices_.clear();
  std::size_t found = 0;
  std::size_t pc = 0;
  while (true) {
    bool failed = false;
    if (pc == code.size()) {
      Subst& subst = out.emplace_back();
      for (const auto& [var, reg] : program.subst) subst.push_unbound(var, regs_[reg]);
      // The limit stops this class's whole search at once.
      if (++found == limit) return found;
      failed = true;
    } else {
      failed = !step(program, egraph, pc);
    }
    if (failed && !backtrack(program, egraph, pc)) return found;
  }
}

// A pattern that is one operator over distinct variables compiles to a single
// Bind of the searched class: every matching node of the class yields one
// substitution, its children read straight into the variables, in the order
// the general loop would produce them.
std::size_t Machine::run_single_bind(const Program& program, const instr::Bind& bind,
                                     const EGraph& egraph, Id eclass, std::size_t limit,
                                     SubstList& out) {
  std::size_t found = 0;
  for (const SymbolLang& node : egraph[eclass].nodes()) {
    if (!node.matches(bind.node)) continue;
    const auto children = node.children();
    Subst& subst = out.emplace_back();
    for (const auto& [var, reg] : program.subst) {
      if (reg < bind.out || reg - bind.out >= children.size())
        fault("variable register out of range");
      subst.push_unbound(var, children[reg - bind.out]);
    }
    if (++found == limit) break;
  }
  return found;
}

// Runs the instruction at `pc`; false if this branch fails. Choice points are
// pushed and their first alternative is taken by `backtrack`.
bool Machine::step(const Program& program, const EGraph& egraph, std::size_t& pc) {
  const Instruction& ins = program.instructions[pc];
  if (const auto* bind = std::get_if<instr::Bind>(&ins)) {
    choices_.push_back(Choice{pc, 0, egraph.find(regs_[bind->i])});
    return false;
  }
  if (const auto* cmp = std::get_if<instr::Compare>(&ins)) {
    if (egraph.find(regs_[cmp->i]) != egraph.find(regs_[cmp->j])) return false;
    ++pc;
    return true;
  }
  if (const auto* lookup = std::get_if<instr::Lookup>(&ins)) {
    if (!lookup_term(egraph, *lookup)) return false;
    ++pc;
    return true;
  }
  choices_.push_back(Choice{pc, 0, Id(0)});
  return false;
}

bool Machine::lookup_term(const EGraph& egraph, const instr::Lookup& lookup) {
  scratch_.clear();
  for (const ENodeOrReg& element : lookup.term) {
    if (const Reg* r = std::get_if<Reg>(&element.v)) {
      scratch_.push_back(egraph.find(regs_[*r]));
      continue;
    }
    SymbolLang node = std::get<SymbolLang>(element.v);
    for (Id& c : node.children_mut()) c = scratch_[c.index()];
    const auto id = egraph.lookup(node);
    if (!id) return false;
    scratch_.push_back(*id);
  }
  return !scratch_.empty() && scratch_.back() == egraph.find(regs_[lookup.i]);
}

// Takes the next alternative of the innermost open choice, dropping exhausted
// ones; false when none is left.
bool Machine::backtrack(const Program& program, const EGraph& egraph, std::size_t& pc) {
  while (!choices_.empty()) {
    Choice& c = choices_.back();
    const Instruction& ins = program.instructions[c.pc];
    if (const auto* bind = std::get_if<instr::Bind>(&ins)) {
      const auto nodes = egraph[c.eclass].nodes();
      while (c.next < nodes.size()) {
        const SymbolLang& node = nodes[c.next++];
        if (!node.matches(bind->node)) continue;
        regs_.resize(bind->out);
        const auto children = node.children();
        regs_.insert(regs_.end(), children.begin(), children.end());
        pc = c.pc + 1;
        return true;
      }
    } else {
      const auto& scan = std::get<instr::Scan>(ins);
      const std::vector<Id>* classes = egraph.indexed_classes();
      if (classes != nullptr && c.next < classes->size()) {
        regs_.resize(scan.out);
        regs_.push_back((*classes)[c.next++]);
        pc = c.pc + 1;
        return true;
      }
    }
    choices_.pop_back();
  }
  return false;
}

Program compile_from_pat(const PatternAst& ast) { return Compiler(ast).compile(); }

std::vector<Subst> Program::run_with_limit(const EGraph& egraph, Id eclass,
                                           std::size_t limit) const {
  SubstList found;
  Machine().run(*this, egraph, eclass, limit, found);
  std::vector<Subst> out;
  out.reserve(found.size());
  for (Subst& s : found) out.push_back(std::move(s));
  return out;
}

}  // namespace tessary::eqsat
