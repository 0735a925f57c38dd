// args.hpp - argument annotation checks (args.cpp).
//
// Conventions: PyObject* parameters are borrowed, PyObject* results are new
// references; failures return nullptr or -1 with the error indicator set.
// Nothing here throws.
#pragma once

#include "ref.hpp"

namespace frame {

// Argument annotation enforcement.
// TypeError "Argument '<argname>' has incorrect type (expected <t>, got
// <type(v)>)" unless type(v) is exactly `t` (names cut at 200 bytes); a
// subclass of a builtin type gets ". " and the note that explains why. 0 or -1.
int raise_incorrect_type(PyObject* v, PyTypeObject* t, const char* argname) noexcept;
inline int check_exact_type(PyObject* v, PyTypeObject* t, const char* argname) noexcept {
  return Py_IS_TYPE(v, t) ? 0 : raise_incorrect_type(v, t, argname);
}
// The `int` annotation: exact int kept, numbers through int(), anything else
// the incorrect-type TypeError. New reference.
PyObject* convert_int_arg(PyObject* v, const char* argname) noexcept;

}  // namespace frame
