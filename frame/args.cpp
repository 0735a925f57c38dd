// args.cpp - argument annotation checks: the exact-type check's failure
// and the `int` conversion.
#include "frame.hpp"

namespace frame {

// CONTRACT: the words of both errors, the note on subclasses included, are
// this package's own, which callers match on and the tests pin.

// The cold half of check_exact_type: the type is not exactly `t`.
int raise_incorrect_type(PyObject* v, PyTypeObject* t, const char* argname) noexcept {
  const bool subclass = PyType_IsSubtype(Py_TYPE(v), t);
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s", argname,
               t->tp_name, Py_TYPE(v)->tp_name, subclass ? ". " : "",
               subclass ? "This argument check is stricter than PEP-484 and rejects "
                          "subclasses of builtin types. If you need to pass subclasses "
                          "then set the 'annotation_typing' directive to False."
                        : "");
  return -1;
}

PyObject* convert_int_arg(PyObject* v, const char* argname) noexcept {
  if (PyLong_CheckExact(v)) return Py_NewRef(v);
  if (PyNumber_Check(v)) return PyNumber_Long(v);
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname, "int",
               Py_TYPE(v)->tp_name);
  return nullptr;
}

}  // namespace frame
