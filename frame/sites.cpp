// sites.cpp - the look-up sites' misses: the look-up of a module global and
// the fill of its site (per thread on free-threaded builds), the attribute
// of a global module, the instance test against it, and a method called by
// name. What a site holds and when it applies is said beside the sites, in
// sites.hpp.
#include <new>
#include <utility>

#include "frame.hpp"

namespace frame {
namespace {

// Whether a site may keep what it found in `d`: the dictionary is watched
// from now on, so that dict_version moves whenever it changes (compat.hpp).
// Without a watcher the site stays empty and every call looks again.
[[maybe_unused]] bool sites_watch(Module& m, PyObject* d) noexcept {
  if (m.dict_watcher < 0) return false;
  if (dict_watch(m.dict_watcher, d) == 0) return true;
  // Fails only for an id not registered or an object that is no dict: never
  // here, and the look-up that found the value succeeded anyway.
  PyErr_Clear();
  return false;
}

}  // namespace

#ifdef Py_GIL_DISABLED
namespace {

constexpr const char kThreadSitesName[] = "tarnex.frame.thread_sites";

// The calling thread's record, from a function of its own: the callers
// below clear slots with vector stores, which must not sit beside the TLS
// descriptor call (tools/check_tls_calls.py).
FRAME_NOINLINE ThreadSitesTls& sites_tls() noexcept { return thread_sites_tls; }

// Empties a slot: the references go only once it is consistent again, since
// a destructor they run may call back into the very site.
void sites_slot_set(ThreadGlobal* t, PyObject* dict, PyObject* value, uint64_t tag) noexcept {
  PyObject* old_dict = t->dict;
  PyObject* old_value = t->value;
  PyObject* old_attr = t->attr_value;
  t->dict = Py_XNewRef(dict);
  t->value = Py_XNewRef(value);
  t->attr_value = nullptr;
  t->tag = tag;
  Py_XDECREF(old_dict);
  Py_XDECREF(old_value);
  Py_XDECREF(old_attr);
}

// The capsule's destructor: the thread state's dict is being cleared (or
// the entry dropped).
void sites_thread_sites_release(PyObject* capsule) noexcept {
  auto* b = static_cast<ThreadSites*>(PyCapsule_GetPointer(capsule, kThreadSitesName));
  if (b == nullptr) {
    PyErr_Clear();
    return;
  }
  ThreadSitesTls& tls = sites_tls();
  // Only the thread that made the block holds a pointer to it; where that
  // thread is not this one (and still runs), its pointer must lead nowhere.
  const bool own = b->owner == &tls;
  if (own) {
    if (tls.block == b) tls.block = nullptr;
  } else {
    b->tstate.store(nullptr, std::memory_order_relaxed);
  }
  // Destructors run by the releases below may call into a site: they look
  // up uncached instead of making a block no thread state would release.
  const bool was_releasing = own && tls.releasing;
  if (own) tls.releasing = true;
  for (ThreadGlobal& t : b->slots) sites_slot_set(&t, nullptr, nullptr, 0);
  if (own) {
    tls.releasing = was_releasing;
    PyMem_RawFree(b);
  }
}

// The calling thread's block from its thread state's dict, made there on
// first use. nullptr (no error set) where none can be had.
ThreadSites* sites_thread_sites(Module& m, PyThreadState* ts) noexcept {
  ThreadSitesTls& tls = sites_tls();
  if (tls.releasing || m.dotted_obj == nullptr) return nullptr;
  PyObject* tsdict = PyThreadState_GetDict();  // borrowed; nullptr: none
  if (tsdict == nullptr) return nullptr;
  PyObject* exc = PyErr_GetRaisedException();  // a call may be failing
  ThreadSites* b = nullptr;
  PyObject* found = nullptr;
  // The module's dotted name is the key: one block per module and thread.
  const int r = PyDict_GetItemRef(tsdict, m.dotted_obj, &found);
  if (r > 0 && PyCapsule_IsValid(found, kThreadSitesName)) {
    b = static_cast<ThreadSites*>(PyCapsule_GetPointer(found, kThreadSitesName));
    if (b->tstate.load(std::memory_order_relaxed) != ts || b->mod != &m) b = nullptr;
  } else if (r == 0) {
    b = static_cast<ThreadSites*>(PyMem_RawCalloc(1, sizeof(ThreadSites)));
    if (b != nullptr) {
      new (b) ThreadSites{};
      b->tstate.store(ts, std::memory_order_relaxed);
      b->tstate_id = ts->id;
      b->mod = &m;
      b->owner = &tls;
      PyObject* capsule = PyCapsule_New(b, kThreadSitesName, sites_thread_sites_release);
      if (capsule == nullptr) {
        PyMem_RawFree(b);
        b = nullptr;
      } else {
        // On failure the capsule's release frees the block.
        if (PyDict_SetItem(tsdict, m.dotted_obj, capsule) < 0) b = nullptr;
        Py_DECREF(capsule);
      }
    }
  }
  Py_XDECREF(found);
  PyErr_SetRaisedException(exc);  // whatever failed here is not the caller's
  if (b != nullptr) tls.block = b;
  return b;
}

}  // namespace

ThreadGlobal* thread_global_slow(Module& m, GlobalSite& site) noexcept {
  PyThreadState* ts = PyThreadState_GetUnchecked();
  if (ts == nullptr) return nullptr;
  int slot = std::atomic_ref<int>(site.thread_slot).load(std::memory_order_acquire);
  if (slot < 0) {
    m.thread_sites_lock.lock();
    slot = site.thread_slot;
    if (slot < 0 && m.thread_sites_used < ThreadSites::kSlots) {
      slot = m.thread_sites_used++;
      std::atomic_ref<int>(site.thread_slot).store(slot, std::memory_order_release);
    }
    m.thread_sites_lock.unlock();
    if (slot < 0) return nullptr;
  }
  ThreadSites* b = sites_tls().block;
  if (b == nullptr || b->tstate.load(std::memory_order_relaxed) != ts || b->tstate_id != ts->id ||
      b->mod != &m) {
    b = sites_thread_sites(m, ts);
    if (b == nullptr) return nullptr;
  }
  return &b->slots[slot];
}

namespace {

// Looks `name` up in `d` under the dict's critical section, watching it first
// and reading the version inside (see ThreadSites): *tag is the version the
// result belongs to, *watched whether later changes will move it. 1, 0 or -1
// as PyDict_GetItemRef.
int sites_fill_lookup(Module& m, PyObject* d, PyObject* name, PyObject** v, uint64_t* tag,
                      bool* watched) noexcept {
  int found = 0;
  Py_BEGIN_CRITICAL_SECTION(d);
  *watched = m.dict_watcher >= 0 && dict_watch(m.dict_watcher, d) == 0;
  // dict_watch fails only for an id not registered or no dict: never here.
  if (!*watched && m.dict_watcher >= 0) PyErr_Clear();
  *tag = dict_version(d);
  // CAUTION: a key that is no str may run its __eq__ here, which may change
  // the dict (moving the version past *tag) or suspend this section.
  found = PyDict_GetItemRef(d, name, v);
  Py_END_CRITICAL_SECTION();
  return found;
}

// The free-threaded miss: the look-up, filling the thread's slot.
PyObject* sites_lookup_thread(FnObject* f, GlobalSite& site, PyObject* name) noexcept {
  Module& m = *f->mod;
  PyObject* globals = f->globals;
  PyObject* v = nullptr;
  uint64_t tag = 0;
  bool watched = false;
  int found = 0;
  if (globals != nullptr) {
    found = sites_fill_lookup(m, globals, name, &v, &tag, &watched);
    if (found < 0) return nullptr;
  }
  bool keep = globals != nullptr && watched;
  if (found == 0) {
    uint64_t btag = 0;
    bool bwatched = false;
    found = sites_fill_lookup(m, m.builtins_dict, name, &v, &btag, &bwatched);
    if (found < 0) return nullptr;
    if (found == 0) {
      // CONTRACT: the interpreter's own words for this failure; tests pin them.
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
      return nullptr;
    }
    keep = keep && bwatched && btag == tag;
  }
  // The slot is looked up after the look-ups, whose code may have run a
  // call that filled it: what is found here replaces that.
  ThreadGlobal* t = thread_global(m, site);
  if (t != nullptr) {
    if (keep) {
      sites_slot_set(t, globals, v, tag);
    } else {
      sites_slot_set(t, nullptr, nullptr, 0);
    }
  }
  return v;
}

}  // namespace
#endif

PyObject* lookup_global_slow(FnObject* f, GlobalSite& site, PyObject* name) noexcept {
#ifdef Py_GIL_DISABLED
  return sites_lookup_thread(f, site, name);
#else
  PyObject* globals = f->globals;
  PyObject* builtins = f->mod->builtins_dict;
  // Whatever the site held no longer applies, the attribute entry included
  // (GlobalSite's invariant).
  site = GlobalSite{};
  // The versions are read before the look-ups (the dictionaries watched
  // first, so that any change from now on moves them). A look-up can run
  // Python code: the __eq__ of a stored key with the hash of `name`. That
  // code may change either dictionary, or call a function that fills this
  // very site; what is found is kept only when neither dictionary moved
  // meanwhile, and replaces whatever an inner call put in the site.
  GlobalSite fill;
  bool keep = globals != nullptr && sites_watch(*f->mod, globals);
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
  keep = keep && sites_watch(*f->mod, builtins);
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
  // CONTRACT: the interpreter's own words for this failure; tests pin them.
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
#endif
}

PyObject* module_attr(Module& m, GlobalSite& site, PyObject* g, PyObject* attr) noexcept {
  // A descriptor of this name on the module type would come first.
  if (Py_IS_TYPE(g, &PyModule_Type) && PyUnicode_CheckExact(attr) &&
      _PyType_Lookup(&PyModule_Type, attr) == nullptr) {
    PyObject* md = PyModule_GetDict(g);  // borrowed; `g` is held by the caller
    if (md != nullptr) {
#ifdef Py_GIL_DISABLED
      // `g` came from the site's global look-up just before: the entry is
      // kept when the slot holds `g` at the version read here, so that the
      // one tag of the slot covers both (see ThreadSites).
      PyObject* v = nullptr;
      uint64_t tag = 0;
      bool watched = false;
      const int found = sites_fill_lookup(m, md, attr, &v, &tag, &watched);
      if (found < 0) return nullptr;
      if (found > 0) {
        ThreadGlobal* t = watched ? thread_global(m, site) : nullptr;
        if (t != nullptr && t->value == g && t->tag == tag) {
          set_field(t->attr_value, Py_NewRef(v));
        }
        return v;
      }
#else
      {
        // As for the global itself: the version is read before the look-up,
        // whose key comparisons may run Python code.
        const bool watched = sites_watch(m, md);
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
#endif
    }
  }
  return PyObject_GetAttr(g, attr);
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
            type_method_applies(self, tp)) {
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
          type_method_applies(self, tp)) {
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

int has_attr_slow(AbsentAttrSite& site, PyObject* obj, PyObject* name) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp->tp_getattro == PyObject_GenericGetAttr) {
    Ref type_hold = Ref::borrow(reinterpret_cast<PyObject*>(tp));
    // The tag is read before the look-up: a key of the type's dictionary that
    // is no str has its own __eq__ run by it, which may change the type (the
    // tag then differs after it, and nothing is kept) or the object (the
    // tests after it see that). On 3.11 a type first gets its tag from the
    // look-up, so its first miss keeps nothing.
    const unsigned int before = type_version_assign(tp);
    Ref found = Ref::steal(type_lookup_ref(tp, name));  // no error set either way
    if (!found && before != 0 && type_version(tp) == before && Py_TYPE(obj) == tp &&
        no_instance_attributes(obj)) {
      std::atomic_ref<unsigned int>(site.version).store(before, std::memory_order_relaxed);
      return 0;
    }
  }
  // Anything else: the interpreter's own access, an AttributeError made
  // only where the type's access makes one.
  PyObject* probe = nullptr;
  const int has = PyObject_GetOptionalAttr(obj, name, &probe);
  Py_XDECREF(probe);
  return has;
}

}  // namespace frame
