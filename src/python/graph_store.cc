#include "python/graph_store.h"

#include <new>
#include <utility>

#include "python/args.h"
#include "python/convert.h"
#include "python/docstrings.h"
#include "python/errors.h"
#include "python/heap_type.h"
#include "python/reducer.h"

namespace tessary::py {
namespace {

PyTypeObject* g_type = nullptr;

const ArgSpec kNewArgs{
    .function = "GraphStore.__new__()",
    .names = {},
    .n_params = 0,
    .n_positional = 0,
    .n_required_positional = 0,
    .n_required_keyword = 0,
};
const ArgSpec kAddSourceArgs{
    .function = "GraphStore.add_source()",
    .names = {"name", "params"},
    .n_params = 2,
    .n_positional = 2,
    .n_required_positional = 1,
    .n_required_keyword = 0,
};
const ArgSpec kAddOpArgs{
    .function = "GraphStore.add_op()",
    .names = {"name", "inputs", "params"},
    .n_params = 3,
    .n_positional = 3,
    .n_required_positional = 2,
    .n_required_keyword = 0,
};
const ArgSpec kAddReductionArgs{
    .function = "GraphStore.add_reduction()",
    .names = {"name", "inputs", "params"},
    .n_params = 3,
    .n_positional = 3,
    .n_required_positional = 2,
    .n_required_keyword = 0,
};
const ArgSpec kAddExternalArgs{
    .function = "GraphStore.add_external()",
    .names = {"descriptor", "inputs", "params"},
    .n_params = 3,
    .n_positional = 3,
    .n_required_positional = 2,
    .n_required_keyword = 0,
};
const ArgSpec kAddExchangeArgs{
    .function = "GraphStore.add_exchange()",
    .names = {"inputs", "params"},
    .n_params = 2,
    .n_positional = 2,
    .n_required_positional = 1,
    .n_required_keyword = 0,
};

const ArgSpec kMarkOutputArgs{
    .function = "GraphStore.mark_output()",
    .names = {"node_id"},
    .n_params = 1,
    .n_positional = 1,
    .n_required_positional = 1,
    .n_required_keyword = 0,
};

PyObject* wrap_into(PyTypeObject* type, GraphStore&& store) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<PyGraphStore*>(self)->store) GraphStore(std::move(store));  // noexcept
  return self;
}

PyObject* graph_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kNewArgs, args, kwargs, a)) return nullptr;
    return wrap_into(type, GraphStore());
  });
}

void graph_store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyGraphStore*>(self)->store.~GraphStore();
  type->tp_free(self);
  Py_DECREF(type);
}

// The building methods' last two steps: the one store call, then the result.
PyObject* intern(PyObject* self, const KeyView& key) {
  const Result<NodeId, BadNodeId> id = store_of(self).intern(key);
  if (!id) return map_err(id.error());
  return id_to_py(id.value());
}

// The converted arguments of one building call (add_external keeps its
// descriptor beside them). A name, and the fields of a PayloadDescriptor, are
// borrowed from the call's arguments, which the caller keeps alive; text
// borrowed from dicts is held in `held`. A view made from these parts must not
// outlive them.
struct KeyParts {
  HeldRefs held;
  std::string_view name;
  IdBuffer inputs;
  ParamBuffer params;
};

PyObject* add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kAddSourceArgs, args, nargs, kwnames, a)) return nullptr;
    KeyParts k;
    if (!str_from_py(a[0], k.name)) return argument_error("name");
    if (!params_from_py(a[1], k.params, k.held)) return nullptr;
    const Result<NodeId, BadNodeId> id =
        store_of(self).intern(KeyView::source(k.name, k.params.span()));
    if (!id) fault_source_rejected();  // a source has no inputs to reject
    return id_to_py(id.value());
  });
}

PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kAddOpArgs, args, nargs, kwnames, a)) return nullptr;
    KeyParts k;
    if (!str_from_py(a[0], k.name)) return argument_error("name");
    if (!ids_from_py(a[1], k.inputs)) return argument_error("inputs");
    if (!params_from_py(a[2], k.params, k.held)) return nullptr;
    return intern(self, KeyView::op(k.name, k.inputs.span(), k.params.span()));
  });
}

