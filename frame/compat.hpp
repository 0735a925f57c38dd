// compat.hpp - what differs between the CPython versions the modules build
// for (3.11 on; built and run on 3.11 to 3.15) in their API: shims under the
// newest public names. 3.15 needs no shim: what it deprecates or removes,
// nothing here uses, and its new module slot numbers come with its headers.
// Where the interpreter's objects are read in place, by layout, is
// layout.hpp's alone, each read within a closed range of versions; the C
// stack's bound asks the version in stack_guard.hpp, for the interpreter's
// own stack limits.
//
// Each shim bears the name of the newest public function or constant and,
// where the interpreter being built for predates it, means the same through
// what that interpreter offers. Code elsewhere calls the newest names and
// carries no version conditionals; a shim is dropped here once the oldest
// supported version has the real thing.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "layout.hpp"

#if PY_VERSION_HEX < 0x030B0000
#error "the native modules need CPython 3.11 or later"
#endif

// ------------------------------------------------------------- 3.12 names

#if PY_VERSION_HEX < 0x030C0000
#include "structmember.h"

// Member types and flags of PyMemberDef, public in Python.h since 3.12.
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY

// The exception in flight as one object (its traceback attached), and back.
// 3.11 keeps type, value and traceback apart and may hold the value
// unnormalized; normalizing can run the exception's constructor and, without
// memory, yields a MemoryError instead, as the interpreter's own except
// clause would.
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) (void)PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
}

static inline void PyErr_SetRaisedException(PyObject* exc) {
  if (exc == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  PyObject* tb = PyException_GetTraceback(exc);  // new reference or nullptr
  PyErr_Restore(type, exc, tb);
}

// The full code-object constructor; 3.12 renamed it to say that its
// signature follows the interpreter's internals.
static inline PyCodeObject* PyUnstable_Code_New(int argcount, int kwonlyargcount, int nlocals,
                                                int stacksize, int flags, PyObject* code,
                                                PyObject* consts, PyObject* names,
                                                PyObject* varnames, PyObject* freevars,
                                                PyObject* cellvars, PyObject* filename,
                                                PyObject* name, PyObject* qualname, int firstlineno,
                                                PyObject* linetable, PyObject* exceptiontable) {
  return PyCode_New(argcount, kwonlyargcount, nlocals, stacksize, flags, code, consts, names,
                    varnames, freevars, cellvars, filename, name, qualname, firstlineno, linetable,
                    exceptiontable);
}
#endif

// ------------------------------------------------------------- 3.13 names

#if PY_VERSION_HEX < 0x030D0000
// getattr(obj, name) where a missing attribute is no error: 1 found (*result
// a new reference), 0 missing (no error set), -1 error.
static inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
  return _PyObject_LookupAttr(obj, name, result);
}
#endif

// ------------------------------------------------------- strong look-ups

#if PY_VERSION_HEX < 0x030D0000
// d[key] as a strong reference: 1 found (*result new), 0 missing (no error
// set), -1 error.
static inline int PyDict_GetItemRef(PyObject* mp, PyObject* key, PyObject** result) {
  PyObject* v = PyDict_GetItemWithError(mp, key);
  *result = Py_XNewRef(v);
  if (v != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
}
#endif

// --------------------------------------------------- free-threaded builds
//
// Without the GIL (the `t` builds from 3.13 on) other threads run while a
// call runs: a borrowed reference can be freed under it, and shared state
// written by one call is read by another. What the modules need for that
// from the API is here, and is plain code, or nothing, on GIL builds (the
// lock of the module's own state is state_lock.hpp's).
//
// Critical sections (3.13 on: a per-object lock taken for the span of a
// block, nothing on GIL builds) exist as no-ops before 3.13.
#if PY_VERSION_HEX < 0x030D0000
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace frame {

// A type's attribute by the type look-up (the MRO's dictionaries, no
// descriptor called), as a strong reference or nullptr: another thread can
// replace it in the type's dictionary and free it once the look-up returns.
inline PyObject* type_lookup_ref(PyTypeObject* tp, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return _PyType_LookupRef(tp, name);
#else
  return Py_XNewRef(_PyType_Lookup(tp, name));
#endif
}

// list[i] as a strong reference, or nullptr (no error set) past its end.
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t i) noexcept {
  PyObject* item = nullptr;
  Py_BEGIN_CRITICAL_SECTION(list);
  if (i < PyList_GET_SIZE(list)) item = Py_NewRef(PyList_GET_ITEM(list, i));
  Py_END_CRITICAL_SECTION();
  return item;
}

}  // namespace frame

// The module slot that tells the interpreter the module runs without the GIL
// (3.13 on; a free-threaded interpreter turns the GIL back on for a module
// without it). A row of a PyModuleDef_Slot table, or nothing.
#ifdef Py_mod_gil
#define FRAME_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define FRAME_MOD_GIL_SLOT
#endif

