// The e-matching machine: a pattern compiles into a small register program
// (Bind, Compare, Lookup, Scan) which the machine runs against one class with
// backtracking, collecting at most a given number of substitutions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "base/small_vec.h"
#include "eqsat/egraph.h"
#include "eqsat/enode.h"
#include "eqsat/id.h"
#include "eqsat/recexpr.h"
#include "eqsat/subst.h"

namespace tessary::eqsat {

// A machine register; register 0 holds the class being searched.
using Reg = std::uint32_t;

// An element of a Lookup term: an e-node whose children are earlier
// positions in the term, or a register holding a class.
struct ENodeOrReg {
  std::variant<SymbolLang, Reg> v;
  friend bool operator==(const ENodeOrReg&, const ENodeOrReg&) = default;
};

namespace instr {
// For each node of class reg[i] matching `node` (operator and arity; its
// children are all zero), put the node's children into registers out.. and go on.
struct Bind {
  SymbolLang node;
  Reg i;
  Reg out;
  friend bool operator==(const Bind&, const Bind&) = default;
};
// Go on only if reg[i] and reg[j] denote the same class.
struct Compare {
  Reg i;
  Reg j;
  friend bool operator==(const Compare&, const Compare&) = default;
};
// Go on only if the ground term exists and lies in the class of reg[i].
struct Lookup {
  std::vector<ENodeOrReg> term;
  Reg i;
  friend bool operator==(const Lookup&, const Lookup&) = default;
};
// For every class, put it into register `out` and go on.
struct Scan {
  Reg out;
  friend bool operator==(const Scan&, const Scan&) = default;
};
}  // namespace instr

using Instruction = std::variant<instr::Bind, instr::Compare, instr::Lookup, instr::Scan>;

// The substitutions found in one class; two live inline (a commuted pair in
// one class is common).
using SubstList = SmallVec<Subst, 2>;

struct Program {
  std::vector<Instruction> instructions;
  // Where each variable ends up, in order of first binding.
  std::vector<std::pair<Var, Reg>> subst;

  // The substitutions under which the pattern occurs in class `eclass`, at
  // most `limit` of them. Faults with "Tried to search a dirty e-graph!".
  std::vector<Subst> run_with_limit(const EGraph& egraph, Id eclass, std::size_t limit) const;
};

// Registers and the backtracking stack of a search; one machine can run many
// searches, reusing its storage.
class Machine {
 public:
  // Appends the substitutions of `program` in class `eclass` to `out`, at most
  // `limit` of them; returns how many it appended. The e-graph must be clean.
  std::size_t run(const Program& program, const EGraph& egraph, Id eclass, std::size_t limit,
                  SubstList& out);

 private:
  // An open choice: the Bind or Scan at `pc` and the next alternative to try.
  struct Choice {
    std::size_t pc;
    std::size_t next;
    Id eclass;
  };
  std::size_t run_single_bind(const Program& program, const instr::Bind& bind, const EGraph& egraph,
                              Id eclass, std::size_t limit, SubstList& out);
  bool step(const Program& program, const EGraph& egraph, std::size_t& pc);
  bool lookup_term(const EGraph& egraph, const instr::Lookup& lookup);
  bool backtrack(const Program& program, const EGraph& egraph, std::size_t& pc);

  std::vector<Id> regs_;
  std::vector<Id> scratch_;
  std::vector<Choice> choices_;
};

// Compiles a (compacted) pattern, rooted at its last node, from an empty program.
Program compile_from_pat(const PatternAst& ast);

}  // namespace tessary::eqsat
