"""Quick start: record a small pipeline into a tessary_core GraphStore.

Two sources with parameters, element-wise ops, a reduction, an external model
node carrying a PayloadDescriptor, and an exchange; then print what was
recorded, write it as a blob and as DOT, read it back, and reduce it.
Files are written to the current directory.
"""

import tessary_core as tc

print(f"tessary_core {tc.version()}")

store = tc.GraphStore()

# Sources: where the data comes from.
events = store.add_source("events", {"path": "s3://bucket/events/*.parquet", "limit": 1_000_000})
users = store.add_source("users", {"path": "s3://bucket/users.parquet"})

# Element-wise ops: a scaled column, a join key comparison, a clipped score.
scaled = store.add_op("mul", [events], {"scalar": 2.5, "side": "r"})
shifted = store.add_op("add", [scaled], {"scalar": 0.0, "side": "r"})  # an identity op
matched = store.add_op("eq", [events, users])
score = store.add_op("maximum", [shifted, matched])

# Recording the same node again returns the id it already has (hash-consing).
assert store.add_op("mul", [events], {"side": "r", "scalar": 2.5}) == scaled

# An external model, identified by its reproducibility metadata.
model = tc.PayloadDescriptor(
    kind="model",
    content_hash="sha256:9f2c",
    framework="onnxruntime",
    version="1.18",
    io_schema="f32[n,4]->f32[n]",
)
predicted = store.add_external(model, [score], {"batch_size": 256})
# A plain dict with the same fields names the same node.
assert store.add_external(
    {"kind": "model", "content_hash": "sha256:9f2c", "framework": "onnxruntime",
     "version": "1.18", "io_schema": "f32[n,4]->f32[n]"},
    [score], {"batch_size": 256}) == predicted

# Repartition by user, then reduce.
exchanged = store.add_exchange([predicted], {"by": "user_id", "partitions": 64})
total = store.add_reduction("sum", [exchanged], {"axis": 0})

print(f"recorded {store.node_count()} nodes")
for node in store.nodes():
    extra = ""
    if "descriptor" in node:
        d = node["descriptor"]
        extra = f" descriptor={d['kind']}:{d['content_hash']} ({d['framework']} {d['version']})"
    print(f"  {node['id']:>2} {node['kind']:<9} {node['name']:<8} inputs={node['inputs']} "
          f"params={node['params']}{extra}")

# Errors are ordinary Python exceptions with exact messages.
try:
    store.add_op("neg", [99])
except ValueError as error:
    print(f"rejected: {error}")

# Mark the outputs, then keep the graph in its canonical durable form.
store.mark_output(total)
store.mark_output(score)
blob = store.serialize()
with open("pipeline.tir", "wb") as blob_out:
    blob_out.write(blob)
with open("pipeline.tir", "rb") as blob_in:
    restored = tc.GraphStore.deserialize(blob_in.read())
assert restored.serialize() == blob, "a round trip reproduces the bytes"
assert restored.outputs() == [total, score]
print(f"wrote pipeline.tir ({len(blob)} bytes); read back {restored.node_count()} nodes, "
      f"byte-identical")

with open("pipeline.dot", "w") as dot_file:
    dot_file.write(restored.to_dot())
print("wrote pipeline.dot (render with: dot -Tsvg pipeline.dot -o pipeline.svg)")

# What each counter of a reduction report means.
COUNTERS = {
    "input_nodes": "nodes handed to the optimizer (the store's node count; for the incremental "
                   "reducer, the size of its canonical form)",
    "reachable_nodes": "nodes reachable from the outputs (kept by dead-code elimination)",
    "canonical_nodes": "nodes left after merging commutative duplicates, dropping identity ops "
                       "and common-subexpression elimination",
    "stages": "stage nodes made by fusing element-wise ops",
    "reduced_nodes": "nodes of the reduced graph (stages plus boundary nodes)",
    "boundary_nodes": "non-op nodes carried over (sources, reductions, externals, exchanges)",
}


def print_report(title: str, report: "tc._Report", explain: bool = False) -> None:
    print(title)
    counts = dict(report)
    for key, meaning in COUNTERS.items():
        # A report is looked up by key; the order of its keys is unspecified.
        print(f"  {key:<16}{counts[key]:>3}" + (f"  {meaning}" if explain else ""))


# Reduce against the marked outputs: the identity add disappears and the
# element-wise ops fuse into stages. The store itself is not changed.
for maximal in (False, True):
    reduced, report = restored.reduce(maximal_fusion=maximal)
    rule = "maximal fusion" if maximal else "single-use fusion"
    print_report(f"reduce ({rule}):", report, explain=not maximal)
    for node in reduced.nodes():
        if node["kind"] == "stage":
            ops = " -> ".join(m["name"] for m in node["members"])
            print(f"  stage {node['id']} inputs={node['inputs']}: {ops}")
    if not maximal:
        with open("reduced.dot", "w") as dot_file:
            dot_file.write(reduced.to_dot())
        print("wrote reduced.dot")

# reduce_mapped also says which reduced node answers which requested output.
reduced, report, answers = restored.reduce_mapped(outputs=[score, total, score])
print(f"requested outputs [{score}, {total}, {score}] are reduced nodes {answers}")

# The same result, maintained step by step while the graph grows.
reducer = tc.IncrementalReducer()
reducer.step(restored)
late = restored.add_op("neg", [total])
reducer.step(restored)
print(f"incremental: consumed {reducer.watermark()} nodes, canonical form has "
      f"{reducer.canonical_count()}")
outputs = [late, score]
reduced, report = reducer.finalize(restored, outputs=outputs)
print_report(f"finalize (incremental, outputs={outputs}):", report)
one_shot, one_shot_report = restored.reduce(outputs=outputs)
counts, one_shot_counts = dict(report), dict(one_shot_report)
differing = [key for key in COUNTERS if counts[key] != one_shot_counts[key]]
if not differing:
    print("the one-shot reduce(outputs=...) gives the same counts")
else:
    print(f"the one-shot reduce(outputs=...) differs in {', '.join(differing)}:")
    for key in differing:
        print(f"  {key}: incremental {counts[key]}, one-shot {one_shot_counts[key]}")
    print("  because the incremental reducer hands the optimizer its canonical form, in which\n"
          "  identity ops are already dropped and commutative duplicates merged, instead of the\n"
          "  whole store; the reduced graphs are the same")
assert one_shot.serialize() == reduced.serialize(), "both reduce to the same graph"
