// sites.hpp - the look-up sites: a module global's (with the attribute of a
// global module, for the instance test against it), a method's called by
// name and an optional attribute's found missing, each a cache that serves
// exactly what a fresh look-up would find, and the per-thread caches that
// stand in for the first without the GIL (sites.cpp).
//
// Conventions: PyObject* parameters are borrowed, PyObject* results are new
// references; failures return nullptr or -1 with the error indicator set.
// Nothing here throws.
#pragma once

#include <atomic>
#include <cstring>

#include "calls.hpp"
#include "function.hpp"

namespace frame {

// One look-up site of a module global. The value found in the module
// dictionary is kept with the dictionary's version (dict_version, see
// compat.hpp); a hit in builtins is kept with both versions, so any insert or
// delete in either is seen next time.
//
// The site holds no reference of its own: an unchanged dictionary still holds
// the value it held when the site was filled, so a hit is alive for as long as
// no Python code runs. Objects the module no longer refers to are freed as
// soon as nothing else holds them.
//
// Without the GIL that reasoning does not hold (another thread can replace
// the entry and free the value between the version check and the use), and
// a site shared by all threads would be written by all of them: free-threaded
// builds keep what a site found per thread, with strong references (see
// ThreadSites), and the site itself only names its slot there.
struct GlobalSite {
  PyObject* dict = nullptr;  // borrowed: the module dictionary of the fill
  uint64_t dict_tag = 0;
  uint64_t builtins_tag = 0;  // 0: the value came from the module dictionary
  PyObject* value = nullptr;  // borrowed
  // The attribute that isinstance_of_global_attr fetches from the global,
  // when the global is a plain module (see module_attr). A site serves one
  // attribute name.
  //
  // Invariant: a filled attribute entry belongs to the global the site holds
  // now. Every fill of the global's own entry (lookup_global_slow) starts from
  // an empty site, the attribute entry included, so a hit on the global's
  // entry may use the attribute entry's dictionary without holding it.
  PyObject* attr_dict = nullptr;  // borrowed: that module's dictionary
  uint64_t attr_tag = 0;
  PyObject* attr_value = nullptr;  // borrowed
#ifdef Py_GIL_DISABLED
  int thread_slot = -1;  // its index in each thread's ThreadSites, once given one
#endif
};

#ifdef Py_GIL_DISABLED
// What one site found, for one thread. Only that thread reads or writes it,
// until its thread state is cleared.
struct ThreadGlobal {
  PyObject* dict = nullptr;        // strong: the module dictionary of the fill
  PyObject* value = nullptr;       // strong: the global, nullptr: empty
  PyObject* attr_value = nullptr;  // strong: module_attr's entry, or nullptr
  uint64_t tag = 0;                // dict_version when both were current
};

// The look-up caches of one thread for one module (free-threaded builds).
//
// Soundness. Every value is held strongly, so a hit never hands out an
// object another thread has freed, whatever it did to the dictionaries. A
// hit needs the version read now to equal the slot's tag; the version is one
// counter that the interpreter's watcher call moves for every change of every
// watched dict, before that change is made and with that dict's critical
// section held. A fill watches the dict, reads the version and looks the
// name up, all inside the same critical section: every change whose watcher
// call the version read has seen had been made before the section began,
// and none can be made until it ends, so the value found is the dict's value
// at that version, never an older one under a newer tag (which reading the
// version and looking up without the lock could record: the counter moves
// before the new value is stored). Any change after that moves the counter
// past the tag. A hit is therefore what a fresh look-up returns, except for
// a change racing with the call, which may be seen or not. A value found in
// builtins, or an attribute of the global, is kept only when the version read
// for that dictionary equals the one read for the module dictionary: nothing
// watched changed in between, so the global was still missing, or still the
// same object, when the other was read.
//
// Lifetime. The block is owned by a capsule in the thread state's dict
// (PyThreadState_GetDict), whose clearing releases the references. A
// thread-local pointer reaches it fast; it is followed only while the
// block names the current thread state, by address and unique id, and this
// module. Released on its own thread, the block is freed and the pointer
// reset; released on another (a thread state cleared by the interpreter's
// finalization), the block is emptied and only its owner mark cleared, so the
// pointer the first thread may still hold leads nowhere, and the memory is
// left (one small block, in that rare case). What a slot held is released
// when the thread refills that slot or its thread state is cleared.
struct ThreadSites {
  static constexpr int kSlots = 16;    // sites past these look up uncached
  std::atomic<PyThreadState*> tstate;  // nullptr once released elsewhere
  uint64_t tstate_id;
  const Module* mod;
  const void* owner;  // the address of the owning thread's pointer to it
  ThreadGlobal slots[kSlots];
};

// The thread's block, as the thread-local pointer names it, and whether its
// thread is releasing one (no new block is made meanwhile). The default TLS
// model, as for the stack bound.
struct ThreadSitesTls {
  ThreadSites* block = nullptr;
  bool releasing = false;
};
inline thread_local ThreadSitesTls thread_sites_tls{};

// The slot of `site` for the calling thread, making the thread's block and
// the site's index on first use; nullptr where it cannot be had (no thread
// state dict, no memory, all slots given out): the caller looks up uncached.
ThreadGlobal* thread_global_slow(Module& m, GlobalSite& site) noexcept;

// Out of line: the TLS descriptor call it makes stays in a small function
// that holds nothing in vector registers (tools/check_tls_calls.py).
FRAME_NOINLINE inline ThreadGlobal* thread_global(Module& m, GlobalSite& site) noexcept {
  ThreadSites* b = thread_sites_tls.block;
  const int slot = std::atomic_ref<int>(site.thread_slot).load(std::memory_order_relaxed);
  if (b != nullptr && slot >= 0) [[likely]] {
    PyThreadState* ts = PyThreadState_GetUnchecked();
    if (b->tstate.load(std::memory_order_relaxed) == ts && ts != nullptr &&
        b->tstate_id == ts->id && b->mod == &m) {
      return &b->slots[slot];
    }
  }
  return thread_global_slow(m, site);
}
#endif

// The cached global, or nullptr when the site must look again. Borrowed.
inline PyObject* site_hit(const FnObject* f, const GlobalSite& site) noexcept {
  if constexpr (kFreeThreaded) return nullptr;
  PyObject* g = f->globals;
  if (site.value != nullptr && site.dict == g && site.dict_tag == dict_version(g) &&
      (site.builtins_tag == 0 || site.builtins_tag == dict_version(f->mod->builtins_dict))) {
    return site.value;
  }
  return nullptr;
}

// The look-up behind a missed site; fills the site. New reference, or nullptr
// with NameError (or the error of the look-up) set.
PyObject* lookup_global_slow(FnObject* f, GlobalSite& site, PyObject* name) noexcept;

// The value of the global `name` as the function `f` sees it, or NameError.
// New reference.
inline PyObject* lookup_global(FnObject* f, GlobalSite& site, PyObject* name) noexcept {
#ifdef Py_GIL_DISABLED
  const ThreadGlobal* t = thread_global(*f->mod, site);
  if (t != nullptr && t->value != nullptr && t->dict == f->globals &&
      t->tag == dict_version(nullptr)) {
    return Py_NewRef(t->value);
  }
#endif
  PyObject* v = site_hit(f, site);
  return v != nullptr ? Py_NewRef(v) : lookup_global_slow(f, site, name);
}

// getattr(g, attr), served from `site` where g is a plain module: attribute
// access on an object of type exactly `module` (a static, immutable type)
// finds nothing on the type for an attribute the type does not define, and so
// returns the module dictionary's entry. That entry is kept with the
// dictionary's version, which changes on every insert, replacement and
// delete, so a cache hit is exactly what a fresh access would return. Any
// other object, a miss in the dictionary (module __getattr__, AttributeError)
// and a module whose type has been reassigned take the ordinary access.
// New reference.
PyObject* module_attr(Module& m, GlobalSite& site, PyObject* g, PyObject* attr) noexcept;

// isinstance(v, G.attr) with the global G looked up and attr fetched anew
// (both through the caches of `site`). 1 true, 0 false, -1 error.
int isinstance_of_global_attr_slow(FnObject* f, GlobalSite& site, PyObject* gname, PyObject* attr,
                                   PyObject* v) noexcept;
inline int isinstance_of_global_attr(FnObject* f, GlobalSite& site, PyObject* gname, PyObject* attr,
                                     PyObject* v) noexcept {
#ifdef Py_GIL_DISABLED
  // The thread's slot holds the global, the class and the dict strongly; the
  // tag covers both entries (see ThreadSites).
  const ThreadGlobal* t = thread_global(*f->mod, site);
  if (t != nullptr && t->attr_value != nullptr && t->dict == f->globals &&
      t->tag == dict_version(nullptr) && Py_IS_TYPE(t->value, &PyModule_Type)) {
    PyObject* cls = t->attr_value;
    if (Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(cls))) return 1;
    // CAUTION: the instance check may run Python code that refills the slot.
    Ref hold = Ref::borrow(cls);
    return is_instance(*f->mod, v, cls);
  }
#endif
  PyObject* g = site_hit(f, site);  // nullptr on free-threaded builds
  // By GlobalSite's invariant the global is the module the attribute entry
  // was filled from, so that entry's dictionary is alive.
  if (g != nullptr && site.attr_value != nullptr && Py_IS_TYPE(g, &PyModule_Type) &&
      site.attr_tag == dict_version(site.attr_dict)) {
    PyObject* cls = site.attr_value;
    if (Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(cls))) return 1;
    // CAUTION: the instance check may run Python code that drops the class.
    Ref hold = Ref::borrow(cls);
    return is_instance(*f->mod, v, cls);
  }
  return isinstance_of_global_attr_slow(f, site, gname, attr, v);
}

