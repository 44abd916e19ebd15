// GraphStore as a Python object: its repr, and pickling and copying through
// the canonical blob. A pickled store is a call of GraphStore.deserialize on
// the bytes of serialize(), so the copy has the same ids and marks, and a
// store can be sent to another process.
#include <cstdint>

#include "python/errors.h"
#include "python/graph_store.h"
#include "python/py_ref.h"
#include "python/static_str.h"

namespace tessary::py {
namespace {

StaticStr g_deserialize("deserialize");

const char* plural(std::uint64_t n) { return n == 1 ? "" : "s"; }

}  // namespace

// "<tessary_core.GraphStore: 9 nodes, 2 outputs>"
PyObject* graph_store_repr(PyObject* self) {
  return guard_call([&]() -> PyObject* {
    const GraphStore& store = store_of(self);
    // Marks are read first: a store only grows, so every mark names a node
    // the count below includes.
    const std::uint64_t marks = store.outputs().size();
    const std::uint64_t nodes = store.node_count();
    return PyUnicode_FromFormat("<tessary_core.GraphStore: %llu node%s, %llu output%s>",
                                static_cast<unsigned long long>(nodes), plural(nodes),
                                static_cast<unsigned long long>(marks), plural(marks));
  });
}

// (GraphStore.deserialize, (self.serialize(),)). The static method pickles by
// reference, as the attribute of the class.
PyObject* graph_store_pickle(PyObject* self, PyObject* /*unused*/) {
  PyObject* name = g_deserialize.get();
  if (name == nullptr) return nullptr;
  PyRef rebuild = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name));
  if (!rebuild) return nullptr;
  PyRef blob = PyRef::steal(graph_store_serialize(self, nullptr, 0, nullptr));
  if (!blob) return nullptr;
  return Py_BuildValue("(O(O))", rebuild.get(), blob.get());
}

}  // namespace tessary::py
