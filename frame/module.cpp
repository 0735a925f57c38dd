// module.cpp - module creation and execution, and the statements a module
// body is made of (imports, function definitions, global stores).
#include <climits>
#include <cstring>
#include <new>

#include "frame.hpp"

namespace frame {
namespace {

// Returns sys.modules[name] as a new reference, or an empty Ref when it is
// missing or None (None marks a blocked import; the import machinery then
// raises the proper error). Sets an error only on failure.
int mod_sys_module(PyObject* name, Ref& out) noexcept {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* v = PyDict_GetItemWithError(modules, name);
  if (v == nullptr) return PyErr_Occurred() ? -1 : 0;
  if (v == Py_None) return 0;
  out = Ref::borrow(v);
  return 1;
}

// Calls builtins.__import__(name, globals, {}, fromlist, 0), so an import
// hook installed there is honoured as it is for Python source.
PyObject* mod_call_import(Module& m, PyObject* name, PyObject* fromlist) noexcept {
  Ref import = Ref::steal(PyObject_GetAttr(m.builtins, m.s.dunder_import));
  if (!import) return nullptr;
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return nullptr;
  Ref level = Ref::steal(PyLong_FromLong(0));
  if (!level) return nullptr;
  PyObject* args[] = {name, m.dict, locals.get(), fromlist, level.get()};
  return PyObject_Vectorcall(import.get(), args, 5, nullptr);
}

// The attribute `name` of `mod`, falling back to sys.modules["<mod>.<name>"]
// for a submodule that its package has not bound; ImportError
// "cannot import name %S" when both are missing.
PyObject* mod_import_name(Module& m, PyObject* mod, PyObject* name) noexcept {
  PyObject* value = nullptr;
  int r = PyObject_GetOptionalAttr(mod, name, &value);
  if (r > 0) return value;
  if (r < 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  Ref pkgname = Ref::steal(PyObject_GetAttr(mod, m.s.dunder_name));
  if (!pkgname) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  } else if (PyUnicode_Check(pkgname.get())) {
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
    if (!full) return nullptr;
    Ref sub;
    if (mod_sys_module(full.get(), sub) < 0) return nullptr;
    if (sub) return sub.release();
  }
  PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  return nullptr;
}

// Copies spec.<attr> into the module dictionary under `key`; an
// AttributeError skips the entry, as does None for `__path__`.
int mod_copy_spec_attr(PyObject* spec, PyObject* attr, PyObject* dict, PyObject* key,
                       bool skip_none) noexcept {
  Ref value = Ref::steal(PyObject_GetAttr(spec, attr));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyDict_SetItem(dict, key, value.get());
}

int mod_make_strings(Module& m) noexcept {
  if (m.strings_ready) return 0;
  const StrConst frame_strings[] = {
      {&m.s.items, "items"},
      {&m.s.values, "values"},
      {&m.s.dunder_import, "__import__"},
      {&m.s.dunder_name, "__name__"},
      {&m.s.name, "name"},
      {&m.s.loader, "loader"},
      {&m.s.origin, "origin"},
      {&m.s.parent, "parent"},
      {&m.s.submodule_search_locations, "submodule_search_locations"},
      {&m.s.dunder_loader, "__loader__"},
      {&m.s.dunder_file, "__file__"},
      {&m.s.dunder_package, "__package__"},
      {&m.s.dunder_path, "__path__"},
      {&m.s.dunder_builtins, "__builtins__"},
      {&m.s.dunder_test, "__test__"},
      {&m.s.dunder_instancecheck, "__instancecheck__"},
      {&m.s.dunder_call, "__call__"},
      {&m.s.dunder_class, "__class__"},
  };
  for (const StrConst& c : frame_strings) {
    if (*c.slot == nullptr && !(*c.slot = PyUnicode_InternFromString(c.text))) return -1;
  }
  for (size_t i = 0; i < m.nstrings; ++i) {
    const StrConst& c = m.strings[i];
    if (*c.slot == nullptr && !(*c.slot = PyUnicode_InternFromString(c.text))) return -1;
  }
  m.type_instancecheck = _PyType_Lookup(&PyType_Type, m.s.dunder_instancecheck);
  m.object_class = _PyType_Lookup(&PyBaseObject_Type, m.s.dunder_class);
  if (!m.empty_tuple && !(m.empty_tuple = PyTuple_New(0))) return -1;
  if (!m.empty_bytes && !(m.empty_bytes = PyBytes_FromStringAndSize("", 0))) return -1;
  if (!m.empty_str && !(m.empty_str = PyUnicode_FromStringAndSize("", 0))) return -1;
  if (!m.filename_obj && !(m.filename_obj = PyUnicode_FromString(m.filename))) return -1;
  if (!m.dotted_obj && !(m.dotted_obj = PyUnicode_FromString(m.dotted))) return -1;
  m.strings_ready = true;
  return 0;
}

// The call slot of a class whose __call__ is defined in Python, read from a
// throwaway class made the way a class statement makes one. Its address is
// not exported by the interpreter.
int mod_find_generic_call_slot(Module& m) noexcept {
  if (m.generic_call_slot) return 0;
  Ref ns = Ref::steal(PyDict_New());
  if (!ns || PyDict_SetItem(ns.get(), m.s.dunder_call, Py_None) < 0) return -1;
  Ref name = Ref::steal(PyUnicode_FromString("_call_slot_probe"));
  if (!name) return -1;
  PyObject* args[] = {name.get(), m.empty_tuple, ns.get()};
  Ref cls =
      Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
  if (!cls) return -1;
  if (!PyType_Check(cls.get())) {
    PyErr_SetString(PyExc_SystemError, "type() did not return a class");
    return -1;
  }
  m.generic_call_slot = reinterpret_cast<PyTypeObject*>(cls.get())->tp_call;
  return 0;
}

// The template of make_code, read from the interpreter's own empty code
// object. The compiler is not used for it: 3.11's frees a buffer twice when
// an allocation fails in its assembler.
int mod_make_template(Module& m) noexcept {
  CodeTemplate& t = m.code_template;
  if (t.code != nullptr) return 0;
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(m.filename, "", 1)));
  if (!empty) return -1;
  PyCodeObject* co = reinterpret_cast<PyCodeObject*>(empty.get());
  Ref bytes = Ref::steal(PyCode_GetCode(co));
  if (!bytes) return -1;
  // The line table and the stack size as the code object's attributes give
  // them: its struct is the interpreter's own and changes between versions.
  Ref linetable = Ref::steal(PyObject_GetAttrString(empty.get(), "co_linetable"));
  if (!linetable) return -1;
  Ref stack_obj = Ref::steal(PyObject_GetAttrString(empty.get(), "co_stacksize"));
  if (!stack_obj) return -1;
  const long stack_long = PyLong_AsLong(stack_obj.get());
  if (stack_long == -1 && PyErr_Occurred()) return -1;
  if (stack_long < 0 || stack_long > INT_MAX) {
    PyErr_SetString(PyExc_SystemError, "the empty code object's stack size is out of range");
    return -1;
  }
  int stacksize = static_cast<int>(stack_long);
  if (PyBytes_GET_SIZE(bytes.get()) == 0) {
    PyObject* code = nullptr;
    PyObject* lines = nullptr;
    if (raising_bytecode(&code, &lines, &stacksize) < 0) return -1;
    bytes.reset(code);
    linetable.reset(lines);
  }
  t.linetable = linetable.release();
  t.stacksize = stacksize;
  t.code = bytes.release();
  return 0;
}