// One call site of a method called by name, obj.name(*args), with the
// method looked up once per type instead of on every call, as the
// interpreter's own call sites cache it. A filled site holds the type, its
// version tag and what the type look-up found: a method descriptor (a
// function, a builtin method), which the generic attribute access hands back
// unbound, to be called with the object in front, unless the object's own
// dictionary holds the name. The site is used only while the type is the
// same with the same tag (so its look-up would find the same descriptor,
// and its attribute access is still the generic one) and the object has no
// attribute of its own; everything else (another type, a type changed since,
// an instance attribute, a __getattribute__ or __getattr__, a data
// descriptor or any other kind of attribute) takes the interpreter's full
// look-up by name.
//
// The site holds no reference: the type's dictionary holds the method for as
// long as the tag is unchanged. The call holds one, since the method may
// change the type while it runs.
//
// Free-threaded builds never fill a site (another thread may change the type
// and free the method between the test and the call). They look the method
// up on every call, by the type look-up the interpreter's own attribute
// access makes (served from the type's attribute cache, a strong reference),
// and call a method descriptor found so directly under the same conditions.
struct MethodSite {
  PyTypeObject* type = nullptr;  // borrowed
  unsigned int version = 0;      // nonzero once filled
  PyObject* method = nullptr;    // borrowed
};

