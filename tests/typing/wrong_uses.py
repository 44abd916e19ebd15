"""Uses of tessary_core that are wrong, and that the type stubs must reject.

Checked with `mypy --strict --warn-unused-ignores`: every wrong line carries a
`type: ignore[code]` for the error it must raise, so a stub that lets the line
through leaves the ignore unused and fails the check. Never run.
"""

import tessary_core as tc

store = tc.GraphStore()
x = store.add_source("x", {"rows": 10, "scale": 0.5, "exact": True, "path": "/d"})

# A misspelt report key.
reduced, report = store.reduce()
stages: int = report["stage"]  # type: ignore[typeddict-item]
mapped, mapped_report, ids = store.reduce_mapped()
name: str = ids[0]  # type: ignore[assignment]

# A list, None or bytes as a parameter value.
store.add_source("y", {"shape": [1, 2]})  # type: ignore[dict-item]
store.add_op("neg", [x], {"missing": None})  # type: ignore[dict-item]
store.add_exchange([x], {"by": b"user"})  # type: ignore[dict-item]

# A descriptor dict with a missing key, a misspelt key or a non-str field.
store.add_external(
    {"kind": "model", "content_hash": "h", "framework": "f", "version": "1"},  # type: ignore[arg-type]
    [x],
)
store.add_external(
    {"kind": "m", "content_hash": "h", "framework": "f", "version": "1", "io_shema": "s"},  # type: ignore[arg-type]
    [x],
)
store.add_external(
    {"kind": "m", "content_hash": "h", "framework": "f", "version": 1, "io_schema": "s"},  # type: ignore[arg-type]
    [x],
)

# Ids as a str, or as a bare int; a node id as a str.
store.add_op("neg", "0")  # type: ignore[arg-type]
store.add_op("neg", 0)  # type: ignore[arg-type]
store.mark_output("0")  # type: ignore[arg-type]

# Fusion given as an int; outputs passed positionally.
store.reduce(maximal_fusion=1)  # type: ignore[arg-type]
store.reduce([x])  # type: ignore[call-arg, arg-type]

# Keys a node view does not have, and a kind it never takes.
node = store.nodes()[0]
node["descriptr"]  # type: ignore[typeddict-item]
members = node["members"][0]["inputs"][0][0]
if members == "operand":  # type: ignore[comparison-overlap]
    pass
kind: tc._Kind = "sink"  # type: ignore[assignment]

# A PayloadDescriptor is read-only and keyword-only.
d = tc.PayloadDescriptor(kind="m", content_hash="h", framework="f", version="1", io_schema="s")
d.kind = "other"  # type: ignore[misc]
tc.PayloadDescriptor("m", "h", "f", "1", "s")  # type: ignore[call-arg]
