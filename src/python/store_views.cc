// GraphStore's small read-only views (outputs, node_count, to_dot) and its
// persistence bindings (serialize, deserialize). Each reads the store through
// one locked core operation and builds its Python result from the copy
// (nodes() is in node_views.cc).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "blob/reader.h"
#include "blob/writer.h"
#include "ir/dot.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/graph_store.h"
#include "python/in_place.h"
#include "python/interrupt.h"
#include "python/py_ref.h"

namespace tessary::py {
namespace {

const ArgSpec kSerializeArgs{
    .function = "GraphStore.serialize()",
    .names = {"outputs"},
    .n_params = 1,
    .n_positional = 1,
    .n_required_positional = 0,
    .n_required_keyword = 0,
};
const ArgSpec kDeserializeArgs{
    .function = "GraphStore.deserialize()",
    .names = {"data"},
    .n_params = 1,
    .n_positional = 1,
    .n_required_positional = 1,
    .n_required_keyword = 0,
};

}  // namespace

PyObject* graph_store_outputs(PyObject* self, PyObject*) {
  return guard_call([&]() -> PyObject* { return ids_to_py(store_of(self).outputs()); });
}

PyObject* graph_store_node_count(PyObject* self, PyObject*) {
  return guard_call([&]() -> PyObject* { return id_to_py(store_of(self).node_count()); });
}

PyObject* graph_store_to_dot(PyObject* self, PyObject*) {
  return guard_call([&]() -> PyObject* {
    Cancel cancel = interrupt_cancel();
    // The text is written straight into a str, as ASCII until shown otherwise.
    PyRef text;
    const bool ascii = to_dot(store_of(self), cancel,
                              [&](std::size_t size) { return resize_ascii_str(text, size); });
    return ascii_or_decoded(std::move(text), ascii);
  });
}

PyObject* graph_store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kSerializeArgs, args, nargs, kwnames, a)) return nullptr;
    NodeIds given;
    const bool own_marks = a[0] == nullptr || a[0] == Py_None;
    if (!own_marks && !ids_from_py(a[0], given)) return argument_error("outputs");
    const NodeRecords records = store_of(self).records();
    const NodeIds& outputs = own_marks ? records.outputs() : given;
    for (const NodeId id : outputs) {
      if (id >= records.size()) return map_err(BadNodeId{id});
    }
    // A large blob is written straight into the bytes object, which grows as
    // it fills and is cut to the blob's size at the end; a small one goes to
    // a local buffer first and into a bytes object of its exact size.
    BytesOut bytes;
    const auto written =
        serialize_into(records, outputs, [&](std::size_t size) { return bytes.resize(size); });
    if (!written) return raise_value_error(written.error().message);
    return bytes.release();
  });
}

PyObject* graph_store_deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kDeserializeArgs, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    if (!PyBytes_Check(data)) {
      raise_wrong_type(data, "bytes");
      return argument_error("data");
    }
    // A view of the bytes object, which the caller keeps alive for the call.
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
        static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    Cancel cancel = interrupt_cancel();
    Result<GraphStore, DecodeError> store = deserialize(bytes, cancel);
    if (!store) return raise_value_error(store.error().message());
    return wrap_store(std::move(store).value());
  });
}

}  // namespace tessary::py
