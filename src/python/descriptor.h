// The Python PayloadDescriptor class: an immutable holder of one core
// PayloadDescriptor, built from keyword-only fields and read through six
// read-only attributes.
#pragma once

#include <Python.h>

#include "ir/payload_descriptor.h"

namespace tessary::py {

struct PyPayloadDescriptor {
  PyObject_HEAD PayloadDescriptor value;
};

// The class, created once per process. Borrowed; nullptr with an error set.
PyTypeObject* payload_descriptor_type();

// The descriptor held by `obj` when it is a PayloadDescriptor instance, else
// nullptr (no error set).
const PayloadDescriptor* payload_descriptor_value(PyObject* obj);

}  // namespace tessary::py
