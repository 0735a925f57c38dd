// The frame's reads of the interpreter's own layout (layout.hpp, through
// compat.hpp's names), built on their own
// against the interpreter running the tests, so that a test can hold each
// one to what the public API says about the same object.
#include "compat.hpp"

namespace {

int probe_watcher = -1;

PyObject* probe_no_instance_attributes(PyObject*, PyObject* obj) {
  return PyBool_FromLong(frame::no_instance_attributes(obj));
}

PyObject* probe_cached_hash(PyObject*, PyObject* s) {
  if (!PyUnicode_CheckExact(s)) {
    PyErr_SetString(PyExc_TypeError, "an exact str");
    return nullptr;
  }
  return PyLong_FromSsize_t(frame::str_cached_hash(s));
}

PyObject* probe_type_version(PyObject*, PyObject* tp) {
  if (!PyType_Check(tp)) {
    PyErr_SetString(PyExc_TypeError, "a type");
    return nullptr;
  }
  return PyLong_FromUnsignedLong(frame::type_version(reinterpret_cast<PyTypeObject*>(tp)));
}

// Watches `d` as the look-up caches do before they fill from it.
PyObject* probe_watch(PyObject*, PyObject* d) {
  if (!PyDict_CheckExact(d)) {
    PyErr_SetString(PyExc_TypeError, "an exact dict");
    return nullptr;
  }
  if (probe_watcher < 0) probe_watcher = frame::dict_watcher_add();
  if (probe_watcher < 0) Py_RETURN_FALSE;  // none: the caches stay empty
  if (frame::dict_watch(probe_watcher, d) < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no dict watcher");
    return nullptr;
  }
  Py_RETURN_TRUE;
}

PyObject* probe_dict_version(PyObject*, PyObject* d) {
  return PyLong_FromUnsignedLongLong(frame::dict_version(d));
}

// The reads this build left to their fallbacks, by name.
PyObject* probe_fallbacks(PyObject*, PyObject*) {
  static const struct {
    unsigned bit;
    const char* name;
  } kNames[] = {{frame::kNoManagedDictRead, "managed_dict"},
                {frame::kNoTypeVersionRead, "type_version"},
                {frame::kNoDictVersionRead, "dict_version"},
                {frame::kNoStrHashRead, "str_hash"}};
  PyObject* out = PyFrozenSet_New(nullptr);
  for (const auto& n : kNames) {
    if (out != nullptr && (frame::kLayoutFallbacks & n.bit) != 0) {
      PyObject* s = PyUnicode_FromString(n.name);
      if (s == nullptr || PySet_Add(out, s) < 0) Py_CLEAR(out);
      Py_XDECREF(s);
    }
  }
  return out;
}

PyMethodDef probe_methods[] = {
    {"fallbacks", probe_fallbacks, METH_NOARGS, nullptr},
    {"no_instance_attributes", probe_no_instance_attributes, METH_O, nullptr},
    {"cached_hash", probe_cached_hash, METH_O, nullptr},
    {"type_version", probe_type_version, METH_O, nullptr},
    {"watch", probe_watch, METH_O, nullptr},
    {"dict_version", probe_dict_version, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_layout_probe", nullptr, -1, probe_methods};

}  // namespace

PyMODINIT_FUNC PyInit__layout_probe(void) {
  PyObject* m = PyModule_Create(&probe_def);
#ifdef Py_GIL_DISABLED
  if (m != nullptr) PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED);
#endif
  return m;
}
