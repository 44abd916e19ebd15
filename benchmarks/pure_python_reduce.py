"""The reducer a careful Python author would write instead of GraphStore.reduce().

It reduces the graph of a PurePythonStore (pure_python_store.py) against a list
of output ids, in the same five steps as tessary_core and with the same report:

1. dead-code elimination: keep what the outputs reach, renumbered in id order;
2. canonicalization: a union-find over the kept nodes, hash-consed to a fixed
   point, where the operands of the eight commutative ops (parameterless, two
   operands) count as an unordered pair and the four identity ops (add 0.0 or
   mul 1.0, with `side` "l" or "r" and nothing else, on one operand) join
   their operand's class; each class keeps its lowest-indexed node;
3. CSE, which the fixed point has already done;
4. stage fusion under the single-use or the maximal (fan-out) rule;
5. a new PurePythonStore holding the reduced graph, its outputs marked.

Written for clarity, not tuned. Key tuples are those of PurePythonStore:
(0, name, params) source, (1, name, params, ids) op, (2, name, params, ids)
reduction, (3, fields, params, ids) external, (5, params, ids) exchange; a
stage is (4, members, ids), each member (name, params, refs) with refs
("input", i) or ("member", j), as the module's node view shows them.
"""

from __future__ import annotations

from pure_python_store import PurePythonStore, _float_key

COMMUTATIVE = frozenset(["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"])
IDENTITY_PARAMS = frozenset(
    ((("scalar", 1, _float_key(value)), ("side", 3, side)), name)
    for name, value in (("add", 0.0), ("mul", 1.0))
    for side in ("l", "r")
)

SOURCE, OP, REDUCTION, EXTERNAL, STAGE, EXCHANGE = 0, 1, 2, 3, 4, 5


def inputs_of(key: tuple) -> tuple:
    return () if key[0] == SOURCE else key[-1]


def with_inputs(key: tuple, inputs: tuple) -> tuple:
    return key if key[0] == SOURCE else key[:-1] + (tuple(inputs),)


def head_of(key: tuple) -> tuple:
    """The key without its inputs: what the engine compares nodes by."""
    return key if key[0] == SOURCE else key[:-1]


def is_identity(key: tuple) -> bool:
    return key[0] == OP and len(key[3]) == 1 and (key[2], key[1]) in IDENTITY_PARAMS


def is_commutative(key: tuple) -> bool:
    return key[0] == OP and key[1] in COMMUTATIVE and key[2] == () and len(key[3]) == 2


def dead_code_elimination(nodes: list, outputs: list) -> tuple[list, list]:
    live = [False] * len(nodes)
    stack = list(outputs)
    while stack:
        i = stack.pop()
        if not live[i]:
            live[i] = True
            stack.extend(inputs_of(nodes[i]))
    new_id = {}
    kept = []
    for i, key in enumerate(nodes):
        if live[i]:
            new_id[i] = len(kept)
            kept.append(with_inputs(key, tuple(new_id[j] for j in inputs_of(key))))
    return kept, [new_id[o] for o in outputs]


