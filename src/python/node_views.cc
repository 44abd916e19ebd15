// GraphStore.nodes(): one fresh dict per node, built straight from the
// store's records. Every dict and list is new (callers may change them); the
// immutable values in them (ints, strs, bools, None) are shared where equal:
// node i's id object is the one every later input list that names i holds,
// and each pooled string is made into a str once per call.
#include <array>
#include <bit>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "ir/node_records.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/graph_store.h"
#include "python/interrupt.h"
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

// dict[key] = value, taking ownership of `value` (which may be nullptr after
// a failed conversion). False with an error set.
bool set(PyObject* dict, PyObject* key, PyObject* value) {
  PyRef held = PyRef::steal(value);
  return held && key != nullptr && PyDict_SetItem(dict, key, held.get()) == 0;
}

bool set(PyObject* dict, StaticStr& key, PyObject* value) { return set(dict, key.get(), value); }

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

// Builds the entries of one nodes() call from the records it read.
class NodeViews {
 public:
  explicit NodeViews(const NodeRecords& records)
      : records_(records),
        ids_(records.size()),
        strings_(records.strings().size()),
        shapes_(2 * std::size(g_kind_names)) {}

  // A new reference to the entry of node `id`; nullptr with an error set.
  // Nodes come in id order.
  PyObject* node(NodeId id, bool output) {
    PyObject* id_obj = PyLong_FromUnsignedLongLong(id);
    if (id_obj == nullptr) return nullptr;
    ids_[id] = PyRef::steal(id_obj);
    if (read_ahead_) {
      read_ahead(id);
      const Ahead& own = ahead_[id % ahead_.size()];
      if (!own.decoded) return stage_node(id, id_obj, output);
      key_ = &own.key;
    } else {
      if (!records_.decode(id, ahead_[0].key)) return stage_node(id, id_obj, output);
      key_ = &ahead_[0].key;
    }
    PyObject* shape = entry_shape(output);
    if (shape == nullptr) return nullptr;
    PyRef dict = PyRef::steal(PyDict_Copy(shape));
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (!set(d, g_id, Py_NewRef(id_obj)) || !set(d, g_inputs, inputs(key_->inputs.span())) ||
        (has_name(key_->kind) && !set(d, g_name, string(key_->name))) ||
        !set(d, g_params, params())) {
      return nullptr;
    }
    if (key_->kind == NodeKind::kExternal && !set(d, g_descriptor, descriptor())) return nullptr;
    return dict.release();
  }

 private:
  // A new reference to the str of pooled string `index`, made on first use.
  PyObject* string(std::uint32_t index) {
    PyRef& slot = strings_[index];
    if (!slot) slot = PyRef::steal(str_to_py(records_.string(index)));
    return Py_XNewRef(slot.get());
  }

  // The entry that every node of key_'s kind and mark starts from,
  // borrowed: {"id": None, "output": <mark>, "inputs": None, "kind": <kind>,
  // "name": None for a named kind and "" for the rest, "params": None}, and
  // "descriptor": None for an external. Copying it copies its key table and
  // the shared values as they are, so an entry is made with only its own
  // values left to set. Shapes are not kept per name: on graphs whose names
  // do not repeat, that would build and keep one more dict per node.
  PyObject* entry_shape(bool output) {
    const NodeKind kind = key_->kind;
    PyRef& slot = shapes_[2 * static_cast<std::size_t>(kind) + output];
    if (slot) return slot.get();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (!set(d, g_id, Py_NewRef(Py_None)) ||
        !set(d, g_output, Py_NewRef(output ? Py_True : Py_False)) ||
        !set(d, g_inputs, Py_NewRef(Py_None)) ||
        !set(d, g_kind, Py_XNewRef(g_kind_names[static_cast<int>(kind)].get())) ||
        !set(d, g_name, has_name(kind) ? Py_NewRef(Py_None) : str_to_py("")) ||
        !set(d, g_params, Py_NewRef(Py_None))) {
      return nullptr;
    }
    if (kind == NodeKind::kExternal && !set(d, g_descriptor, Py_NewRef(Py_None))) return nullptr;
    slot = std::move(dict);
    return slot.get();
  }

