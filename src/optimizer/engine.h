// Rewrite engines: the canonicalization step of the reduction pipeline merges
// engine-graph nodes that an engine proves equal. RewriteEngine is the
// interface the pipeline calls; SaturationEngine runs the twelve rules by
// equality saturation.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "eqsat/rewrite.h"
#include "optimizer/engine_graph.h"

namespace tessary {

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;

  // Returns an equivalent graph. The result keeps every child before its
  // user, has one output per input output (output k stands for output k),
  // gives each node the `op` of an input node it stands for, and sets
  // `boundary` exactly for nodes whose `op` does not begin with "op|".
  virtual EngineGraph canonicalize(const EngineGraph& graph) const = 0;
  // The same, for a caller that no longer needs `graph`: an engine may build
  // the result in the input's own storage. A long canonicalization polls
  // `cancel` between units of work and stops by its Cancelled.
  virtual EngineGraph canonicalize_in_place(EngineGraph graph, Cancel& cancel) const {
    (void)cancel;
    return canonicalize(graph);
  }
  EngineGraph canonicalize_in_place(EngineGraph graph) const {
    return canonicalize_in_place(std::move(graph), Cancel::never());
  }

  // True when no graph `canonicalize` returns has two nodes with equal `op`
  // and equal children. CSE would return such a graph unchanged, so the
  // pipeline skips it.
  virtual bool returns_folded_graphs() const { return false; }
};

// Loads the graph into an e-graph, runs its rules to saturation or to the
// runner's limits, and keeps the lowest-indexed node of every class.
// Immutable once built, so one engine may serve several threads.
class SaturationEngine final : public RewriteEngine {
 public:
  SaturationEngine(std::vector<eqsat::Rewrite> rules, std::size_t iter_limit);
  // An engine over a rule set that other engines may share.
  SaturationEngine(std::shared_ptr<const std::vector<eqsat::Rewrite>> rules,
                   std::size_t iter_limit);

  // The twelve commute and identity rules with iteration limit 12. The rules
  // are parsed and compiled once per process; every engine made here shares
  // them (they are immutable) and each canonicalization still runs on an
  // e-graph and runner of its own.
  static SaturationEngine default_engine();

  using RewriteEngine::canonicalize_in_place;
  EngineGraph canonicalize(const EngineGraph& graph) const override;
  // Polls `cancel` before and after loading the e-graph and at the runner's
  // limit checks.
  EngineGraph canonicalize_in_place(EngineGraph graph, Cancel& cancel) const override;

  // The runner rebuilds before it stops, so the e-graph read back is
  // congruent: two kept nodes with equal `op` and equal (representative)
  // children would be congruent e-nodes, hence in one class, hence one node.
  bool returns_folded_graphs() const override { return true; }

  const std::vector<eqsat::Rewrite>& rules() const { return *rules_; }
  std::size_t iter_limit() const { return iter_limit_; }

 private:
  // For every input node, the result index of the node that stands for it.
  struct Representatives {
    std::vector<EngineIndex> of;
    std::size_t kept = 0;  // result nodes
  };
  // Runs the rules on the graph and picks one node per class.
  Representatives representatives(const EngineGraph& graph, Cancel& cancel) const;

  std::shared_ptr<const std::vector<eqsat::Rewrite>> rules_;
  std::size_t iter_limit_;
};

}  // namespace tessary