def canonicalize(nodes: list, outputs: list) -> tuple[list, list]:
    parent = list(range(len(nodes)))

    def find(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    def union(a: int, b: int) -> bool:
        a, b = find(a), find(b)
        if a == b:
            return False
        parent[max(a, b)] = min(a, b)  # the lowest index represents the class
        return True

    changed = True
    while changed:
        changed = False
        seen: dict[tuple, int] = {}
        for i, key in enumerate(nodes):
            if is_identity(key):
                changed |= union(i, key[3][0])
            children = tuple(find(c) for c in inputs_of(key))
            if is_commutative(key):
                children = tuple(sorted(children))
            signature = (head_of(key), children)
            if signature in seen:
                changed |= union(seen[signature], i)
            else:
                seen[signature] = i
    new_index = {}
    result = []
    for i, key in enumerate(nodes):
        if find(i) == i:
            new_index[i] = len(result)
            result.append(with_inputs(key, tuple(new_index[find(c)] for c in inputs_of(key))))
    return result, [new_index[find(o)] for o in outputs]


def group_single_use(nodes: list, consumers: list, is_output: list) -> list:
    parent = list(range(len(nodes)))

    def find(i: int) -> int:
        root = i
        while parent[root] != root:
            root = parent[root]
        while parent[i] != root:
            parent[i], i = root, parent[i]
        return root

    for i, key in enumerate(nodes):
        if key[0] == OP and len(consumers[i]) == 1 and not is_output[i]:
            c = consumers[i][0]
            if nodes[c][0] == OP:
                a, b = find(i), find(c)
                if a != b:
                    parent[max(a, b)] = min(a, b)
    return [find(i) if key[0] == OP else i for i, key in enumerate(nodes)]


def group_maximal(nodes: list, consumers: list, is_output: list) -> list:
    group = list(range(len(nodes)))
    for i in range(len(nodes) - 1, -1, -1):
        users = consumers[i]
        if (nodes[i][0] == OP and not is_output[i] and users
                and all(nodes[c][0] == OP for c in users)
                and all(group[c] == group[users[0]] for c in users)):
            group[i] = group[users[0]]
    return group


def stage_fusion(nodes: list, outputs: list, maximal_fusion: bool) -> tuple[list, list, int, int]:
    consumers: list[list[int]] = [[] for _ in nodes]
    for u, key in enumerate(nodes):
        for c in inputs_of(key):
            consumers[c].append(u)
    is_output = [False] * len(nodes)
    for o in outputs:
        is_output[o] = True
    rule = group_maximal if maximal_fusion else group_single_use
    group = rule(nodes, consumers, is_output)
    members: dict[int, list[int]] = {}
    for i in range(len(nodes)):
        members.setdefault(group[i], []).append(i)
    new_id: dict[int, int] = {}
    result = []
    stages = boundary = 0
    for g in sorted(members, key=lambda g: members[g][-1]):
        if nodes[g][0] != OP:
            key = nodes[g]
            result.append(with_inputs(key, tuple(new_id[group[c]] for c in inputs_of(key))))
            boundary += 1
        else:
            position = {m: p for p, m in enumerate(members[g])}
            stage_inputs: list[int] = []
            ops = []
            for m in members[g]:
                refs = []
                for c in inputs_of(nodes[m]):
                    if c in position:
                        refs.append(("member", position[c]))
                    else:
                        if group[c] not in stage_inputs:
                            stage_inputs.append(group[c])
                        refs.append(("input", stage_inputs.index(group[c])))
                ops.append((nodes[m][1], nodes[m][2], tuple(refs)))
            result.append((STAGE, tuple(ops), tuple(new_id[h] for h in stage_inputs)))
            stages += 1
        new_id[g] = len(result) - 1
    return result, [new_id[group[o]] for o in outputs], stages, boundary


def reduce(store: PurePythonStore, outputs: list | None = None,
           maximal_fusion: bool = False) -> tuple[PurePythonStore, dict]:
    """The reduced store and the six-count report; `outputs` None means the marks."""
    nodes = store._nodes
    if outputs is None:
        outputs = store.outputs()
    for o in outputs:
        if not 0 <= o < len(nodes):
            raise ValueError(f"no node with id {o}")
    kept, kept_outputs = dead_code_elimination(nodes, outputs)
    canonical, canonical_outputs = canonicalize(kept, kept_outputs)
    fused, fused_outputs, stages, boundary = stage_fusion(canonical, canonical_outputs, maximal_fusion)
    reduced = PurePythonStore()
    ids: list[int] = []
    for key in fused:
        ids.append(reduced._intern(with_inputs(key, tuple(ids[p] for p in inputs_of(key)))))
    for o in fused_outputs:
        reduced.mark_output(ids[o])
    report = {
        "input_nodes": len(nodes),
        "reachable_nodes": len(kept),
        "canonical_nodes": len(canonical),
        "stages": stages,
        "reduced_nodes": len(fused),
        "boundary_nodes": boundary,
    }
    return reduced, report