// --------------------------------------------- versions of a dict's contents

namespace frame {

// The look-up caches keep a value found in a dictionary together with the
// dictionary and `dict_version(dict)` read at that time; an equal pair later
// means no entry of that dictionary has been added, replaced or deleted
// since. Before a cache entry is filled, the dictionary is passed to
// `dict_watch` with the id that `dict_watcher_add` gave (once per module
// state, which lives as long as the interpreter: its finalization releases
// the watcher).
//
// 3.11: every dict carries a version tag that is unique across the process
// and changes on each modification; nothing needs watching.
// 3.12 and later: that tag is deprecated (3.12) and then gone (3.14). A dict
// watcher counts every event of every watched dict (a change, a clear, the
// dict's deallocation) into one counter, which is then the version of each
// of them: coarser, since a change in one watched dict also moves the others,
// but exact, as nothing watched can change without it moving.
// Free-threaded builds count the same way, atomically: the interpreter calls
// a watcher from whichever thread changes a dict, holding that dict's
// critical section and before the change is made (see ThreadSites in
// frame.hpp for what a fill must do about that). PyDict_Watch writes the
// dict's watcher bits without the dict's lock: the caller holds it.
#if defined(Py_GIL_DISABLED)
inline std::atomic<uint64_t> dict_events{1};

inline int dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  dict_events.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

inline int dict_watcher_add() noexcept { return PyDict_AddWatcher(dict_event); }
inline int dict_watch(int id, PyObject* dict) noexcept { return PyDict_Watch(id, dict); }
inline uint64_t dict_version(PyObject*) noexcept {
  return dict_events.load(std::memory_order_acquire);
}
#elif PY_VERSION_HEX >= 0x030C0000
// One counter per extension module: the frame is compiled into each of them.
inline uint64_t dict_events = 1;

// Called by the interpreter before a watched dict changes; it must not fail
// or run code, and does neither.
inline int dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++dict_events;
  return 0;
}

inline int dict_watcher_add() noexcept { return PyDict_AddWatcher(dict_event); }
inline int dict_watch(int id, PyObject* dict) noexcept { return PyDict_Watch(id, dict); }
inline uint64_t dict_version(PyObject*) noexcept { return dict_events; }
#elif FRAME_READS_DICT_VERSION
inline int dict_watcher_add() noexcept { return 0; }
inline int dict_watch(int, PyObject*) noexcept { return 0; }
inline uint64_t dict_version(PyObject* dict) noexcept { return dict_own_version(dict); }
#else
// A 3.11 whose dicts this build cannot read (layout.hpp): no watcher, so
// the look-up caches stay empty and no version is ever compared.
inline int dict_watcher_add() noexcept { return -1; }
inline int dict_watch(int, PyObject*) noexcept { return -1; }
inline uint64_t dict_version(PyObject*) noexcept { return 0; }
#endif

// ------------------------------------------------------------ str keys

// Whether `o` is an exact str whose comparisons run no code and read its
// contents as they are: 3.11 still has strings made by the old
// wide-character API, whose contents are filled in on first use.
inline bool exact_ready_str(PyObject* o) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_CheckExact(o) && PyUnicode_IS_READY(o);
#else
  return PyUnicode_CheckExact(o);
#endif
}

// Whether two ready str objects hold the same text, by str's own equality
// (length, kind, contents) read directly: no method runs and nothing can
// fail. Equal strings have equal hashes, so two known hashes that differ
// settle it before the contents are read.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
  if (n != PyUnicode_GET_LENGTH(b)) return false;
  const Py_hash_t ha = str_cached_hash(a);
  const Py_hash_t hb = str_cached_hash(b);
  if (ha != -1 && hb != -1 && ha != hb) return false;
  const int kind = PyUnicode_KIND(a);
  if (kind != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
}

// del d[key] where d may lack it: 1 deleted, 0 missing, -1 error.
inline int dict_discard(PyObject* d, PyObject* key) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyDict_Pop(d, key, nullptr);
#else
  const int has = PyDict_Contains(d, key);
  if (has <= 0) return has;
  return PyDict_DelItem(d, key) < 0 ? -1 : 1;
#endif
}

// ------------------------------------------------------ a type's version

// type_version(tp) (layout.hpp), first giving the type a tag where it has none. 3.11
// offers no call for that: there the caller has just looked an attribute up
// on the type (_PyType_Lookup), which assigns one as it fills its cache.
inline unsigned int type_version_assign(PyTypeObject* tp) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (type_version(tp) == 0) (void)PyUnstable_Type_AssignVersionTag(tp);
#endif
  return type_version(tp);
}

}  // namespace frame
