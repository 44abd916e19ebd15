// The reduction API: GraphStore.reduce, reduction_report and
// reduce_incremental, and the IncrementalReducer class, which wraps one core
// IncrementalReducer behind a lock of its own (taken before any store lock).
#include "python/reducer.h"

#include <iterator>
#include <new>
#include <optional>
#include <utility>

#include "base/fault.h"
#include "optimizer/engine.h"
#include "optimizer/incremental.h"
#include "optimizer/pipeline.h"
#include "optimizer/report.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/docstrings.h"
#include "python/errors.h"
#include "python/graph_store.h"
#include "python/heap_type.h"
#include "python/interrupt.h"
#include "python/py_ref.h"
#include "python/static_str.h"

namespace tessary::py {
namespace {

constexpr std::string_view kReducerPoisoned = "incremental reducer poisoned";

struct PyIncrementalReducer {
  PyObject_HEAD PoisonGuarded<IncrementalReducer> reducer;
};

PyTypeObject* g_type = nullptr;

const ArgSpec kReduceArgs{
    .function = "GraphStore.reduce()",
    .names = {"maximal_fusion", "outputs"},
    .n_params = 2,
    .n_positional = 0,
    .n_required_positional = 0,
    .n_required_keyword = 0,
};
const ArgSpec kReduceMappedArgs{
    .function = "GraphStore.reduce_mapped()",
    .names = {"maximal_fusion", "outputs"},
    .n_params = 2,
    .n_positional = 0,
    .n_required_positional = 0,
    .n_required_keyword = 0,
};
const ArgSpec kReductionReportArgs{
    .function = "GraphStore.reduction_report()",
    .names = {"outputs"},
    .n_params = 1,
    .n_positional = 0,
    .n_required_positional = 0,
    .n_required_keyword = 0,
};
const ArgSpec kReduceIncrementalArgs{
    .function = "GraphStore.reduce_incremental()",
    .names = {"outputs"},
    .n_params = 1,
    .n_positional = 0,
    .n_required_positional = 0,
    .n_required_keyword = 0,
};
const ArgSpec kNewArgs{
    .function = "IncrementalReducer.__new__()",
    .names = {},
    .n_params = 0,
    .n_positional = 0,
    .n_required_positional = 0,
    .n_required_keyword = 0,
};
const ArgSpec kStepArgs{
    .function = "IncrementalReducer.step()",
    .names = {"store"},
    .n_params = 1,
    .n_positional = 1,
    .n_required_positional = 1,
    .n_required_keyword = 0,
};
const ArgSpec kFinalizeArgs{
    .function = "IncrementalReducer.finalize()",
    .names = {"store", "maximal_fusion", "outputs"},
    .n_params = 3,
    .n_positional = 1,
    .n_required_positional = 1,
    .n_required_keyword = 0,
};

// maximal_fusion: absent is false; a bool, or numpy's boolean scalar.
bool fusion_from_py(PyObject* obj, bool& out) {
  if (obj == nullptr || obj == Py_False) {
    out = false;
    return true;
  }
  if (obj == Py_True) {
    out = true;
    return true;
  }
  const char* type_name = Py_TYPE(obj)->tp_name;
  if (std::string_view(type_name) == "numpy.bool_" || std::string_view(type_name) == "numpy.bool") {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  raise_wrong_type(obj, "bool");
  return false;
}

// outputs: absent or None means the store's marks (nullopt).
bool outputs_from_py(PyObject* obj, std::optional<NodeIds>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  out.emplace();
  return ids_from_py(obj, *out);
}

bool store_from_py(PyObject* obj) {
  if (is_graph_store(obj)) return true;
  raise_wrong_type(obj, "GraphStore");
  return false;
}

// The report's keys, made once; entry k names counter k of the table order.
StaticStr g_report_keys[] = {StaticStr(kReportKeys[0]), StaticStr(kReportKeys[1]),
                             StaticStr(kReportKeys[2]), StaticStr(kReportKeys[3]),
                             StaticStr(kReportKeys[4]), StaticStr(kReportKeys[5])};
static_assert(std::size(g_report_keys) == kReportKeys.size());

// A dict with the report's keys in order, each mapped to None, made once. A
// copy of it clones the key table in one step, where inserting the keys one
// by one into a new dict grows its table on the way.
PyObject* report_template() {
  static PyObject* g_template = nullptr;
  if (g_template != nullptr) return g_template;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const std::size_t position : report_key_order()) {
    PyObject* name = g_report_keys[position].get();
    if (name == nullptr || PyDict_SetItem(dict.get(), name, Py_None) < 0) return nullptr;
  }
  g_template = dict.release();
  return g_template;
}

// The report dict, with its keys in the order of the core's report map.
PyObject* report_to_py(const ReductionCounters& counters) {
  PyObject* keys = report_template();
  if (keys == nullptr) return nullptr;
  PyRef dict = PyRef::steal(PyDict_Copy(keys));
  if (!dict) return nullptr;
  for (const std::size_t position : report_key_order()) {
    PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(report_counter(counters, position)));
    if (!value || PyDict_SetItem(dict.get(), g_report_keys[position].get(), value.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

// What a reducing method returns.
enum class ResultShape {
  kStoreAndReport,  // (new GraphStore, report dict)
  kReportOnly,      // the report dict
  kMapped,          // (new GraphStore, report dict, list of the outputs' new ids)
};

PyObject* result_to_py(ReductionResult&& result, ResultShape shape) {
  PyRef report = PyRef::steal(report_to_py(result.counters));
  if (!report || shape == ResultShape::kReportOnly) return report.release();
  PyRef output_ids;
  if (shape == ResultShape::kMapped) {
    output_ids = PyRef::steal(ids_to_py(result.output_ids.span()));
    if (!output_ids) return nullptr;
  }
  PyRef store = PyRef::steal(wrap_store(std::move(result.store)));
  if (!store) return nullptr;
  PyRef tuple = PyRef::steal(PyTuple_New(output_ids ? 3 : 2));
  if (!tuple) return nullptr;
  PyTuple_SET_ITEM(tuple.get(), 0, store.release());
  PyTuple_SET_ITEM(tuple.get(), 1, report.release());
  if (output_ids) PyTuple_SET_ITEM(tuple.get(), 2, output_ids.release());
  return tuple.release();
}

// Steps 2 to 4 of every store reduction: a fresh engine, then the reduction
// against the marks or exactly the given outputs.
Result<ReductionResult, BadNodeId> reduce_store(const GraphStore& store,
                                                const std::optional<NodeIds>& outputs,
                                                bool maximal_fusion, Cancel& cancel) {
  const SaturationEngine engine = SaturationEngine::default_engine();
  if (!outputs) return reduce_with(store, engine, maximal_fusion, cancel);
  return reduce_with_outputs(store, *outputs, engine, maximal_fusion, cancel);
}

PyObject* reduce_impl(PyObject* self, const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, bool with_fusion, ResultShape shape) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(spec, args, nargs, kwnames, a)) return nullptr;
    bool fusion = false;
    PyObject* outputs_arg = a[0];
    if (with_fusion) {
      if (!fusion_from_py(a[0], fusion)) return argument_error("maximal_fusion");
      outputs_arg = a[1];
    }
    std::optional<NodeIds> outputs;
    if (!outputs_from_py(outputs_arg, outputs)) return argument_error("outputs");
    Result<ReductionResult, BadNodeId> result = run_interruptible(
        [&](Cancel& cancel) { return reduce_store(store_of(self), outputs, fusion, cancel); });
    if (!result) return map_err(result.error());
    return result_to_py(std::move(result).value(), shape);
  });
}

// The core reducer behind its own lock, which is taken before any store lock.
PoisonGuarded<IncrementalReducer>& reducer_of(PyObject* self) {
  return reinterpret_cast<PyIncrementalReducer*>(self)->reducer;
}

// Consumes the store's nodes from the watermark on. Runs under the reducer's
// lock, and takes the store's inside it (never the other way round). A
// failed allocation or a cancellation leaves the keys consumed so far
// consumed whole, so the reducer's lock is taken with `with_whole`.
Result<std::uint64_t, BadNodeId> consume_delta(IncrementalReducer& reducer, const GraphStore& store,
                                               Cancel& cancel) {
  return reducer.step(store, cancel);
}

PyObject* reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kNewArgs, args, kwargs, a)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<PyIncrementalReducer*>(self);
    try {
      new (&obj->reducer) PoisonGuarded<IncrementalReducer>();
    } catch (...) {
      Py_TYPE(self)->tp_free(self);
      Py_DECREF(type);
      throw;
    }
    return self;
  });
}

