// compat.hpp - what differs between the CPython versions the modules build
// for (3.11 on; built and run on 3.11 to 3.15), and the only place that asks
// which one it is. 3.15 needs no shim: what it deprecates or removes, nothing
// here uses, and its new module slot numbers come with its headers.
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

// ----------------------------------------------------- runnable empty code

namespace frame {

// The bytecode of `raise AssertionError` and its line table (new
// references), where the interpreter's own empty code object has none: early
// 3.11 releases made it with no bytecode at all, and running it ran the
// interpreter off its end. RESUME 0, LOAD_ASSERTION_ERROR, RAISE_VARARGS 1,
// all on the first line, in 3.11's opcodes, which no longer change. 0 or -1.
inline int raising_bytecode(PyObject** code, PyObject** linetable, int* stacksize) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  static const char kCode[] = {'\x97', '\x00', '\x4a', '\x00', '\x82', '\x01'};
  static const char kLines[] = {'\xea', '\x00'};
  *code = PyBytes_FromStringAndSize(kCode, sizeof kCode);
  *linetable = *code != nullptr ? PyBytes_FromStringAndSize(kLines, sizeof kLines) : nullptr;
  if (*linetable == nullptr) {
    Py_CLEAR(*code);
    return -1;
  }
  *stacksize = 1;
  return 0;
#else
  (void)code;
  (void)linetable;
  (void)stacksize;
  PyErr_SetString(PyExc_SystemError, "the interpreter's empty code object has no bytecode");
  return -1;
#endif
}

}  // namespace frame

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
// written by one call is read by another. What the modules need for that is
// here, and is plain code, or nothing, on GIL builds.
//
// Critical sections (3.13 on: a per-object lock taken for the span of a
// block, nothing on GIL builds) exist as no-ops before 3.13.
#if PY_VERSION_HEX < 0x030D0000
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace frame {

#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// A lock of the module's own shared state (the traceback-code cache): a
// PyMutex without the GIL, nothing with it. Never held across a call that can
// run Python code.
struct StateLock {
#ifdef Py_GIL_DISABLED
  PyMutex mutex{};
  void lock() noexcept { PyMutex_Lock(&mutex); }
  void unlock() noexcept { PyMutex_Unlock(&mutex); }
#else
  void lock() noexcept {}
  void unlock() noexcept {}
#endif
};

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

// The hash a str has cached (-1: not computed yet). Another thread may be
// storing it just then: read it as the interpreter writes it.
inline Py_hash_t str_cached_hash(PyObject* s) noexcept {
#if PY_VERSION_HEX >= 0x030F0000
  return PyUnstable_Unicode_GET_CACHED_HASH(s);
#elif defined(Py_GIL_DISABLED)
  return std::atomic_ref<Py_hash_t>(reinterpret_cast<PyASCIIObject*>(s)->hash)
      .load(std::memory_order_relaxed);
#else
  return reinterpret_cast<PyASCIIObject*>(s)->hash;
#endif
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
#else
inline int dict_watcher_add() noexcept { return 0; }
inline int dict_watch(int, PyObject*) noexcept { return 0; }
inline uint64_t dict_version(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
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

// ------------------------------------- a type's version, an object's own dict

// The version tag of `tp`, or 0 where it has no valid one. The interpreter
// gives a type a tag when its attribute cache first serves it and, on every
// change to the type or to a base (an attribute set or deleted, a slot
// updated, the bases replaced), clears Py_TPFLAGS_VALID_VERSION_TAG and sets
// the tag to 0, the value no valid tag has; a tag is never handed out twice.
// So an equal nonzero tag means that every look-up on the type still finds
// what it found when the tag was read. The interpreter's own specialized
// instructions compare the tag alone, as this does (3.11 to 3.14 alike).
inline unsigned int type_version(PyTypeObject* tp) noexcept { return tp->tp_version_tag; }

// type_version(tp), first giving the type a tag where it has none. 3.11
// offers no call for that: there the caller has just looked an attribute up
// on the type (_PyType_Lookup), which assigns one as it fills its cache.
inline unsigned int type_version_assign(PyTypeObject* tp) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (type_version(tp) == 0) (void)PyUnstable_Type_AssignVersionTag(tp);
#endif
  return type_version(tp);
}

// Whether `obj` certainly holds no attribute of its own: it has no instance
// dictionary, or an empty one, read where the generic attribute access reads
// it and without making one (asking for __dict__ would). false where it holds
// some, or may: a dictionary at a negative offset, or a layout this build
// does not know. The places are those of the interpreter's own headers
// (internal/pycore_object.h and internal/pycore_dict.h of each version):
// - a managed dictionary sits three words before the object (3.11 to 3.15,
//   GIL builds);
// - 3.11 keeps the values pointer one word before that, 3.12 tags it into
//   the dictionary word with its low bit;
// - 3.13 to 3.15 keep the values inline, at tp_basicsize (3.13 gives inline
//   values only to types whose tp_basicsize is the bare object header; 3.14
//   to every heap type of item size 0, torch.Tensor among them), headed by
//   `struct _dictvalues`: valid, and an empty insertion order, mean no
//   attribute is stored (the interpreter's own specialized method load,
//   LOAD_ATTR_METHOD_WITH_VALUES, checks `valid` first as well).
// A version past these has no managed dictionary read: every such object may
// hold attributes, so the method cache does not fill for it (slower, never
// wrong). Types without a dictionary, or with one at a positive
// tp_dictoffset, are read through public fields on every version.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x03100000
struct InlineValuesHead {  // struct _dictvalues, before its values array
  uint8_t capacity;
  uint8_t size;
  uint8_t embedded;
  uint8_t valid;
};
#endif

// Without the GIL another thread may give the object a dictionary, or
// replace or free the one it has, while this reads: only the dictionary
// pointer is read (atomically, where the interpreter stores it) and never
// followed. No dictionary means no attribute; any dictionary, even an empty
// one, and inline values (3.13: types whose instances are the bare object
// header; 3.14: every heap type of item size 0) count as "may hold some".
// Free-threaded builds keep the managed dictionary one word before the
// object (they have no GC header), 3.13 to 3.15; past those, as above.
inline bool no_instance_attributes(PyObject* obj) noexcept {
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x03100000
  PyTypeObject* tp = Py_TYPE(obj);
  void** slot = nullptr;
  if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
    if (tp->tp_flags & Py_TPFLAGS_INLINE_VALUES) return false;
    slot = reinterpret_cast<void**>(obj) - 1;
  } else if (tp->tp_dictoffset == 0) {
    return true;
  } else if (tp->tp_dictoffset > 0) {
    slot = reinterpret_cast<void**>(reinterpret_cast<char*>(obj) + tp->tp_dictoffset);
  } else {
    return false;
  }
  return std::atomic_ref<void*>(*slot).load(std::memory_order_relaxed) == nullptr;
#elif defined(Py_GIL_DISABLED)
  (void)obj;
  return false;
#else
  PyTypeObject* tp = Py_TYPE(obj);
  PyObject* dict = nullptr;
  if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
    void* const* pre = reinterpret_cast<void* const*>(obj);
#if PY_VERSION_HEX < 0x030C0000
    if (pre[-4] != nullptr) return false;
    dict = static_cast<PyObject*>(pre[-3]);
#elif PY_VERSION_HEX < 0x030D0000
    if ((reinterpret_cast<uintptr_t>(pre[-3]) & 1) != 0) return false;
    dict = static_cast<PyObject*>(pre[-3]);
#elif PY_VERSION_HEX < 0x03100000
    dict = static_cast<PyObject*>(pre[-3]);
    if (dict == nullptr && (tp->tp_flags & Py_TPFLAGS_INLINE_VALUES) != 0) {
      const auto* values = reinterpret_cast<const InlineValuesHead*>(
          reinterpret_cast<const char*>(obj) + tp->tp_basicsize);
      return values->valid != 0 && values->size == 0;
    }
#else
    (void)pre;
    return false;
#endif
  } else if (tp->tp_dictoffset == 0) {
    return true;
  } else if (tp->tp_dictoffset > 0) {
    dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + tp->tp_dictoffset);
  } else {
    return false;
  }
  return dict == nullptr || PyDict_GET_SIZE(dict) == 0;
#endif
}

}  // namespace frame
