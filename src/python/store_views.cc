// GraphStore's read-only views (nodes, outputs, node_count, to_dot) and its
// persistence bindings (serialize, deserialize). Each reads the store through
// one locked core operation and builds its Python result from the copy.
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
#include "python/py_ref.h"
#include "python/static_str.h"

namespace tessary::py {
namespace {

// Keys of a node entry, in insertion order, and of a stage member entry.
StaticStr g_id("id");
StaticStr g_output("output");
StaticStr g_inputs("inputs");
StaticStr g_kind("kind");
StaticStr g_name("name");
StaticStr g_params("params");
StaticStr g_descriptor("descriptor");
StaticStr g_n_members("n_members");
StaticStr g_members("members");
// Operand tags of a stage member.
StaticStr g_input_tag("input");
StaticStr g_member_tag("member");

// Kind names, indexed by NodeKind.
StaticStr g_kind_names[] = {StaticStr("source"),   StaticStr("op"),    StaticStr("reduction"),
                            StaticStr("external"), StaticStr("stage"), StaticStr("exchange")};

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

// dict[key] = value, taking ownership of `value` (which may be nullptr after
// a failed conversion). False with an error set.
bool set(PyObject* dict, StaticStr& key, PyObject* value) {
  PyRef held = PyRef::steal(value);
  PyObject* name = key.get();
  return held && name != nullptr && PyDict_SetItem(dict, name, held.get()) == 0;
}

PyObject* operand_view(const StageRef& ref) {
  PyObject* tag = (ref.tag == StageRef::Tag::kInput ? g_input_tag : g_member_tag).get();
  if (tag == nullptr) return nullptr;
  PyRef index = PyRef::steal(PyLong_FromUnsignedLongLong(ref.index));
  if (!index) return nullptr;
  return PyTuple_Pack(2, tag, index.get());
}

PyObject* member_view(const StageOp& member) {
  const std::optional<ParsedOpToken> parsed = parse_op_token(member.op);
  if (!parsed) return raise_unparseable_member(member.op);
  PyRef operands = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(member.refs.size())));
  if (!operands) return nullptr;
  for (std::size_t i = 0; i < member.refs.size(); ++i) {
    PyObject* operand = operand_view(member.refs[i]);
    if (operand == nullptr) return nullptr;
    PyList_SET_ITEM(operands.get(), static_cast<Py_ssize_t>(i), operand);  // steals
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set(dict.get(), g_kind, str_to_py(parsed->kind)) ||
      !set(dict.get(), g_name, str_to_py(parsed->name)) ||
      !set(dict.get(), g_params, params_to_py(parsed->params)) ||
      !set(dict.get(), g_inputs, operands.release())) {
    return nullptr;
  }
  return dict.release();
}

PyObject* members_view(const std::vector<StageOp>& members) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(members.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < members.size(); ++i) {
    PyObject* member = member_view(members[i]);
    if (member == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), member);  // steals
  }
  return list.release();
}

// Everything after "inputs": kind, name, params, then the kind's extras.
bool set_kind_fields(PyObject* dict, const NodeKey& key) {
  if (!set(dict, g_kind, Py_XNewRef(g_kind_names[static_cast<int>(key.kind())].get()))) {
    return false;
  }
  if (const auto* source = key.get_if<Source>()) {
    return set(dict, g_name, str_to_py(source->name)) &&
           set(dict, g_params, params_to_py(source->params));
  }
  if (const auto* op = key.get_if<Op>()) {
    return set(dict, g_name, str_to_py(op->name)) && set(dict, g_params, params_to_py(op->params));
  }
  if (const auto* reduction = key.get_if<Reduction>()) {
    return set(dict, g_name, str_to_py(reduction->name)) &&
           set(dict, g_params, params_to_py(reduction->params));
  }
  if (const auto* external = key.get_if<External>()) {
    return set(dict, g_name, str_to_py("")) &&
           set(dict, g_params, params_to_py(external->params)) &&
           set(dict, g_descriptor, descriptor_to_py(*external->descriptor));
  }
  if (const auto* exchange = key.get_if<Exchange>()) {
    return set(dict, g_name, str_to_py("")) && set(dict, g_params, params_to_py(exchange->params));
  }
  const auto& stage = std::get<Stage>(key.variant());
  return set(dict, g_name, str_to_py("")) && set(dict, g_params, PyDict_New()) &&
         set(dict, g_n_members, PyLong_FromSize_t(stage.members.size())) &&
         set(dict, g_members, members_view(stage.members));
}

PyObject* node_view(NodeId id, const NodeKey& key, bool output) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set(dict.get(), g_id, id_to_py(id)) ||
      !set(dict.get(), g_output, PyBool_FromLong(output)) ||
      !set(dict.get(), g_inputs, ids_to_py(key.inputs())) || !set_kind_fields(dict.get(), key)) {
    return nullptr;
  }
  return dict.release();
}

PyObject* bytes_to_py(const std::vector<std::uint8_t>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

}  // namespace

PyObject* graph_store_nodes(PyObject* self, PyObject*) {
  return guard_call([&]() -> PyObject* {
    const Snapshot snapshot = store_of(self).snapshot();
    // Marks are ids below the node count, so they index a flag per node.
    std::vector<bool> marked(snapshot.nodes.size(), false);
    for (const NodeId id : snapshot.outputs) {
      if (id < marked.size()) marked[id] = true;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(snapshot.nodes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < snapshot.nodes.size(); ++i) {
      PyObject* entry = node_view(i, snapshot.nodes[i], marked[i]);
      if (entry == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);  // steals
    }
    return list.release();
  });
}

PyObject* graph_store_outputs(PyObject* self, PyObject*) {
  return guard_call([&]() -> PyObject* { return ids_to_py(store_of(self).outputs()); });
}

PyObject* graph_store_node_count(PyObject* self, PyObject*) {
  return guard_call([&]() -> PyObject* { return id_to_py(store_of(self).node_count()); });
}

PyObject* graph_store_to_dot(PyObject* self, PyObject*) {
  return guard_call([&]() -> PyObject* { return str_to_py(to_dot(store_of(self))); });
}

PyObject* graph_store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kSerializeArgs, args, nargs, kwnames, a)) return nullptr;
    GraphStore& store = store_of(self);
    NodeIds outputs;
    if (a[0] == nullptr || a[0] == Py_None) {
      outputs = store.outputs();
    } else {
      if (!ids_from_py(a[0], outputs)) return argument_error("outputs");
      // Stores only grow, so ids valid now stay valid for the write below.
      if (const auto checked = store.check_ids(outputs); !checked) return map_err(checked.error());
    }
    const auto blob = serialize_with(store, outputs);
    if (!blob) return raise_value_error(blob.error().message);
    return bytes_to_py(blob.value());
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
    Result<GraphStore, DecodeError> store = deserialize(bytes);
    if (!store) return raise_value_error(store.error().message());
    return wrap_store(std::move(store).value());
  });
}

}  // namespace tessary::py