int mod_make_code(Module& m, const CodeDef& c, PyObject*& out) noexcept {
  if (out) return 0;
  Ref varnames = Ref::steal(PyTuple_New(c.nvarnames));
  if (!varnames) return -1;
  for (int i = 0; i < c.nvarnames; ++i) {
    PyObject* s = PyUnicode_InternFromString(c.varnames[i]);
    if (!s) return -1;
    PyTuple_SET_ITEM(varnames.get(), i, s);
  }
  Ref name = Ref::steal(PyUnicode_InternFromString(c.name));
  if (!name) return -1;
  Ref qualname = Ref::steal(PyUnicode_FromString(c.qualname));
  if (!qualname) return -1;
  out = make_code(m, name.get(), qualname.get(), c.first_line, c.argcount, varnames.get(),
                  CO_OPTIMIZED | CO_NEWLOCALS | c.extra_flags);
  return out != nullptr ? 0 : -1;
}

// The runtime entries of the definitions, made once (a failed execution
// keeps what it made for the next attempt).
int mod_make_runtime(Module& m) noexcept {
  if (m.fn_runtime == nullptr) {
    void* p = PyMem_Calloc(m.nfunctions + 1, sizeof(FnRuntime));
    if (p == nullptr) {
      PyErr_NoMemory();
      return -1;
    }
    m.fn_runtime = static_cast<FnRuntime*>(p);
    for (size_t i = 0; i < m.nfunctions; ++i) new (&m.fn_runtime[i]) FnRuntime{};
  }
  if (m.extra_code_objects == nullptr) {
    void* p = PyMem_Calloc(m.nextra_codes + 1, sizeof(PyObject*));
    if (p == nullptr) {
      PyErr_NoMemory();
      return -1;
    }
    m.extra_code_objects = static_cast<PyObject**>(p);
  }
  return 0;
}

