#include "python/descriptor.h"

#include <new>
#include <string>
#include <utility>

#include "python/args.h"
#include "python/convert.h"
#include "python/docstrings.h"
#include "python/errors.h"
#include "python/heap_type.h"

namespace tessary::py {
namespace {

PyTypeObject* g_type = nullptr;

PyPayloadDescriptor* as_descriptor(PyObject* self) {
  return reinterpret_cast<PyPayloadDescriptor*>(self);
}

const ArgSpec kNewArgs{
    .function = "PayloadDescriptor.__new__()",
    .names = {"kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"},
    .n_params = 6,
    .n_positional = 0,
    .n_required_positional = 0,
    .n_required_keyword = 5,
};

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_call([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_args(kNewArgs, args, kwargs, a)) return nullptr;
    PayloadDescriptor value;
    // The first five parameters are the required fields, in walk order.
    std::size_t bad = kDescriptorFieldNames.size();
    for_each_required_field(
        [&](std::size_t i, std::string& field) {
          if (str_from_py(a[i], field)) return true;
          bad = i;
          return false;
        },
        value);
    if (bad != kDescriptorFieldNames.size()) return argument_error(kNewArgs.names[bad]);
    if (a[5] != nullptr && a[5] != Py_None) {
      std::string ref;
      if (!str_from_py(a[5], ref)) return argument_error(kNewArgs.names[5]);
      value.preprocessing_ref = std::move(ref);
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_descriptor(self)->value) PayloadDescriptor(std::move(value));  // noexcept
    return self;
  });
}

void descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_descriptor(self)->value.~PayloadDescriptor();
  type->tp_free(self);
  Py_DECREF(type);
}

template <std::string PayloadDescriptor::*kField>
PyObject* get_field(PyObject* self, void*) {
  return str_to_py(as_descriptor(self)->value.*kField);
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
  const auto& ref = as_descriptor(self)->value.preprocessing_ref;
  return ref ? str_to_py(*ref) : Py_NewRef(Py_None);
}

// Read-only: no setters, so assignment raises AttributeError.
PyGetSetDef kGetSet[] = {
    {"kind", get_field<&PayloadDescriptor::kind>, nullptr, kDescriptorFieldDoc, nullptr},
    {"content_hash", get_field<&PayloadDescriptor::content_hash>, nullptr, kDescriptorFieldDoc,
     nullptr},
    {"framework", get_field<&PayloadDescriptor::framework>, nullptr, kDescriptorFieldDoc, nullptr},
    {"version", get_field<&PayloadDescriptor::version>, nullptr, kDescriptorFieldDoc, nullptr},
    {"io_schema", get_field<&PayloadDescriptor::io_schema>, nullptr, kDescriptorFieldDoc, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, kDescriptorFieldDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kPayloadDescriptorDoc)},
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (not subclassable) and no __dict__ (no attributes
// beyond the six).
PyType_Spec kSpec = {
    "tessary_core.PayloadDescriptor",
    sizeof(PyPayloadDescriptor),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyTypeObject* payload_descriptor_type() { return heap_type_once(kSpec, g_type); }

const PayloadDescriptor* payload_descriptor_value(PyObject* obj) {
  // The class cannot be subclassed, so an exact type test is an instance test.
  if (g_type == nullptr || Py_TYPE(obj) != g_type) return nullptr;
  return &as_descriptor(obj)->value;
}

}  // namespace tessary::py