void reducer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<PyIncrementalReducer*>(self);
  obj->reducer.~PoisonGuarded<IncrementalReducer>();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* reducer_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kStepArgs, args, nargs, kwnames, a)) return nullptr;
    if (!store_from_py(a[0])) return argument_error("store");
    const GraphStore& store = store_of(a[0]);
    const Result<std::uint64_t, BadNodeId> consumed = run_interruptible([&](Cancel& cancel) {
      return reducer_of(self).with_whole(kReducerPoisoned, [&](IncrementalReducer& reducer) {
        return consume_delta(reducer, store, cancel);
      });
    });
    if (!consumed) return map_err(consumed.error());
    return PyLong_FromUnsignedLongLong(consumed.value());
  });
}

PyObject* reducer_finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kFinalizeArgs, args, nargs, kwnames, a)) return nullptr;
    if (!store_from_py(a[0])) return argument_error("store");
    bool fusion = false;
    if (!fusion_from_py(a[1], fusion)) return argument_error("maximal_fusion");
    std::optional<NodeIds> given;
    if (!outputs_from_py(a[2], given)) return argument_error("outputs");
    const GraphStore& store = store_of(a[0]);
    // The outputs are settled before the reducer's lock is taken.
    NodeIds outputs;
    if (given) {
      if (const auto checked = store.check_ids(*given); !checked) return map_err(checked.error());
      outputs = std::move(*given);
    } else {
      outputs = store.outputs();
    }
    // finalize itself only reads the reducer, so the lock stays usable
    // after a failed allocation or an interruption.
    Result<ReductionResult, BadNodeId> result = run_interruptible([&](Cancel& cancel) {
      return reducer_of(self).with_whole(
          kReducerPoisoned, [&](IncrementalReducer& reducer) -> Result<ReductionResult, BadNodeId> {
            const Result<std::uint64_t, BadNodeId> consumed = consume_delta(reducer, store, cancel);
            if (!consumed) return Err(consumed.error());
            const SaturationEngine engine = SaturationEngine::default_engine();
            return reducer.finalize_to_store(outputs, engine, fusion, cancel);
          });
    });
    if (!result) return map_err(result.error());
    return result_to_py(std::move(result).value(), ResultShape::kStoreAndReport);
  });
}