// The one condition under which a method descriptor that the type look-up
// of `tp` found is what the attribute access on `self` would hand back,
// unbound: `self` is of that very type, the type's attribute access is the
// generic one, and `self` holds no attribute of its own that could shadow
// the method. Every fill of a site tests it after its look-up, and every hit
// before it serves the site (and free-threaded builds before each direct
// call of what their look-up found).
inline bool type_method_applies(PyObject* self, PyTypeObject* tp) noexcept {
  return Py_TYPE(self) == tp && tp->tp_getattro == PyObject_GenericGetAttr &&
         no_instance_attributes(self);
}

// method(*args), for a method descriptor the type look-up found, through its
// vectorcall slot directly where it has one, as the interpreter's own
// specialized calls of method descriptors make it: without the thread state
// and the check of the result PyObject_Vectorcall adds. The one inconsistent
// result the caller could not tell from a failure, NULL without an
// exception, is reported as PyObject_Vectorcall reports it; a result with an
// exception set is left to the check our own caller makes of our result.
// New reference.
inline PyObject* call_method_descriptor(PyObject* method, PyObject* const* args,
                                        size_t nargsf) noexcept {
  // PyVectorcall_Function, read in place: 3.11 has it out of line.
  PyTypeObject* tp = Py_TYPE(method);
  if (!PyType_HasFeature(tp, Py_TPFLAGS_HAVE_VECTORCALL)) {
    return PyObject_Vectorcall(method, args, nargsf, nullptr);
  }
  vectorcallfunc call = nullptr;
  std::memcpy(static_cast<void*>(&call), reinterpret_cast<char*>(method) + tp->tp_vectorcall_offset,
              sizeof call);
  if (call == nullptr) return PyObject_Vectorcall(method, args, nargsf, nullptr);
  PyObject* result = call(method, args, nargsf, nullptr);
  if (result == nullptr && !PyErr_Occurred()) {
    PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", method);
  }
  return result;
}