  // The id objects that inputs share are those of earlier nodes, anywhere
  // in memory once a store outgrows the caches, so nodes of a large store
  // are decoded a few places ahead: on decoding, the
  // table entries of a node's inputs are fetched, and some nodes later the
  // id objects those entries point at, so that neither load waits when the
  // node's turn comes. Called for node `id` once its own id object is made.
  void read_ahead(NodeId id) {
    for (; next_ < records_.size() && next_ <= id + kDecodeAhead; ++next_) {
      Ahead& slot = ahead_[next_ % ahead_.size()];
      slot.decoded = records_.decode(next_, slot.key);
      if (!slot.decoded) continue;
      for (const NodeId input : slot.key.inputs) __builtin_prefetch(&ids_[input]);
    }
    // Inputs of that node precede it by at least one, so their id objects
    // exist.
    const NodeId later = id + kObjectAhead;
    if (later < records_.size()) {
      const Ahead& slot = ahead_[later % ahead_.size()];
      if (!slot.decoded) return;
      for (const NodeId input : slot.key.inputs) {
        if (input <= id) __builtin_prefetch(ids_[input].get(), 1);
      }
    }
  }

  // Inputs name earlier nodes, whose id objects are made already.
  PyObject* inputs(std::span<const NodeId> ids) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(ids.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef(ids_[ids[i]].get()));
    }
    return list;
  }

  PyObject* value(const DecodedParam& p) {
    switch (p.tag) {
      case ParamTag::kInt:
        return PyLong_FromLongLong(static_cast<std::int64_t>(p.bits));
      case ParamTag::kFloat:
        return PyFloat_FromDouble(std::bit_cast<double>(p.bits));
      case ParamTag::kBool:
        return Py_NewRef(p.bits != 0 ? Py_True : Py_False);
      case ParamTag::kStr:
        return string(static_cast<std::uint32_t>(p.bits));
    }
    return raise_panic("unknown parameter tag");
  }

  PyObject* params() {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const DecodedParam& p : key_->params) {
      PyRef name = PyRef::steal(string(p.key));
      if (!set(dict.get(), name.get(), value(p))) return nullptr;
    }
    return dict.release();
  }

  PyObject* descriptor() {
    DescriptorView d;
    for_each_required_field(
        [&](std::size_t i, std::string_view& field) {
          field = records_.string(key_->descriptor[i]);
        },
        d);
    if (key_->has_preprocessing_ref) d.preprocessing_ref = records_.string(key_->preprocessing_ref);
    return descriptor_to_py(d);
  }

  PyObject* stage_node(NodeId id, PyObject* id_obj, bool output) {
    const NodeKey key = records_.key(id);
    const Stage& stage = std::get<Stage>(key.variant());
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || !set(dict.get(), g_id, Py_NewRef(id_obj)) ||
        !set(dict.get(), g_output, PyBool_FromLong(output)) ||
        !set(dict.get(), g_inputs, inputs(stage.inputs)) ||
        !set(dict.get(), g_kind, Py_XNewRef(g_kind_names[static_cast<int>(key.kind())].get())) ||
        !set(dict.get(), g_name, str_to_py("")) || !set(dict.get(), g_params, PyDict_New()) ||
        !set(dict.get(), g_n_members, PyLong_FromSize_t(stage.members.size())) ||
        !set(dict.get(), g_members, members_view(stage.members))) {
      return nullptr;
    }
    return dict.release();
  }

  // A node decoded ahead of its turn; `decoded` is false for a stage.
  struct Ahead {
    DecodedKey key;
    bool decoded = false;
  };
  // How far ahead nodes are decoded, and their inputs' id objects fetched,
  // in stores of at least kReadAheadNodes nodes; in smaller ones everything
  // is at hand and fetching ahead only costs time.
  static constexpr std::size_t kDecodeAhead = 4;
  static constexpr std::size_t kObjectAhead = 2;
  static constexpr std::size_t kReadAheadNodes = std::size_t{1} << 16;

  const NodeRecords& records_;
  std::array<Ahead, kDecodeAhead + 1> ahead_;
  const bool read_ahead_ = records_.size() >= kReadAheadNodes;
  std::size_t next_ = 0;             // the next node to decode ahead
  std::vector<PyRef> ids_;           // ids_[i]: node i's id object, once made
  std::vector<PyRef> strings_;       // strings_[i]: pooled string i as a str, once made
  std::vector<PyRef> shapes_;        // entry shapes by kind and mark
  const DecodedKey* key_ = nullptr;  // the node being built, in ahead_
};

// Keeps the cyclic collector off for one scope, unless it was off already.
// The entries cannot form cycles, so collections started by their
// allocations (the interrupt poll runs any that are due) would only walk
// them again and again; once it is back on, the collector meets them once.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace

PyObject* graph_store_nodes(PyObject* self, PyObject*) {
  return guard_call([&]() -> PyObject* {
    const NodeRecords records = store_of(self).records();
    const std::vector<bool> marked = records.output_flags();
    NodeViews views(records);
    Cancel cancel = interrupt_cancel();
    const CollectorPause pause;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
      cancel.check();
      PyObject* entry = views.node(i, marked[i]);
      if (entry == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);  // steals
    }
    return list.release();
  });
}

}  // namespace tessary::py