PyObject* add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kAddReductionArgs, args, nargs, kwnames, a)) return nullptr;
    KeyParts k;
    if (!str_from_py(a[0], k.name)) return argument_error("name");
    if (!ids_from_py(a[1], k.inputs)) return argument_error("inputs");
    if (!params_from_py(a[2], k.params, k.held)) return nullptr;
    return intern(self, KeyView::reduction(k.name, k.inputs.span(), k.params.span()));
  });
}

PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kAddExternalArgs, args, nargs, kwnames, a)) return nullptr;
    KeyParts k;
    DescriptorView descriptor;
    // Inputs are converted before the descriptor (argument 0).
    if (!ids_from_py(a[1], k.inputs)) return argument_error("inputs");
    if (!descriptor_from_py(a[0], descriptor, k.held)) return nullptr;
    if (!params_from_py(a[2], k.params, k.held)) return nullptr;
    return intern(self, KeyView::external(descriptor, k.inputs.span(), k.params.span()));
  });
}

PyObject* add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kAddExchangeArgs, args, nargs, kwnames, a)) return nullptr;
    KeyParts k;
    if (!ids_from_py(a[0], k.inputs)) return argument_error("inputs");
    if (!params_from_py(a[1], k.params, k.held)) return nullptr;
    return intern(self, KeyView::exchange(k.inputs.span(), k.params.span()));
  });
}

PyObject* mark_output(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kMarkOutputArgs, args, nargs, kwnames, a)) return nullptr;
    NodeId id = 0;
    if (!id_from_py(a[0], id)) return argument_error("node_id");
    if (const auto marked = store_of(self).mark_output(id); !marked) return map_err(marked.error());
    Py_RETURN_NONE;
  });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    // Building (this file).
    {"add_source", as_cfunction(add_source), kFast, kAddSourceDoc},
    {"add_op", as_cfunction(add_op), kFast, kAddOpDoc},
    {"add_reduction", as_cfunction(add_reduction), kFast, kAddReductionDoc},
    {"add_external", as_cfunction(add_external), kFast, kAddExternalDoc},
    {"add_exchange", as_cfunction(add_exchange), kFast, kAddExchangeDoc},
    {"mark_output", as_cfunction(mark_output), kFast, kMarkOutputDoc},
    // Views and persistence (store_views.cc).
    {"nodes", as_cfunction(graph_store_nodes), METH_NOARGS, kNodesDoc},
    {"outputs", as_cfunction(graph_store_outputs), METH_NOARGS, kOutputsDoc},
    {"node_count", as_cfunction(graph_store_node_count), METH_NOARGS, kNodeCountDoc},
    {"to_dot", as_cfunction(graph_store_to_dot), METH_NOARGS, kToDotDoc},
    {"serialize", as_cfunction(graph_store_serialize), kFast, kSerializeDoc},
    {"deserialize", as_cfunction(graph_store_deserialize), kFast | METH_STATIC, kDeserializeDoc},
    // Reduction (reducer.cc).
    {"reduce", as_cfunction(graph_store_reduce), kFast, kReduceDoc},
    {"reduction_report", as_cfunction(graph_store_reduction_report), kFast, kReductionReportDoc},
    {"reduce_incremental", as_cfunction(graph_store_reduce_incremental), kFast,
     kReduceIncrementalDoc},
    {"reduce_mapped", as_cfunction(graph_store_reduce_mapped), kFast, kReduceMappedDoc},
    // Pickling and copying (store_pickle.cc).
    {"__reduce__", graph_store_pickle, METH_NOARGS, kStoreReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kGraphStoreDoc)},
    {Py_tp_new, reinterpret_cast<void*>(graph_store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_store_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_store_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (not subclassable) and no __dict__: all state
// changes go through the methods.
PyType_Spec kSpec = {
    "tessary_core.GraphStore",
    sizeof(PyGraphStore),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyTypeObject* graph_store_type() { return heap_type_once(kSpec, g_type); }

bool is_graph_store(PyObject* obj) { return g_type != nullptr && Py_TYPE(obj) == g_type; }

PyObject* wrap_store(GraphStore&& store) {
  PyTypeObject* type = graph_store_type();
  if (type == nullptr) return nullptr;
  return wrap_into(type, std::move(store));
}

}  // namespace tessary::py
