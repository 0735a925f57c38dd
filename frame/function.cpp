// function.cpp - the function type of the native modules: vectorcall entry,
// argument binding with the interpreter's messages, attributes, GC support.

#include "frame.hpp"

namespace frame {
namespace {

// ------------------------------------------------------------------ binding

FRAME_NOINLINE void fn_raise_count(const FnDef& d, const FnRuntime& r, Py_ssize_t given,
                                   bool too_many) {
  const int n = d.code.argcount;
  const char* word = "exactly";
  Py_ssize_t count = n;
  if (r.nrequired != n) {
    word = too_many ? "at most" : "at least";
    count = too_many ? n : r.nrequired;
  }
  // CONTRACT: the interpreter's own words for this failure; tests pin them.
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               d.code.name, word, count, count == 1 ? "" : "s", given);
}

// Binds positionals and keywords into `bound` (borrowed references).
FRAME_NOINLINE int fn_bind(const FnDef& d, const FnRuntime& r, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
  const int n = d.code.argcount;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > n || (nkw == 0 && nargs < r.nrequired)) {
    fn_raise_count(d, r, nargs, nargs > n);
    return -1;
  }
  for (int i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int idx = -1;
    for (int i = 0; i < n; ++i) {
      if (r.params[i] == key) {
        idx = i;
        break;
      }
    }
    if (idx < 0) {
      if (!PyUnicode_Check(key)) {
        // CONTRACT: the interpreter's own words for this failure; tests pin them.
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", d.code.name);
        return -1;
      }
      for (int i = 0; i < n; ++i) {
        // Keyword names that were not interned (f(**json.loads(...))) still
        // match by content.
        if (same_text(r.params[i], key)) {
          idx = i;
          break;
        }
      }
    }
    if (idx < 0) {
      // CONTRACT: the interpreter's own words for this failure; tests pin them.
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", d.code.name,
                   key);
      return -1;
    }
    if (bound[idx] != nullptr) {
      // CONTRACT: the interpreter's own words for this failure; tests pin them.
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   d.code.name, key);
      return -1;
    }
    bound[idx] = args[nargs + k];
  }

  for (int i = 0; i < n; ++i) {
    if (bound[i] != nullptr) continue;
    if (i < r.nrequired) {
      fn_raise_count(d, r, i, false);
      return -1;
    }
    bound[i] = PyTuple_GET_ITEM(*d.defaults, i - r.nrequired);
  }
  return 0;
}

}  // namespace

PyObject* fn_call_slow(FnObject* f, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  PyObject* bound[kMaxParams];
  if (fn_bind(*f->def, *f->rt, args, nargs, kwnames, bound) < 0)
    return fail(f, f->def->code.first_line);
  return f->def->impl(f, bound);
}

// What the interpreter's own depth check raises when the count runs out,
// raised when the thread's stack does first.
PyObject* fn_stack_exhausted(FnObject* f) noexcept {
  // CONTRACT: the interpreter's own words for this failure; tests pin them.
  PyErr_SetString(PyExc_RecursionError,
                  "maximum recursion depth exceeded while calling a Python object");
  return fail(f, f->def->code.first_line);
}

PyObject* fn_entry_failed(FnObject* f) noexcept { return fail(f, f->def->code.first_line); }

namespace {

// --------------------------------------------------------------- attributes

FnObject* fn(PyObject* self) noexcept { return reinterpret_cast<FnObject*>(self); }

PyObject* fn_or_none(PyObject* v) noexcept { return Py_NewRef(v ? v : Py_None); }

// A settable field read and written under the object's own lock (nothing on
// GIL builds): without the GIL a setter on another thread may be replacing
// the value being read. The old value is released after the lock, since its
// destructor may run any code.
using FnField = PyObject* FnObject::*;

PyObject* fn_read(PyObject* self, FnField field) noexcept {
  PyObject* v = nullptr;
  Py_BEGIN_CRITICAL_SECTION(self);
  v = fn_or_none(fn(self)->*field);
  Py_END_CRITICAL_SECTION();
  return v;
}

void fn_write(PyObject* self, FnField field, PyObject* stolen) noexcept {
  PyObject* old = nullptr;
  Py_BEGIN_CRITICAL_SECTION(self);
  old = fn(self)->*field;
  fn(self)->*field = stolen;
  Py_END_CRITICAL_SECTION();
  Py_XDECREF(old);
}

int fn_set_str(PyObject* self, FnField field, PyObject* value, const char* message) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  fn_write(self, field, Py_NewRef(value));
  return 0;
}

PyObject* fn_get_name(PyObject* self, void*) noexcept { return fn_read(self, &FnObject::name); }
int fn_set_name(PyObject* self, PyObject* value, void*) noexcept {
  return fn_set_str(self, &FnObject::name, value, "__name__ must be set to a string object");
}

PyObject* fn_get_qualname(PyObject* self, void*) noexcept {
  return fn_read(self, &FnObject::qualname);
}
int fn_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return fn_set_str(self, &FnObject::qualname, value,
                    "__qualname__ must be set to a string object");
}

