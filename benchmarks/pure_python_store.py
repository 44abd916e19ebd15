"""The graph store a careful Python author would write instead of tessary_core.

A dict from a structural key tuple to the node id, a list of keys in id order
and a list of output marks, with the same argument checks as the extension:
names and descriptor fields must be str, inputs a non-str sequence of ids that
name existing nodes, params a dict of str keys to bool/int/float/str values.
Float parameters are keyed so that every NaN is one value and 0.0 != -0.0.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

_NAN_KEY = ("nan",)
_DESCRIPTOR_FIELDS = ("kind", "content_hash", "framework", "version", "io_schema")


def _float_key(value: float) -> object:
    if value != value:
        return _NAN_KEY
    if value == 0.0:
        return (value, math.copysign(1.0, value))
    return value


def _float_value(key: object) -> float:
    if key is _NAN_KEY:
        return math.nan
    if isinstance(key, tuple):
        return key[0]
    return key


def _params_dict(entries: tuple) -> dict:
    return {key: _float_value(value) if tag == 1 else value for key, tag, value in entries}


_KIND_NAMES = ("source", "op", "reduction", "external", "stage", "exchange")


def _params_key(params: object) -> tuple:
    if params is None:
        return ()
    if not isinstance(params, dict):
        raise TypeError("params must be a dict or None")
    entries = []
    for key, value in params.items():
        if not isinstance(key, str):
            raise TypeError(f"'{type(key).__name__}' object is not an instance of 'str'")
        kind = type(value)
        if kind is bool:
            entries.append((key, 2, value))
        elif kind is int:
            if -(1 << 63) <= value < (1 << 63):
                entries.append((key, 0, value))
            else:
                entries.append((key, 1, _float_key(float(value))))
        elif kind is float:
            entries.append((key, 1, _float_key(value)))
        elif kind is str:
            entries.append((key, 3, value))
        else:
            raise TypeError("param values must be int, float, bool, or str")
    entries.sort(key=lambda entry: entry[0])
    return tuple(entries)


class PurePythonStore:
    __slots__ = ("_index", "_nodes", "_outputs")

    def __init__(self) -> None:
        self._index: dict[tuple, int] = {}
        self._nodes: list[tuple] = []
        self._outputs: list[int] = []

    def _inputs(self, inputs: object) -> tuple:
        if isinstance(inputs, str):
            raise TypeError("argument 'inputs': Can't extract `str` to `Vec`")
        if not isinstance(inputs, Sequence):
            raise TypeError(
                f"argument 'inputs': '{type(inputs).__name__}' object is not an instance of 'Sequence'"
            )
        ids = tuple(inputs)
        count = len(self._nodes)
        for node_id in ids:
            if node_id.__index__() >= count or node_id < 0:
                raise ValueError(f"no node with id {node_id}")
        return ids

    def _intern(self, key: tuple) -> int:
        index = self._index
        found = index.get(key)
        if found is not None:
            return found
        node_id = len(self._nodes)
        self._nodes.append(key)
        index[key] = node_id
        return node_id

    def add_source(self, name: str, params: dict | None = None) -> int:
        if not isinstance(name, str):
            raise TypeError("argument 'name': not a str")
        return self._intern((0, name, _params_key(params)))

    def add_op(self, name: str, inputs: Sequence[int], params: dict | None = None) -> int:
        if not isinstance(name, str):
            raise TypeError("argument 'name': not a str")
        ids = self._inputs(inputs)
        return self._intern((1, name, _params_key(params), ids))

    def add_reduction(self, name: str, inputs: Sequence[int], params: dict | None = None) -> int:
        if not isinstance(name, str):
            raise TypeError("argument 'name': not a str")
        ids = self._inputs(inputs)
        return self._intern((2, name, _params_key(params), ids))

    def add_external(self, descriptor: dict, inputs: Sequence[int], params: dict | None = None) -> int:
        ids = self._inputs(inputs)
        if not isinstance(descriptor, dict):
            raise TypeError("descriptor must be a PayloadDescriptor or dict")
        pre = descriptor.get("preprocessing_ref")
        if pre is not None and not isinstance(pre, str):
            raise TypeError("preprocessing_ref must be a str")
        fields = []
        for field in _DESCRIPTOR_FIELDS:
            if field not in descriptor:
                raise ValueError(f"descriptor missing required field '{field}'")
            value = descriptor[field]
            if not isinstance(value, str):
                raise TypeError(f"'{type(value).__name__}' object is not an instance of 'str'")
            fields.append(value)
        fields.append(pre)
        return self._intern((3, tuple(fields), _params_key(params), ids))

    def add_exchange(self, inputs: Sequence[int], params: dict | None = None) -> int:
        ids = self._inputs(inputs)
        return self._intern((5, _params_key(params), ids))

    def mark_output(self, node_id: int) -> None:
        if not 0 <= node_id < len(self._nodes):
            raise ValueError(f"no node with id {node_id}")
        if node_id not in self._outputs:
            self._outputs.append(node_id)

    def outputs(self) -> list[int]:
        return list(self._outputs)

    def node_count(self) -> int:
        return len(self._nodes)

    def nodes(self) -> list[dict]:
        """One fresh dict per node, as tessary_core's GraphStore.nodes() returns them."""
        marked = set(self._outputs)
        out = []
        for node_id, key in enumerate(self._nodes):
            kind = key[0]
            if kind == 3:
                fields, params, ids = key[1], key[2], key[3]
                descriptor = dict(zip(_DESCRIPTOR_FIELDS, fields))
                descriptor["preprocessing_ref"] = fields[5]
                out.append({"id": node_id, "output": node_id in marked, "inputs": list(ids),
                            "kind": "external", "name": "", "params": _params_dict(params),
                            "descriptor": descriptor})
                continue
            if kind == 5:
                name, params, ids = "", key[1], key[2]
            elif kind == 0:
                name, params, ids = key[1], key[2], ()
            else:
                name, params, ids = key[1], key[2], key[3]
            out.append({"id": node_id, "output": node_id in marked, "inputs": list(ids),
                        "kind": _KIND_NAMES[kind], "name": name, "params": _params_dict(params)})
        return out