int mod_make_codes(Module& m) noexcept {
  if (mod_make_template(m) < 0 || mod_make_runtime(m) < 0) return -1;
  for (size_t i = 0; i < m.nfunctions; ++i) {
    const FnDef& d = *m.functions[i];
    FnRuntime& r = m.fn_runtime[i];
    if (mod_make_code(m, d.code, r.code) < 0) return -1;
    // The code object's own (interned) names, which it keeps alive; the
    // tuple that hands them out may be made anew.
    Ref varnames = Ref::steal(PyCode_GetVarnames(reinterpret_cast<PyCodeObject*>(r.code)));
    if (!varnames) return -1;
    for (int p = 0; p < d.code.argcount; ++p) r.params[p] = PyTuple_GET_ITEM(varnames.get(), p);
    Py_ssize_t ndefaults = d.defaults ? PyTuple_GET_SIZE(*d.defaults) : 0;
    r.nrequired = d.code.argcount - static_cast<int>(ndefaults);
  }
  for (size_t i = 0; i < m.nextra_codes; ++i) {
    if (mod_make_code(m, *m.extra_codes[i], m.extra_code_objects[i]) < 0) return -1;
  }
  return 0;
}

int mod_version_check(Module& m) noexcept {
  const unsigned long major = (Py_Version >> 24) & 0xff;
  const unsigned long minor = (Py_Version >> 16) & 0xff;
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' "
                          "%s runtime version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, m.dotted, "does not match",
                          static_cast<int>(major), static_cast<int>(minor));
}

// Adds the module to sys.modules unless an entry exists (the import system
// has made one). 1 when this added it, 0 when not, -1 on error.
int mod_register(Module& m) noexcept {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  int has = PyDict_Contains(modules, m.dotted_obj);
  if (has < 0) return -1;
  if (has) return 0;
  return PyDict_SetItem(modules, m.dotted_obj, m.module) < 0 ? -1 : 1;
}

// Takes back the entry that mod_register added, if it still names this
// module: a module whose execution failed must not be found by a later
// import. Allocates nothing of its own and keeps the exception in flight.
void mod_unregister(Module& m) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* modules = PyImport_GetModuleDict();                      // borrowed
  PyObject* entry = PyDict_GetItemWithError(modules, m.dotted_obj);  // borrowed
  if (entry == m.module) (void)PyDict_DelItem(modules, m.dotted_obj);
  PyErr_Clear();  // nothing more can be done about a failure here
  PyErr_SetRaisedException(exc);
}

// Marks the interpreter as one this module has been created in, through an
// entry in the interpreter's own dictionary, which a finalized runtime takes
// with it: a new main interpreter after Py_Finalize and Py_Initialize has the
// old one's ID but not the entry. 1 when the entry was there already, 0 when
// it was made now, -1 on error.
int mod_runtime_mark(Module& m, PyInterpreterState* interp) noexcept {
  PyObject* idict = PyInterpreterState_GetDict(interp);  // borrowed
  if (idict == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "no interpreter dictionary");
    return -1;
  }
  Ref key = Ref::steal(PyUnicode_FromFormat("%s.created", m.dotted));
  if (!key) return -1;
  const int has = PyDict_Contains(idict, key.get());
  if (has != 0) return has;
  return PyDict_SetItem(idict, key.get(), Py_True) < 0 ? -1 : 0;
}

