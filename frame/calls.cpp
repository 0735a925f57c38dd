// calls.cpp - calls into Python made as the interpreter makes them: the
// instance check, the method behind a class's Python-level __call__, and a
// call with a dict's entries as keywords.
#include "frame.hpp"

namespace frame {

int is_instance(Module& m, PyObject* v, PyObject* cls) noexcept {
  if (Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(cls))) return 1;
  PyTypeObject* meta = Py_TYPE(cls);
  const bool type_hook =
      meta == &PyType_Type ||
      (PyType_FastSubclass(meta, Py_TPFLAGS_TYPE_SUBCLASS) && m.type_instancecheck != nullptr &&
       _PyType_Lookup(meta, m.s.dunder_instancecheck) == m.type_instancecheck);
  if (type_hook) {
    // type's own check: the subtype test on type(v), then the same test on
    // v.__class__ when that is another class. Where attribute access is the
    // generic one and __class__ is object's own descriptor, v.__class__ is
    // type(v), so the first test is the whole answer and nothing runs.
    PyTypeObject* tp = Py_TYPE(v);
    if (PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(cls))) return 1;
    if (tp->tp_getattro == PyObject_GenericGetAttr && m.object_class != nullptr &&
        _PyType_Lookup(tp, m.s.dunder_class) == m.object_class) {
      return 0;
    }
  }
  // The interpreter would look __instancecheck__ up on the metaclass, bind it
  // and call it. Where that is type's own hook, the method descriptor is
  // called here unbound, with the class in front: the same check without the
  // bound method and the argument tuple.
  if (type_hook && meta != &PyType_Type) {
    // CAUTION: may read v.__class__, which can run Python code; the caller
    // holds v and cls strongly.
    PyObject* args[] = {cls, v};
    Ref r = Ref::steal(PyObject_Vectorcall(m.type_instancecheck, args, 2, nullptr));
    return r ? r.get() == Py_True : -1;
  }
  // CAUTION: a metaclass __instancecheck__ may run any Python code; the
  // caller holds `v` strongly.
  return PyObject_IsInstance(v, cls);
}

PyObject* python_call_method(Module& m, PyObject* callable) noexcept {
  PyTypeObject* tp = Py_TYPE(callable);
  // A callable with vectorcall of its own is never called through tp_call.
  if (m.generic_call_slot == nullptr || tp->tp_call != m.generic_call_slot ||
      PyVectorcall_Function(callable) != nullptr) {
    return nullptr;
  }
  // What the slot looks up; a method descriptor is called unbound, with no
  // __get__, so nothing runs before the call itself.
  Ref meth = Ref::steal(type_lookup_ref(tp, m.s.dunder_call));
  if (!meth || !PyType_HasFeature(Py_TYPE(meth.get()), Py_TPFLAGS_METHOD_DESCRIPTOR) ||
      PyVectorcall_Function(meth.get()) == nullptr) {
    return nullptr;
  }
  return meth.release();
}

PyObject* call_with_kwargs(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwargs) noexcept {
  const Py_ssize_t n = PyDict_GET_SIZE(kwargs);
  // Room for the vectorcall offset slot, the positionals and the keyword
  // values of a typical model input; larger calls take the heap.
  constexpr Py_ssize_t kOnStack = 16;
  if (nargs <= kMaxParams && n <= kOnStack - 1 - kMaxParams) {
    // CAUTION: making the names tuple may start a garbage collection, which
    // runs finalizers and gc.callbacks; the entries are read only after it,
    // and only if the size still holds.
    Ref names;
    if (n > 0 && !(names = Ref::steal(PyTuple_New(n)))) return nullptr;
    PyObject* stack[kOnStack];
    Py_ssize_t i = 0;
    bool strings = true;
    bool same = false;
    // An exact dict read in place runs no code: the names and values are
    // strong before anything else can. Without the GIL, under the dict's own
    // lock, as the interpreter reads it.
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    same = PyDict_GET_SIZE(kwargs) == n;
    if (same) {
      Py_ssize_t pos = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (i < n && PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
          strings = false;
          break;
        }
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(key));
        stack[1 + nargs + i++] = Py_NewRef(value);
      }
    }
    Py_END_CRITICAL_SECTION();
    if (same) {
      stack[0] = nullptr;
      for (Py_ssize_t j = 0; j < nargs; ++j) stack[1 + j] = args[j];
      PyObject* result = nullptr;
      if (strings) {
        result = PyObject_Vectorcall(callable, stack + 1,
                                     static_cast<size_t>(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     n > 0 ? names.get() : nullptr);
      }
      for (Py_ssize_t j = 0; j < i; ++j) Py_DECREF(stack[1 + nargs + j]);
      if (strings) return result;
    }
  }
  // A large call, a key that is no str (the interpreter's own unpacking
  // words that error) or a dict that changed above: the interpreter's path,
  // over a copy no other code holds, made by the merge that stops on a
  // concurrent change.
  Ref copy = Ref::steal(dict_of(kwargs));
  if (!copy) return nullptr;
  return PyObject_VectorcallDict(callable, args, static_cast<size_t>(nargs), copy.get());
}

}  // namespace frame
