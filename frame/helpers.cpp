// helpers.cpp - helpers the function bodies share: module-global look-up,
// the instance test against a global's attribute, dict walks, and the
// enforcement of argument annotations.
#include <utility>

#include "frame.hpp"

namespace frame {
namespace {

// Whether a site may keep what it found in `d`: the dictionary is watched
// from now on, so that dict_version moves whenever it changes (compat.hpp).
// Without a watcher the site stays empty and every call looks again.
bool helpers_watch(Module& m, PyObject* d) noexcept {
  if (m.dict_watcher < 0) return false;
  if (dict_watch(m.dict_watcher, d) == 0) return true;
  // Fails only for an id not registered or an object that is no dict: never
  // here, and the look-up that found the value succeeded anyway.
  PyErr_Clear();
  return false;
}

}  // namespace

namespace {

// The look-up of a free-threaded build: no site, strong references only
// (unused, and so not emitted, on GIL builds).
[[maybe_unused]] PyObject* helpers_lookup_uncached(FnObject* f, PyObject* name) noexcept {
  PyObject* v = nullptr;
  PyObject* globals = f->globals;
  if (globals != nullptr) {
    const int found = PyDict_GetItemRef(globals, name, &v);
    if (found != 0) return v;  // the value, or nullptr with the error
  }
  const int found = PyDict_GetItemRef(f->mod->builtins_dict, name, &v);
  if (found != 0) return v;
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

}  // namespace

PyObject* lookup_global_slow(FnObject* f, GlobalSite& site, PyObject* name) noexcept {
  if constexpr (kFreeThreaded) return helpers_lookup_uncached(f, name);
  PyObject* globals = f->globals;
  PyObject* builtins = f->mod->builtins_dict;
  // Whatever the site held no longer applies, the attribute entry included:
  // it belongs to the global the site held.
  site = GlobalSite{};
  // The versions are read before the look-ups (the dictionaries watched
  // first, so that any change from now on moves them). A look-up can run
  // Python code: the __eq__ of a stored key with the hash of `name`. That
  // code may change either dictionary, or call a function that fills this
  // very site; what is found is kept only when neither dictionary moved
  // meanwhile, and replaces whatever an inner call put in the site.
  GlobalSite fill;
  bool keep = globals != nullptr && helpers_watch(*f->mod, globals);
  if (keep) {
    fill.dict = globals;
    fill.dict_tag = dict_version(globals);
  }
  if (globals != nullptr) {
    PyObject* v = PyDict_GetItemWithError(globals, name);  // borrowed
    if (v != nullptr) {
      if (keep && dict_version(globals) == fill.dict_tag) {
        fill.value = v;
        site = fill;
      } else {
        site = GlobalSite{};
      }
      return Py_NewRef(v);
    }
    if (PyErr_Occurred()) return nullptr;
  }
  keep = keep && helpers_watch(*f->mod, builtins);
  if (keep) fill.builtins_tag = dict_version(builtins);
  PyObject* v = PyDict_GetItemWithError(builtins, name);  // borrowed
  if (v != nullptr) {
    if (keep && dict_version(globals) == fill.dict_tag &&
        dict_version(builtins) == fill.builtins_tag) {
      fill.value = v;
      site = fill;
    } else {
      site = GlobalSite{};
    }
    return Py_NewRef(v);
  }
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

PyObject* module_attr(Module& m, GlobalSite& site, PyObject* g, PyObject* attr) noexcept {
  // A descriptor of this name on the module type would come first.
  if (Py_IS_TYPE(g, &PyModule_Type) && PyUnicode_CheckExact(attr) &&
      _PyType_Lookup(&PyModule_Type, attr) == nullptr) {
    PyObject* md = PyModule_GetDict(g);  // borrowed; `g` is held by the caller
    if (md != nullptr) {
      if constexpr (kFreeThreaded) {
        PyObject* v = nullptr;
        if (PyDict_GetItemRef(md, attr, &v) != 0) return v;
      } else {
        // As for the global itself: the version is read before the look-up,
        // whose key comparisons may run Python code.
        const bool watched = helpers_watch(m, md);
        const uint64_t tag = watched ? dict_version(md) : 0;
        PyObject* v = PyDict_GetItemWithError(md, attr);  // borrowed
        if (v != nullptr) {
          // Kept only for the global the site holds, so that the entry is
          // dropped with it, and only when nothing moved during the look-up.
          if (watched && site.value == g && dict_version(md) == tag) {
            site.attr_dict = md;
            site.attr_tag = tag;
            site.attr_value = v;
          }
          return Py_NewRef(v);
        }
        if (PyErr_Occurred()) return nullptr;
      }
    }
  }
  return PyObject_GetAttr(g, attr);
}

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

namespace {

// The private copy behind call_with_kwargs' fallback: what `dict(kwargs)`
// makes of an exact dict, by the merge that stops on a concurrent change.
PyObject* helpers_private_copy(PyObject* kwargs) noexcept {
  Ref copy = Ref::steal(PyDict_New());
  if (!copy || PyDict_Merge(copy.get(), kwargs, 1) < 0) return nullptr;
  return copy.release();
}

}  // namespace

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
  // over a copy no other code holds.
  Ref copy = Ref::steal(helpers_private_copy(kwargs));
  if (!copy) return nullptr;
  return PyObject_VectorcallDict(callable, args, static_cast<size_t>(nargs), copy.get());
}

int isinstance_of_global_attr_slow(FnObject* f, GlobalSite& site, PyObject* gname, PyObject* attr,
                                   PyObject* v) noexcept {
  // CAUTION: attribute access and the instance check may run Python code
  // that rebinds the global or drops the class; both are held strongly.
  Ref g = Ref::steal(lookup_global(f, site, gname));
  if (!g) return -1;
  Ref cls = Ref::steal(module_attr(*f->mod, site, g.get(), attr));
  if (!cls) return -1;
  return is_instance(*f->mod, v, cls.get());
}

// ---------------------------------------------------------------- dict walk

int DictWalk::start(PyObject* d) noexcept {
  if (PyDict_CheckExact(d)) {
    dict_ = d;
    pos_ = 0;
    size_ = PyDict_GET_SIZE(d);
    left_ = size_;
    return 0;
  }
  PyObject* name = kind_ == Kind::kItems ? m_->s.items : m_->s.values;
  PyObject* args[] = {nullptr, d};
  Ref result = Ref::steal(
      PyObject_VectorcallMethod(name, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) return -1;
  if (PyTuple_CheckExact(result.get()) || PyList_CheckExact(result.get())) {
    seq_ = std::move(result);
    index_ = 0;
    return 0;
  }
  iter_ = Ref::steal(PyObject_GetIter(result.get()));
  return iter_ ? 0 : -1;
}

int DictWalk::next_element(Ref& element) noexcept {
  if (seq_) {
    PyObject* s = seq_.get();
    // A list can shrink while its elements' callbacks run (or, without the
    // GIL, while another thread holds it): its length is read again at
    // every step, together with the item.
    PyObject* e =
        PyList_CheckExact(s)
            ? list_item_ref(s, index_)
            : (index_ < PyTuple_GET_SIZE(s) ? Py_NewRef(PyTuple_GET_ITEM(s, index_)) : nullptr);
    if (e == nullptr) return 0;
    element = Ref::steal(e);
    ++index_;
    return 1;
  }
  PyObject* e = PyIter_Next(iter_.get());
  if (e == nullptr) return PyErr_Occurred() ? -1 : 0;
  element = Ref::steal(e);
  return 1;
}

// Fills the empty `key` and `value` from a two-item element.
int DictWalk::unpack_pair(PyObject* element, Ref& key, Ref& value) noexcept {
  Py_ssize_t found = 0;
  if (PyTuple_Check(element)) {
    found = PyTuple_GET_SIZE(element);
    if (found == 2) {
      key = Ref::borrow(PyTuple_GET_ITEM(element, 0));
      value = Ref::borrow(PyTuple_GET_ITEM(element, 1));
      return 0;
    }
  } else {
    Ref it = Ref::steal(PyObject_GetIter(element));
    if (!it) return -1;
    Ref items[3];
    for (; found < 3; ++found) {
      PyObject* x = PyIter_Next(it.get());
      if (x == nullptr) {
        if (PyErr_Occurred()) return -1;
        break;
      }
      items[found] = Ref::steal(x);
    }
    if (found == 2) {
      key = std::move(items[0]);
      value = std::move(items[1]);
      return 0;
    }
  }
  if (found > 2) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
  } else {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
  }
  return -1;
}

int DictWalk::next(Ref& key, Ref& value) noexcept {
  // The new entry is built in fresh references; the previous one is dropped
  // only when both are held (at the end of this function).
  Ref k, v;
  if (dict_ != nullptr) {
    // One step under the dict's own lock (nothing on GIL builds): without
    // the GIL another thread may resize it meanwhile. The step runs no code.
    const char* changed = nullptr;
    bool more = false;
    Py_BEGIN_CRITICAL_SECTION(dict_);
    PyObject* bk = nullptr;
    PyObject* bv = nullptr;
    if (PyDict_GET_SIZE(dict_) != size_) {
      changed = "dictionary changed size during iteration";
    } else if (PyDict_Next(dict_, &pos_, &bk, &bv)) {
      // A delete plus an insert keeps the size; counting the entries handed
      // out notices the walk running on into keys that were never there
      // together with the first ones.
      if (left_ == 0) {
        changed = "dictionary keys changed during iteration";
      } else {
        --left_;
        more = true;
        // Strong references before anything else runs.
        if (kind_ == Kind::kItems) k = Ref::borrow(bk);
        v = Ref::borrow(bv);
      }
    }
    Py_END_CRITICAL_SECTION();
    if (changed != nullptr) {
      PyErr_SetString(PyExc_RuntimeError, changed);
      return -1;
    }
    if (!more) return 0;
  } else {
    Ref element;
    int r = next_element(element);
    if (r <= 0) return r;
    if (kind_ == Kind::kValues) {
      v = std::move(element);
    } else if (unpack_pair(element.get(), k, v) < 0) {
      return -1;
    }
  }
  std::swap(key, k);
  std::swap(value, v);
  return 1;
}

// ------------------------------------------------------------- annotations

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

PyObject* call_method_slow(MethodSite& site, PyObject* name, PyObject* const* args,
                           size_t nargsf) noexcept {
  if constexpr (kFreeThreaded) {
    // What the generic attribute access would find, without the site: the
    // descriptor is held for the test and the call, so another thread that
    // replaces it in the type meanwhile cannot free it under us. A change
    // racing with the call may be seen or not, as with the access itself.
    PyObject* self = args[0];
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
      // CAUTION: a key of the type's dictionary that is no str has its own
      // __eq__ run by the look-up; the tests after it see what it changed.
      PyObject* descr = type_lookup_ref(tp, name);  // no error set either way
      if (descr != nullptr) {
        if (PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
            Py_TYPE(self) == tp && tp->tp_getattro == PyObject_GenericGetAttr &&
            no_instance_attributes(self)) {
          // CAUTION: the method may run any Python code; `descr` is held.
          PyObject* result = call_method_descriptor(descr, args, nargsf);
          Py_DECREF(descr);
          return result;
        }
        Py_DECREF(descr);
      }
    }
  } else {
    PyObject* self = args[0];
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
      Ref type_hold = Ref::borrow(reinterpret_cast<PyObject*>(tp));
      // CAUTION: a key of a type's dictionary that is no str (type("X", (),
      // {k: 1})) has its own __eq__ run by the look-up, which may change the
      // type or the object. Whatever it did, the tests below see.
      Ref descr = Ref::steal(type_lookup_ref(tp, name));
      if (descr && PyType_HasFeature(Py_TYPE(descr.get()), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
          Py_TYPE(self) == tp && tp->tp_getattro == PyObject_GenericGetAttr &&
          no_instance_attributes(self)) {
        // What the generic access would hand back unbound: called so.
        const unsigned int version = type_version_assign(tp);
        if (version != 0) {
          site.type = tp;
          site.version = version;
          site.method = descr.get();
        }
        // CAUTION: the method may run any Python code; `descr` is held.
        return call_method_descriptor(descr.get(), args, nargsf);
      }
      // Anything else: the interpreter's full look-up, whose type look-up is
      // served from the type's attribute cache the one above filled.
    }
  }
  return PyObject_VectorcallMethod(name, args, nargsf, nullptr);
}

}  // namespace frame