// The builtins module, as `import builtins` finds it. Whatever sys.modules
// holds under that name is checked: every global look-up falls through to its
// dictionary.
int mod_get_builtins(Module& m) noexcept {
  Ref b = Ref::steal(PyImport_ImportModule("builtins"));
  if (!b) return -1;
  if (!PyModule_Check(b.get())) {
    PyErr_Format(PyExc_ImportError,
                 "module 'builtins' is not a module (sys.modules holds a '%.200s')",
                 Py_TYPE(b.get())->tp_name);
    return -1;
  }
  PyObject* dict = PyModule_GetDict(b.get());  // borrowed
  if (dict == nullptr) return -1;
  m.builtins_dict = dict;
  m.builtins = b.release();
  return 0;
}

// The dict watcher behind the look-up caches, registered once (compat.hpp).
// Without one, should the interpreter have none left, the caches stay empty:
// slower, never wrong.
void mod_add_dict_watcher(Module& m) noexcept {
  if (m.dict_watcher >= 0) return;
  m.dict_watcher = dict_watcher_add();
  if (m.dict_watcher < 0) PyErr_Clear();
}

// Execution up to the end of the module body. `line` names the statement
// that runs (0 before any traceback entry can be made); `registered` says
// whether this added the sys.modules entry. 0 or -1.
int mod_exec_steps(Module& m, PyObject* module, int& line, bool& registered) noexcept {
  m.module = Py_NewRef(module);
  m.dict = Py_NewRef(PyModule_GetDict(module));  // cannot fail for a module
  if (!m.builtins && mod_get_builtins(m) < 0) return -1;
  if (mod_make_strings(m) < 0) return -1;
  if (PyObject_SetAttr(module, m.s.dunder_builtins, m.builtins) < 0) return -1;
  if (mod_version_check(m) < 0) return -1;

  line = 1;
  if (m.constants && m.constants(m) < 0) return -1;
  const int added = mod_register(m);
  if (added < 0) return -1;
  registered = added > 0;
  if (mod_find_generic_call_slot(m) < 0) return -1;
  if (!m.fn_type && function_type_ready(m) < 0) return -1;
  if (mod_make_codes(m) < 0) return -1;
  mod_add_dict_watcher(m);
  if (m.body(m, &line) < 0) return -1;
  // The body's last statement in both modules, `__test__ = {}`, which the
  // line of the module's own work reports.
  line = 1;
  Ref test = Ref::steal(PyDict_New());
  if (!test) return -1;
  return set_global(m, m.s.dunder_test, test.get());
}

}  // namespace

PyObject* make_code(Module& m, PyObject* name, PyObject* qualname, int line, int argcount,
                    PyObject* varnames, int flags) noexcept {
  const CodeTemplate& t = m.code_template;
  if (t.code == nullptr) {
    PyErr_SetString(PyExc_SystemError, "code template not made yet");
    return nullptr;
  }
  PyObject* t0 = m.empty_tuple;
  return reinterpret_cast<PyObject*>(PyUnstable_Code_New(
      argcount, /*kwonlyargcount=*/0, static_cast<int>(PyTuple_GET_SIZE(varnames)), t.stacksize,
      flags, t.code, t0, t0, varnames, t0, t0, m.filename_obj, name, qualname, line, t.linetable,
      m.empty_bytes));
}