PyObject* fn_get_module(PyObject* self, void*) noexcept {
  return fn_read(self, &FnObject::modname);
}
int fn_set_module(PyObject* self, PyObject* value, void*) noexcept {
  fn_write(self, &FnObject::modname, Py_XNewRef(value));
  return 0;
}

PyObject* fn_get_doc(PyObject* self, void*) noexcept { return fn_read(self, &FnObject::doc); }
int fn_set_doc(PyObject* self, PyObject* value, void*) noexcept {
  fn_write(self, &FnObject::doc, Py_NewRef(value ? value : Py_None));
  return 0;
}

// The dict is made on the first read, once even when threads race for it.
PyObject* fn_get_annotations(PyObject* self, void*) noexcept {
  FnObject* f = fn(self);
  PyObject* v = nullptr;
  Py_BEGIN_CRITICAL_SECTION(self);
  if (f->annotations == nullptr) f->annotations = PyDict_New();
  v = Py_XNewRef(f->annotations);
  Py_END_CRITICAL_SECTION();
  return v;
}
int fn_set_annotations(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    // CONTRACT: the interpreter's own words for this failure; tests pin them.
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  fn_write(self, &FnObject::annotations, Py_XNewRef(value));
  return 0;
}

// The defaults a call uses are the module's own constants; a new value is
// kept for introspection only, and the caller is told so.
int fn_set_defaults_like(PyObject* self, FnField field, PyObject* value, bool want_tuple,
                         const char* type_message, const char* warning) noexcept {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !(want_tuple ? PyTuple_Check(value) : PyDict_Check(value))) {
    PyErr_SetString(PyExc_TypeError, type_message);
    return -1;
  }
  // CAUTION: the warning machinery may run Python code (a filter, a
  // showwarning hook); `value` is the caller's and stays alive meanwhile.
  if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) return -1;
  fn_write(self, field, Py_XNewRef(value));
  return 0;
}

PyObject* fn_get_defaults(PyObject* self, void*) noexcept {
  return fn_read(self, &FnObject::defaults);
}
int fn_set_defaults(PyObject* self, PyObject* value, void*) noexcept {
  return fn_set_defaults_like(
      self, &FnObject::defaults, value, true, "__defaults__ must be set to a tuple object",
      "changes to cyfunction.__defaults__ will not currently affect the values used in "
      "function calls");
}

PyObject* fn_get_kwdefaults(PyObject* self, void*) noexcept {
  return fn_read(self, &FnObject::kwdefaults);
}
int fn_set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
  return fn_set_defaults_like(
      self, &FnObject::kwdefaults, value, false, "__kwdefaults__ must be set to a dict object",
      "changes to cyfunction.__kwdefaults__ will not currently affect the values used in "
      "function calls");
}

PyObject* fn_get_code(PyObject* self, void*) noexcept { return fn_or_none(fn(self)->rt->code); }
PyObject* fn_get_globals(PyObject* self, void*) noexcept { return fn_or_none(fn(self)->globals); }
PyObject* fn_get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* fn_get_is_coroutine(PyObject*, void*) noexcept { Py_RETURN_FALSE; }