template <std::uint64_t (IncrementalReducer::*Getter)() const>
PyObject* reducer_counter(PyObject* self, PyObject* /*unused*/) {
  return guard_call([&]() -> PyObject* {
    const std::uint64_t value = std::as_const(reducer_of(self))
                                    .with(kReducerPoisoned, [](const IncrementalReducer& reducer) {
                                      return (reducer.*Getter)();
                                    });
    return PyLong_FromUnsignedLongLong(value);
  });
}

// "<tessary_core.IncrementalReducer: watermark 5, canonical form 3 nodes>",
// both read under one hold of the reducer's lock.
PyObject* reducer_repr(PyObject* self) {
  return guard_call([&]() -> PyObject* {
    const auto [watermark, canonical] =
        std::as_const(reducer_of(self)).with(kReducerPoisoned, [](const IncrementalReducer& r) {
          return std::pair(r.watermark(), r.canonical_count());
        });
    return PyUnicode_FromFormat(
        "<tessary_core.IncrementalReducer: watermark %llu, canonical form "
        "%llu node%s>",
        static_cast<unsigned long long>(watermark), static_cast<unsigned long long>(canonical),
        canonical == 1 ? "" : "s");
  });
}

// A reducer's canonical form only means something next to the store that fed
// it, so it is neither pickled nor copied.
PyObject* reducer_reduce(PyObject* /*self*/, PyObject* /*unused*/) {
  PyErr_SetString(PyExc_TypeError,
                  "cannot pickle 'IncrementalReducer' object: its state belongs to the store that "
                  "fed it; pickle that GraphStore and step a new reducer with it");
  return nullptr;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"__reduce__", reducer_reduce, METH_NOARGS, kReducerReduceDoc},
    {"step", as_cfunction(reducer_step), kFast, kStepDoc},
    {"finalize", as_cfunction(reducer_finalize), kFast, kFinalizeDoc},
    {"watermark", as_cfunction(reducer_counter<&IncrementalReducer::watermark>), METH_NOARGS,
     kWatermarkDoc},
    {"total_work", as_cfunction(reducer_counter<&IncrementalReducer::total_work>), METH_NOARGS,
     kTotalWorkDoc},
    {"canonical_count", as_cfunction(reducer_counter<&IncrementalReducer::canonical_count>),
     METH_NOARGS, kCanonicalCountDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kIncrementalReducerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(reducer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reducer_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(reducer_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// Not subclassable, no __dict__: like the other classes of the module.
PyType_Spec kSpec = {
    "tessary_core.IncrementalReducer",
    sizeof(PyIncrementalReducer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyTypeObject* incremental_reducer_type() { return heap_type_once(kSpec, g_type); }

PyObject* graph_store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return reduce_impl(self, kReduceArgs, args, nargs, kwnames, /*with_fusion=*/true,
                     ResultShape::kStoreAndReport);
}

PyObject* graph_store_reduce_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return reduce_impl(self, kReduceMappedArgs, args, nargs, kwnames, /*with_fusion=*/true,
                     ResultShape::kMapped);
}

PyObject* graph_store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return reduce_impl(self, kReductionReportArgs, args, nargs, kwnames, /*with_fusion=*/false,
                     ResultShape::kReportOnly);
}

PyObject* graph_store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return reduce_impl(self, kReduceIncrementalArgs, args, nargs, kwnames, /*with_fusion=*/false,
                     ResultShape::kStoreAndReport);
}

}  // namespace tessary::py
