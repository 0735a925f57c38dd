// calls.hpp - calls into Python code made as the interpreter makes them:
// isinstance by the full protocol, the method behind a class's Python-level
// __call__, a call with a dict's entries as keywords, dict(x) (calls.cpp).
//
// Conventions: PyObject* parameters are borrowed, PyObject* results are new
// references; failures return nullptr or -1 with the error indicator set.
// Nothing here throws.
#pragma once

#include "module.hpp"

namespace frame {

// isinstance(v, cls) by the interpreter's full protocol. Where the class's
// metaclass inherits type's own __instancecheck__, the check that hook would
// make is made directly, without the bound method and argument tuple the
// generic path builds for the call. 1 true, 0 false, -1 error.
int is_instance(Module& m, PyObject* v, PyObject* cls) noexcept;

// The method that calling `callable` runs, when that call goes through the
// interpreter's generic call slot of a class with a Python-level __call__ and
// the type's __call__ is a method descriptor with vectorcall (a function, in
// practice): the slot would look it up on the type exactly so and call it
// with `callable` in front of the arguments. Calling it that way directly
// skips the argument tuple and keyword dict the slot takes. New reference,
// or nullptr (no error set) for any other callable.
PyObject* python_call_method(Module& m, PyObject* callable) noexcept;

// callable(*args, **kwargs) for an exact dict `kwargs`, as `callable(*args,
// **kwargs)` in Python makes it: the callee sees the entries the dict held
// when the call was made, never the dict itself, and nothing the dict does
// meanwhile (code run by a garbage collection may grow it) reaches arrays
// sized for its old contents. New reference.
PyObject* call_with_kwargs(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwargs) noexcept;

// dict(x): always a new plain dict. For an exact dict that is what the
// interpreter's dict(x) does itself: an empty dict, then the merge of x into
// it (without the type call around it), a merge that stops on a concurrent
// change. A subclass goes through the call, so its keys and item access run
// by the interpreter's rules for a mapping. New reference.
inline PyObject* dict_of(PyObject* x) noexcept {
  if (!PyDict_CheckExact(x))
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), x);
  Ref out = Ref::steal(PyDict_New());
  if (!out || PyDict_Merge(out.get(), x, 1) < 0) return nullptr;
  return out.release();
}

}  // namespace frame