// The miss: the full look-up by name and the call, filling the site where
// the type allows. New reference.
PyObject* call_method_slow(MethodSite& site, PyObject* name, PyObject* const* args,
                           size_t nargsf) noexcept;

// args[0].name(*args[1:]), `nargsf` as a vectorcall takes it (the count,
// the object included, and PY_VECTORCALL_ARGUMENTS_OFFSET where args[-1] is
// free for the callee's use). New reference.
inline PyObject* call_method(MethodSite& site, PyObject* name, PyObject* const* args,
                             size_t nargsf) noexcept {
  if constexpr (!kFreeThreaded) {
    PyObject* self = args[0];
    PyTypeObject* tp = Py_TYPE(self);
    // The site's type and tag stand for the type look-up the fill made.
    if (tp == site.type && type_version(tp) == site.version && type_method_applies(self, tp)) {
      // CAUTION: the method may run any Python code, changing the type; it
      // is held for the call.
      PyObject* method = Py_NewRef(site.method);
      PyObject* result = call_method_descriptor(method, args, nargsf);
      Py_DECREF(method);
      return result;
    }
  }
  return call_method_slow(site, name, args, nargsf);
}

// hasattr(obj, name) at one call site where the answer is mostly "no" (an
// optional attribute of a result, such as a model output's `logits`). A type
// whose look-up found no such attribute is kept by its version tag alone, as
// the interpreter's own specialized attribute loads guard on it (layout.hpp:
// a tag is never handed out twice, and every change to the type or a base
// clears it). An object of that type with the generic attribute access and no
// attribute of its own then answers "no" without a look-up. Besides being
// cheaper, that answer does not depend on the interpreter's attribute cache:
// its entry for the name is chosen by the name's address and the tag, so in
// one process it may share the entry with a look-up the caller's own loop
// makes, and the two would then evict each other on every call.
//
// The site holds nothing but the tag, one word, read and written whole, so
// free-threaded builds keep it as well: a tag another thread stored is as good
// as one this thread stored.
struct AbsentAttrSite {
  unsigned int version = 0;  // a tag under which the type lacks the name; 0: empty
};

// The look-up behind a missed site, filling it where the type allows.
int has_attr_slow(AbsentAttrSite& site, PyObject* obj, PyObject* name) noexcept;

// hasattr(obj, name) for the one name `site` serves: 1, 0, or -1 with the
// error set (an AttributeError counts as "no", as for hasattr).
inline int has_attr(AbsentAttrSite& site, PyObject* obj, PyObject* name) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  const unsigned int version = type_version(tp);
  if (version != 0 &&
      version == std::atomic_ref<unsigned int>(site.version).load(std::memory_order_relaxed) &&
      tp->tp_getattro == PyObject_GenericGetAttr && no_instance_attributes(obj)) {
    return 0;
  }
  return has_attr_slow(site, obj, name);
}

}  // namespace frame