#define FN_RO(name, get) {name, get, nullptr, nullptr, nullptr}
#define FN_RW(name, get, set) {name, get, set, nullptr, nullptr}
PyGetSetDef fn_getset[] = {
    FN_RW("__name__", fn_get_name, fn_set_name),
    FN_RW("func_name", fn_get_name, fn_set_name),
    FN_RW("__qualname__", fn_get_qualname, fn_set_qualname),
    FN_RW("__module__", fn_get_module, fn_set_module),
    FN_RW("__doc__", fn_get_doc, fn_set_doc),
    FN_RW("func_doc", fn_get_doc, fn_set_doc),
    FN_RW("__annotations__", fn_get_annotations, fn_set_annotations),
    FN_RW("__defaults__", fn_get_defaults, fn_set_defaults),
    FN_RW("func_defaults", fn_get_defaults, fn_set_defaults),
    FN_RW("__kwdefaults__", fn_get_kwdefaults, fn_set_kwdefaults),
    FN_RO("__code__", fn_get_code),
    FN_RO("func_code", fn_get_code),
    FN_RO("__globals__", fn_get_globals),
    FN_RO("func_globals", fn_get_globals),
    FN_RO("__closure__", fn_get_closure),
    FN_RO("func_closure", fn_get_closure),
    FN_RW("__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict),
    FN_RW("func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict),
    FN_RO("_is_coroutine", fn_get_is_coroutine),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef FN_RO
#undef FN_RW

PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FnObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FnObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FnObject, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickling goes by reference: the module attribute of this name.
PyObject* fn_reduce(PyObject* self, PyObject*) noexcept {
  return fn_read(self, &FnObject::qualname);
}

// __annotate__(format) as the interpreter's own annotate functions answer it
// (3.14 asks for it where earlier versions read __annotations__, as
// functools.wraps does): a new dict of the annotations for VALUE (1), and
// NotImplementedError for any other format, from which annotationlib derives
// the others. Any int other than 1 is such a format, however large: an
// overflow of the C long (32 bits on Windows, 64 elsewhere) is a format too,
// not an error, so that every platform answers alike. Anything that is not an
// int gets the interpreter's own TypeError from the conversion.
PyObject* fn_annotate(PyObject* self, PyObject* format) noexcept {
  const long value_format = 1;
  int overflow = 0;
  const long fmt = PyLong_AsLongAndOverflow(format, &overflow);
  if (fmt == -1 && PyErr_Occurred()) return nullptr;
  if (overflow != 0 || fmt != value_format) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
  }
  Ref annotations = Ref::steal(fn_get_annotations(self, nullptr));
  return annotations ? PyDict_Copy(annotations.get()) : nullptr;
}

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {"__annotate__", fn_annotate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The qualified name is a str from creation to deallocation: the setter
// takes nothing else and clearing leaves the empty string.
PyObject* fn_repr(PyObject* self) noexcept {
  Ref qualname = Ref::steal(fn_read(self, &FnObject::qualname));
  return PyUnicode_FromFormat("<cyfunction %U at %p>", qualname.get(), self);
}

// A function stored on a class binds like a Python function.
PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// ---------------------------------------------------------------------- GC

// Every owned field is visited: a str subclass set as __name__ or
// __qualname__ can carry a __dict__ and close a cycle.
int fn_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  FnObject* f = fn(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->globals);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->modname);
  Py_VISIT(f->doc);
  Py_VISIT(f->dict);
  Py_VISIT(f->annotations);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  return 0;
}

// Name and qualified name become the empty string rather than null, so that
// repr and error messages keep working on a cleared object.
int fn_clear(PyObject* self) noexcept {
  FnObject* f = fn(self);
  Py_CLEAR(f->globals);
  set_field(f->name, Py_NewRef(f->mod->empty_str));
  set_field(f->qualname, Py_NewRef(f->mod->empty_str));
  Py_CLEAR(f->modname);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  return 0;
}

void fn_dealloc(PyObject* self) noexcept {
  FnObject* f = fn(self);
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (f->weaklist) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_methods, fn_methods},
    {Py_tp_members, fn_members},
    {Py_tp_getset, fn_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "cyfunction",
    sizeof(FnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fn_slots,
};

}  // namespace

int function_type_ready(Module& m) noexcept {
  PyObject* tp = PyType_FromSpec(&fn_spec);
  if (!tp) {
    // 3.11 returns NULL without an exception when it cannot allocate the copy
    // of the type's name; that failure is an allocation failure.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return -1;
  }
  m.fn_type = reinterpret_cast<PyTypeObject*>(tp);
  return 0;
}

int define_function(Module& m, const FnDef& d) noexcept {
  const FnRuntime* rt = nullptr;
  for (size_t i = 0; i < m.nfunctions && m.fn_runtime != nullptr; ++i) {
    if (m.functions[i] == &d) rt = &m.fn_runtime[i];
  }
  if (rt == nullptr || rt->code == nullptr) {
    PyErr_Format(PyExc_SystemError, "function '%s' is not one of module '%s'", d.code.name,
                 m.dotted);
    return -1;
  }
  PyCodeObject* code = reinterpret_cast<PyCodeObject*>(rt->code);
  FnObject* f = PyObject_GC_New(FnObject, m.fn_type);
  if (!f) return -1;
  f->vectorcall = d.entry ? d.entry : fn_vectorcall;
  f->def = &d;
  f->rt = rt;
  f->mod = &m;
  f->globals = Py_NewRef(m.dict);
  f->name = Py_NewRef(code->co_name);
  f->qualname = Py_NewRef(code->co_qualname);
  f->modname = nullptr;
  f->doc = nullptr;
  f->dict = nullptr;
  f->annotations = nullptr;
  f->defaults = d.defaults ? Py_NewRef(*d.defaults) : nullptr;
  f->kwdefaults = nullptr;
  f->weaklist = nullptr;
  Ref func = Ref::steal(reinterpret_cast<PyObject*>(f));
  PyObject_GC_Track(f);

  if (!(f->modname = PyUnicode_FromString(m.dotted))) return -1;
  f->doc = d.doc ? PyUnicode_FromString(d.doc) : Py_NewRef(Py_None);
  if (!f->doc) return -1;
  if (d.nannotations > 0) {
    Ref ann = Ref::steal(PyDict_New());
    if (!ann) return -1;
    for (int i = 0; i < d.nannotations; ++i) {
      Ref key = Ref::steal(PyUnicode_InternFromString(d.annotations[i].name));
      if (!key) return -1;
      Ref value = Ref::steal(PyUnicode_FromString(d.annotations[i].value));
      if (!value || PyDict_SetItem(ann.get(), key.get(), value.get()) < 0) return -1;
    }
    f->annotations = ann.release();
  }
  return set_global(m, f->name, func.get());
}

}  // namespace frame
