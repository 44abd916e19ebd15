"""Quick start: record a small pipeline into a tessary_core GraphStore.

Two sources with parameters, element-wise ops, a reduction, an external model
node carrying a PayloadDescriptor, and an exchange; then print what was recorded.
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
