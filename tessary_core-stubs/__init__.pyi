# Type stubs for the tessary_core extension module.
#
# The underscore names below exist only for type checkers; import them under
# `if TYPE_CHECKING:` to annotate your own code, e.g.
#     if TYPE_CHECKING:
#         from tessary_core import _NodeView, _Report

from collections.abc import Callable, Mapping, Sequence
from typing import Literal, NoReturn, NotRequired, SupportsIndex, TypedDict, final

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
__version__: str

# A parameter value: bool, int (signed 64-bit, or any object with __index__),
# float (or any object with __float__) or str.
_ParamValue = int | float | bool | str
# Parameters as given: a dict with str keys (any dict subclass; None for none).
_Params = Mapping[str, _ParamValue]
# Node ids: any sequence (not a str) of ints or objects with __index__.
_Ids = Sequence[SupportsIndex]

_Kind = Literal["source", "op", "reduction", "external", "stage", "exchange"]

class _DescriptorDict(TypedDict):
    """A descriptor given as a dict to add_external (other keys are ignored)."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]

class _DescriptorView(TypedDict):
    """The descriptor of an external node in the node view."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

class _StageMember(TypedDict):
    kind: str
    name: str
    params: dict[str, _ParamValue]
    # ("input", i): the stage's i-th input; ("member", j): its j-th member.
    inputs: list[tuple[Literal["input", "member"], int]]

class _NodeView(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: _Kind
    name: str
    params: dict[str, _ParamValue]
    descriptor: NotRequired[_DescriptorView]  # external nodes
    n_members: NotRequired[int]  # stage nodes
    members: NotRequired[list[_StageMember]]  # stage nodes

class _Report(TypedDict):
    """The six counts of a reduction (look them up by key; their order is unspecified)."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

class PanicException(BaseException):
    """Raised when tessary-core hits an internal fault (a broken invariant or a poisoned lock)."""

@final
class PayloadDescriptor:
    """Reproducibility metadata an External node carries (participates in the structural hash)."""

    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...

@final
class GraphStore:
    """Thread-safe interned graph store."""

    def __new__(cls) -> GraphStore: ...
    def __reduce__(self) -> tuple[Callable[[bytes], GraphStore], tuple[bytes]]: ...
    def add_source(self, name: str, params: _Params | None = None) -> int: ...
    def add_op(self, name: str, inputs: _Ids, params: _Params | None = None) -> int: ...
    def add_reduction(self, name: str, inputs: _Ids, params: _Params | None = None) -> int: ...
    def add_external(
        self,
        descriptor: PayloadDescriptor | _DescriptorDict,
        inputs: _Ids,
        params: _Params | None = None,
    ) -> int: ...
    def add_exchange(self, inputs: _Ids, params: _Params | None = None) -> int: ...
    def mark_output(self, node_id: SupportsIndex) -> None: ...
    def nodes(self) -> list[_NodeView]:
        """One dict per node in id order: id, output, inputs, kind, name, params, plus
        descriptor (external) or n_members and members (stage)."""
    def outputs(self) -> list[int]: ...
    def node_count(self) -> int: ...
    def to_dot(self) -> str: ...
    def serialize(self, outputs: _Ids | None = None) -> bytes: ...
    @staticmethod
    def deserialize(data: bytes) -> GraphStore: ...
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, _Report]: ...
    def reduce_mapped(
        self, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, _Report, list[int]]: ...
    def reduction_report(self, *, outputs: _Ids | None = None) -> _Report: ...
    def reduce_incremental(self, *, outputs: _Ids | None = None) -> tuple[GraphStore, _Report]: ...

@final
class IncrementalReducer:
    """Keeps a canonical form of a store up to date while it is being built."""

    def __new__(cls) -> IncrementalReducer: ...
    def __reduce__(self) -> NoReturn: ...
    def step(self, store: GraphStore) -> int: ...
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, _Report]: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...

def version() -> str: ...