PyObject* module_create(Module& m, PyObject* spec) noexcept {
  PyInterpreterState* interp = PyInterpreterState_Get();
  int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  const int seen = mod_runtime_mark(m, interp);
  if (seen < 0) return nullptr;
  if (m.interp_id == -1) {
    m.interp_id = id;
  } else if (m.interp_id != id || !seen) {
    // Another interpreter, or the same ID in a runtime that was finalized and
    // initialized again: everything this module holds belongs to the old one.
    // CONTRACT: the words importers see; tests pin them.
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be "
                    "loaded into one interpreter per process.");
    return nullptr;
  }
  if (m.module) return Py_NewRef(m.module);

  // The spec's attribute names are interned here too: create runs before exec
  // has made the module's constants.
  if (mod_make_strings(m) < 0) return nullptr;
  Ref modname = Ref::steal(PyObject_GetAttr(spec, m.s.name));
  if (!modname) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(modname.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());  // borrowed
  if (mod_copy_spec_attr(spec, m.s.loader, dict, m.s.dunder_loader, false) < 0 ||
      mod_copy_spec_attr(spec, m.s.origin, dict, m.s.dunder_file, false) < 0 ||
      mod_copy_spec_attr(spec, m.s.parent, dict, m.s.dunder_package, false) < 0 ||
      mod_copy_spec_attr(spec, m.s.submodule_search_locations, dict, m.s.dunder_path, true) < 0) {
    return nullptr;
  }
  return module.release();
}

int module_exec(Module& m, PyObject* module) noexcept {
  if (m.module) {
    if (m.module == module) return 0;
    // CONTRACT: the words importers see; tests pin them.
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is "
                 "not supported.",
                 m.name);
    return -1;
  }

  int line = 0;  // 0: failed before any traceback entry can be made
  bool registered = false;
  if (mod_exec_steps(m, module, line, registered) == 0) return 0;

  if (line > 0 && PyErr_Occurred()) add_traceback(m, m.init_name, line, m.dict);
  if (registered) mod_unregister(m);
  set_field(m.dict, nullptr);
  set_field(m.module, nullptr);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, m.init_name);
  return -1;
}

int define_functions(Module& m, int* line) noexcept {
  for (size_t i = 0; i < m.nfunctions; ++i) {
    const FnDef& d = *m.functions[i];
    // A definition's statement starts at the function's first line.
    *line = d.code.first_line;
    if (define_function(m, d) < 0) return -1;
  }
  return 0;
}

int set_global(Module& m, PyObject* name, PyObject* value) noexcept {
  return PyDict_SetItem(m.dict, name, value);
}

int import_from(Module& m, PyObject* modname, std::initializer_list<PyObject*> names) noexcept {
  Ref mod;
  if (mod_sys_module(modname, mod) < 0) return -1;
  if (mod) {
    for (PyObject* n : names) {
      PyObject* probe = nullptr;
      int r = PyObject_GetOptionalAttr(mod.get(), n, &probe);
      Py_XDECREF(probe);
      if (r < 0) return -1;
      if (r == 0) {
        mod.reset();
        break;
      }
    }
  }
  if (!mod) {
    Ref fromlist = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (PyObject* n : names) PyList_SET_ITEM(fromlist.get(), i++, Py_NewRef(n));
    mod = Ref::steal(mod_call_import(m, modname, fromlist.get()));
    if (!mod) return -1;
  }
  for (PyObject* n : names) {
    Ref value = Ref::steal(mod_import_name(m, mod.get(), n));
    if (!value || set_global(m, n, value.get()) < 0) return -1;
  }
  return 0;
}

int import_module(Module& m, PyObject* modname) noexcept {
  Ref mod;
  if (mod_sys_module(modname, mod) < 0) return -1;
  if (!mod) {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return -1;
    mod = Ref::steal(mod_call_import(m, modname, fromlist.get()));
    if (!mod) return -1;
  }
  return set_global(m, modname, mod.get());
}

int import_submodule_as(Module& m, PyObject* dotted, PyObject* package, PyObject* sub,
                        PyObject* bind_as) noexcept {
  Ref top;
  Ref have_sub;
  if (mod_sys_module(dotted, have_sub) < 0) return -1;
  if (have_sub && mod_sys_module(package, top) < 0) return -1;
  if (!top) {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return -1;
    top = Ref::steal(mod_call_import(m, dotted, fromlist.get()));
    if (!top) return -1;
  }
  Ref value = Ref::steal(mod_import_name(m, top.get(), sub));
  if (!value) return -1;
  return set_global(m, bind_as, value.get());
}

}  // namespace frame
