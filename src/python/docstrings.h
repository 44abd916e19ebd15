// Every user-facing docstring of the tessary_core module, written once. A
// docstring that opens with "name(...)\n--\n\n" carries the text signature
// that inspect.signature reads.
#pragma once

namespace tessary::py {

// Module and module function.
inline constexpr char kModuleDoc[] = "";
inline constexpr char kVersionDoc[] = "version()\n--\n\n";
inline constexpr char kPanicExceptionDoc[] =
    "Raised when tessary-core hits an internal fault (a broken invariant or a poisoned lock).\n"
    "Derives from BaseException, so `except Exception` does not catch it.";

// GraphStore.
inline constexpr char kGraphStoreDoc[] =
    "GraphStore()\n--\n\nThread-safe interned graph store (frozen pyclass: interior mutability via "
    "a Mutex, safe to\nshare across threads under the GIL and free-threaded 3.14t).";
inline constexpr char kAddSourceDoc[] = "add_source($self, name, params=None)\n--\n\n";
inline constexpr char kAddOpDoc[] = "add_op($self, name, inputs, params=None)\n--\n\n";
inline constexpr char kAddReductionDoc[] =
    "add_reduction($self, name, inputs, params=None)\n--\n\n";
inline constexpr char kAddExternalDoc[] =
    "add_external($self, descriptor, inputs, params=None)\n--\n\n";
inline constexpr char kAddExchangeDoc[] =
    "add_exchange($self, inputs, params=None)\n--\n\nRecord an `Exchange` boundary (plan M39 "
    "§2.1). "
    "No `name` — an Exchange's identity is its\n`scheme` ParamMap (`params`) + its one logical "
    "input; e.g. for\n`i = store.add_exchange([x], {\"by\": \"k\"})`, "
    "`store.nodes()[i][\"kind\"] == \"exchange\"`.";

inline constexpr char kNodesDoc[] =
    "nodes($self)\n--\n\nStructured, read-only view of every node in id order (plan M9: `inspect` "
    "renders the IR and\n`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
    "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
    "`descriptor` dict for external nodes and `n_members` for stage nodes.";
inline constexpr char kOutputsDoc[] =
    "outputs($self)\n--\n\nThe marked output node ids, in mark order (what an IR evaluator "
    "returns, in order).";
inline constexpr char kMarkOutputDoc[] =
    "mark_output($self, node_id)\n--\n\nMark a node as an output. Marking it again keeps its "
    "first position in `outputs()`.";
inline constexpr char kStoreReduceDoc[] =
    "__reduce__($self)\n--\n\nPickle and copy support: the store is rebuilt by "
    "`GraphStore.deserialize` from\nits canonical bytes, marks included.";
inline constexpr char kNodeCountDoc[] = "node_count($self)\n--\n\n";
inline constexpr char kToDotDoc[] = "to_dot($self)\n--\n\n";
inline constexpr char kSerializeDoc[] =
    "serialize($self, outputs=None)\n--\n\nSerialize the IR to the canonical, versioned, "
    "byte-identical durable form (plan M8 / A.3.1:\nthe serializable IR — not cloudpickle — is the "
    "canonical durable representation). With\n`outputs=` the bytes flag EXACTLY that set, ignoring "
    "stored marks (M22: outputs are a\nproperty of the compile request); the default keeps the "
    "marks-based behavior.";
inline constexpr char kDeserializeDoc[] =
    "deserialize(data)\n--\n\nRebuild a store from canonical bytes. A round trip reproduces the "
    "same node ids, so\n`serialize` of the result is byte-identical to the input (plan M8 "
    "determinism gate).";

// GraphStore reduction methods and IncrementalReducer (reducer.cc).
inline constexpr char kReduceDoc[] =
    "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\nReduce via the M4 optimizer (DCE "
    "+ CSE + equality-saturation stage fusion behind\nRewriteEngine). Returns the reduced store "
    "and "
    "a report dict. `maximal_fusion=True` opts in\nto fusing fan-out ops whose consumers all land "
    "in one stage (the default single-use rule is\npinned by the frozen M4 suite).";
inline constexpr char kReduceMappedDoc[] =
    "reduce_mapped($self, *, maximal_fusion=False, outputs=None)\n--\n\nLike `reduce`, plus a "
    "third item: a list whose i-th entry is the id, in the reduced\nstore, of the i-th requested "
    "output (the marks, in order, when `outputs` is None),\nrepeats included, so a caller can tell "
    "which reduced node answers which request.";
inline constexpr char kReductionReportDoc[] =
    "reduction_report($self, *, outputs=None)\n--\n\nThe reduction report for the current graph, "
    "without keeping the reduced store.";
inline constexpr char kReduceIncrementalDoc[] =
    "reduce_incremental($self, *, outputs=None)\n--\n\nOne-shot incremental reduction of the "
    "current graph (same result as `reduce`). For genuine\nstep-by-step reduction while building, "
    "use `IncrementalReducer`.";
inline constexpr char kIncrementalReducerDoc[] =
    "IncrementalReducer()\n--\n\nGenuinely incremental reduction (plan §A.1): feed it a store as "
    "the graph is being built; each\n`step` canonicalizes ONLY the nodes recorded since the last "
    "step (identity elimination,\ncommutativity dedup, hash-consing — the same sound rules the "
    "SaturationEngine runs), so a concise\ncanonical form is maintained while building and "
    "`finalize` does one linear pass instead of a\nwhole-history optimization. `total_work()` "
    "counts nodes processed across all steps — it equals\nthe node count of the store, no matter "
    "how many steps fed it (the incrementality witness).";
inline constexpr char kStepDoc[] =
    "step($self, store)\n--\n\nConsume the nodes recorded in `store` since the last step. Returns "
    "how many were processed\n(the delta size). The reducer must always be fed the same store.";
inline constexpr char kFinalizeDoc[] =
    "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\nFinish: consume any "
    "remaining delta, then reduce the maintained canonical form against the\nstore's marked "
    "outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks\nignored). Returns "
    "the reduced store + report, exactly like `GraphStore.reduce`.";
inline constexpr char kReducerReduceDoc[] =
    "__reduce__($self)\n--\n\nAlways raises TypeError: a reducer is not pickled or copied.";
inline constexpr char kWatermarkDoc[] =
    "watermark($self)\n--\n\nHow many of the store's nodes have been consumed so far.";
inline constexpr char kTotalWorkDoc[] =
    "total_work($self)\n--\n\nCumulative nodes processed across all steps (== watermark: each node "
    "touched once).";
inline constexpr char kCanonicalCountDoc[] =
    "canonical_count($self)\n--\n\nSize of the maintained canonical form.";

// PayloadDescriptor.
inline constexpr char kPayloadDescriptorDoc[] =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, "
    "preprocessing_ref=None)\n--\n\nReproducibility metadata an External node carries "
    "(participates in the structural hash).";
inline constexpr char kDescriptorFieldDoc[] = "";

}  // namespace tessary::py
