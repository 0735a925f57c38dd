// _passfloor.cpp - a benchmark aid: the least a call of an extension's own
// callable type can cost. An object of this type, called with its number of
// positional arguments, hands back the first one, as split_batch(tuple),
// example_tensor(tensor) and set_primary_input(tensor) hand back one of
// theirs. Built by bench/run.py on demand for its instruction mode; never
// shipped.
//
// The floor `len(x)` of those paths is a call the interpreter specializes for
// that one builtin, and a METH_O builtin skips the generic call path too; a
// function type of our own (it has attributes no builtin function has) goes
// through that path whatever its body does. So the fair floor is a type of
// our own with the same entry: the vectorcall slot, no recursion guard, no
// frame, and the two tests every well-formed callable makes (no keywords,
// the right argument count) before handing the argument back.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstddef>

namespace {

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kSsizeMember = Py_T_PYSSIZET;
constexpr int kReadOnly = Py_READONLY;
#else
constexpr int kSsizeMember = T_PYSSIZET;
constexpr int kReadOnly = READONLY;
#endif

struct PassObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Py_ssize_t nargs;  // the positional arguments a call must give
};

PyTypeObject* pass_type = nullptr;

PyObject* pass_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) noexcept {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (kwnames == nullptr && nargs == reinterpret_cast<PassObject*>(self)->nargs) {
    return Py_NewRef(args[0]);
  }
  PyErr_Format(PyExc_TypeError, "pass-through floor takes exactly %zd positional arguments",
               reinterpret_cast<PassObject*>(self)->nargs);
  return nullptr;
}

void pass_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(tp);
}

PyMemberDef pass_members[] = {
    {"__vectorcalloffset__", kSsizeMember, offsetof(PassObject, vectorcall), kReadOnly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot pass_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pass_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, pass_members},
    {0, nullptr},
};

// The flags of the modules' own function type that bear on a call.
PyType_Spec pass_spec = {
    "_passfloor.PassThrough",
    sizeof(PassObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pass_slots,
};

// make(n): an object that takes exactly n positional arguments (n >= 1) and
// returns the first.
PyObject* pf_make(PyObject*, PyObject* arg) noexcept {
  const Py_ssize_t n = PyLong_AsSsize_t(arg);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (n < 1) {
    PyErr_SetString(PyExc_ValueError, "a pass-through floor takes at least one argument");
    return nullptr;
  }
  PassObject* p = PyObject_New(PassObject, pass_type);
  if (p == nullptr) return nullptr;
  p->vectorcall = pass_vectorcall;
  p->nargs = n;
  return reinterpret_cast<PyObject*>(p);
}

PyMethodDef pf_methods[] = {
    {"make", pf_make, METH_O, "An object that takes n positional arguments and returns the first."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef pf_def = {PyModuleDef_HEAD_INIT,
                      "_passfloor",
                      nullptr,
                      -1,
                      pf_methods,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__passfloor(void) {
  if (pass_type == nullptr) {
    pass_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&pass_spec));
    if (pass_type == nullptr) return nullptr;
  }
  return PyModule_Create(&pf_def);
}
