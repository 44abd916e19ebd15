// StaticStr: an interned Python str made on first use and kept for the life
// of the process, for the names the module uses again and again (dict keys of
// the views, descriptor fields, kind names).
#pragma once

#include <Python.h>

namespace tessary::py {

class StaticStr {
 public:
  explicit constexpr StaticStr(const char* text) : text_(text) {}
  StaticStr(const StaticStr&) = delete;
  StaticStr& operator=(const StaticStr&) = delete;

  // Borrowed; nullptr with an error set when it cannot be made.
  PyObject* get() {
    if (obj_ == nullptr) obj_ = PyUnicode_InternFromString(text_);
    return obj_;
  }
  const char* text() const { return text_; }

 private:
  const char* text_;
  PyObject* obj_ = nullptr;
};

}  // namespace tessary::py
