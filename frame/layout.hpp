// layout.hpp - the interpreter's own objects read in place: fields that no
// public call gives, read where each CPython version keeps them.
//
// Every read names the CPython header it mirrors and holds for a closed
// range of versions. Outside its range it gives the safe answer instead (the
// object may hold attributes; no hash is cached; no dict version, so the
// look-up caches stay empty): a new interpreter is slower, never wrong, and
// the build says which reads fell back. Each read is held to what the public
// API says by tests/test_layout_reads.py on every interpreter CI runs.
//
// TARNEX_LAYOUT_UNKNOWN (a compile definition) builds as for a version past
// every range, to check that the fallbacks alone make a working module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#ifdef TARNEX_LAYOUT_UNKNOWN
#define FRAME_LAYOUT_HEX 0x7FFFFFFF
#else
#define FRAME_LAYOUT_HEX PY_VERSION_HEX
#endif

// The ranges, each [first, past) as PY_VERSION_HEX values.
#define FRAME_IN_RANGE(first, past) (FRAME_LAYOUT_HEX >= (first) && FRAME_LAYOUT_HEX < (past))
// The managed dictionary and the values before or after the object: 3.11 to
// 3.15 (GIL), 3.13 to 3.15 (free-threaded).
#ifdef Py_GIL_DISABLED
#define FRAME_READS_MANAGED_DICT FRAME_IN_RANGE(0x030D0000, 0x03100000)
#else
#define FRAME_READS_MANAGED_DICT FRAME_IN_RANGE(0x030B0000, 0x03100000)
#endif
// PyTypeObject::tp_version_tag and its meaning: 3.11 to 3.15.
#define FRAME_READS_TYPE_VERSION FRAME_IN_RANGE(0x030B0000, 0x03100000)
// PyDictObject::ma_version_tag: 3.11 only (deprecated in 3.12, gone in 3.14;
// 3.12 on use a dict watcher instead, compat.hpp).
#define FRAME_READS_DICT_VERSION FRAME_IN_RANGE(0x030B0000, 0x030C0000)
// PyASCIIObject::hash: 3.11 to 3.14 (3.15 has a call for it).
#define FRAME_READS_STR_HASH FRAME_IN_RANGE(0x030B0000, 0x030F0000)
// 3.11's opcodes, which no later version keeps.
#define FRAME_WRITES_311_OPCODES FRAME_IN_RANGE(0x030B0000, 0x030C0000)

#if !FRAME_READS_MANAGED_DICT
#pragma message("tarnex: no managed-dictionary read for this CPython: the method cache stays empty")
#endif
#if !FRAME_READS_TYPE_VERSION
#pragma message("tarnex: no type version read for this CPython: the method cache stays empty")
#endif
#if PY_VERSION_HEX < 0x030C0000 && !FRAME_READS_DICT_VERSION
#pragma message("tarnex: no dict version read for this CPython: the global caches stay empty")
#endif
#if PY_VERSION_HEX < 0x030F0000 && !FRAME_READS_STR_HASH
#pragma message("tarnex: no cached str hash read for this CPython: every key is hashed anew")
#endif

namespace frame {

// The reads this build does not make, as bits, for the tests that pin them.
inline constexpr unsigned kNoManagedDictRead = 1U << 0;
inline constexpr unsigned kNoTypeVersionRead = 1U << 1;
inline constexpr unsigned kNoDictVersionRead = 1U << 2;  // 3.11 only: later ones need none
inline constexpr unsigned kNoStrHashRead = 1U << 3;      // before 3.15 only
inline constexpr unsigned kLayoutFallbacks =
    (FRAME_READS_MANAGED_DICT ? 0U : kNoManagedDictRead) |
    (FRAME_READS_TYPE_VERSION ? 0U : kNoTypeVersionRead) |
    (PY_VERSION_HEX >= 0x030C0000 || FRAME_READS_DICT_VERSION ? 0U : kNoDictVersionRead) |
    (PY_VERSION_HEX >= 0x030F0000 || FRAME_READS_STR_HASH ? 0U : kNoStrHashRead);

// ------------------------------------------------------ a type's version

// The version tag of `tp`, or 0 where it has no valid one (Include/cpython/
// object.h, Objects/typeobject.c). The interpreter gives a type a tag when its
// attribute cache first serves it and, on every change to the type or to a
// base (an attribute set or deleted, a slot updated, the bases replaced),
// clears Py_TPFLAGS_VALID_VERSION_TAG and sets the tag to 0, the value no
// valid tag has; a tag is never handed out twice. So an equal nonzero tag
// means that every look-up on the type still finds what it found when the
// tag was read. The interpreter's own specialized instructions compare the
// tag alone, as this does. Outside the range: 0, and nothing is cached by it.
inline unsigned int type_version(PyTypeObject* tp) noexcept {
#if FRAME_READS_TYPE_VERSION && defined(Py_GIL_DISABLED)
  // Another thread may clear or assign it meanwhile (under the type lock).
  return std::atomic_ref<unsigned int>(tp->tp_version_tag).load(std::memory_order_relaxed);
#elif FRAME_READS_TYPE_VERSION
  return tp->tp_version_tag;
#else
  (void)tp;
  return 0;
#endif
}

// ------------------------------------------------- a dict's own version

#if FRAME_READS_DICT_VERSION
// 3.11's ma_version_tag (Include/cpython/dictobject.h): unique across the
// process and changed on each modification of the dict.
inline uint64_t dict_own_version(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// --------------------------------------------------- a str's cached hash

// The hash a str has cached (-1: not computed yet; Include/cpython/
// unicodeobject.h). Another thread may be storing it just then: read it as
// the interpreter writes it. Outside the range, before the call exists: -1.
inline Py_hash_t str_cached_hash(PyObject* s) noexcept {
#if PY_VERSION_HEX >= 0x030F0000
  return PyUnstable_Unicode_GET_CACHED_HASH(s);
#elif !FRAME_READS_STR_HASH
  (void)s;
  return -1;
#elif defined(Py_GIL_DISABLED)
  return std::atomic_ref<Py_hash_t>(reinterpret_cast<PyASCIIObject*>(s)->hash)
      .load(std::memory_order_relaxed);
#else
  return reinterpret_cast<PyASCIIObject*>(s)->hash;
#endif
}

// ------------------------------------------------ runnable empty code

// The bytecode of `raise AssertionError` and its line table (new
// references), where the interpreter's own empty code object has none: early
// 3.11 releases made it with no bytecode at all, and running it ran the
// interpreter off its end. RESUME 0, LOAD_ASSERTION_ERROR, RAISE_VARARGS 1,
// all on the first line, in 3.11's opcodes (Include/opcode.h of 3.11). 0 or
// -1.
inline int raising_bytecode(PyObject** code, PyObject** linetable, int* stacksize) noexcept {
#if FRAME_WRITES_311_OPCODES
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

// ------------------------------------------------ an object's own dict

// Whether `obj` certainly holds no attribute of its own: it has no instance
// dictionary, or an empty one, read where the generic attribute access reads
// it and without making one (asking for __dict__ would). false where it holds
// some, or may: a dictionary at a negative offset, or a layout this build
// does not know. The places are those of the interpreter's own headers
// (Include/internal/pycore_object.h and pycore_dict.h of each version):
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
// Types without a dictionary, or with one at a positive tp_dictoffset, are
// read through public fields on every version. Outside the range a managed
// dictionary is not read: every such object may hold attributes, so the
// method cache does not fill for it.
//
// Without the GIL another thread may give the object a dictionary, or
// replace or free the one it has, while this reads: only the dictionary
// pointer is read (atomically, where the interpreter stores it) and never
// followed. No dictionary means no attribute; any dictionary, even an empty
// one, and inline values (3.13: types whose instances are the bare object
// header; 3.14: every heap type of item size 0) count as "may hold some".
// Free-threaded builds keep the managed dictionary one word before the
// object (they have no GC header).
#if FRAME_READS_MANAGED_DICT && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030D0000
struct InlineValuesHead {  // struct _dictvalues, before its values array
  uint8_t capacity;
  uint8_t size;
  uint8_t embedded;
  uint8_t valid;
};
#endif

inline bool no_instance_attributes(PyObject* obj) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
#if defined(Py_GIL_DISABLED)
  void** slot = nullptr;
  if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
#if FRAME_READS_MANAGED_DICT
    if (tp->tp_flags & Py_TPFLAGS_INLINE_VALUES) return false;
    slot = reinterpret_cast<void**>(obj) - 1;
#else
    return false;
#endif
  } else if (tp->tp_dictoffset == 0) {
    return true;
  } else if (tp->tp_dictoffset > 0) {
    slot = reinterpret_cast<void**>(reinterpret_cast<char*>(obj) + tp->tp_dictoffset);
  } else {
    return false;
  }
  return std::atomic_ref<void*>(*slot).load(std::memory_order_relaxed) == nullptr;
#else
  PyObject* dict = nullptr;
  if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
#if !FRAME_READS_MANAGED_DICT
    return false;
#else
    void* const* pre = reinterpret_cast<void* const*>(obj);
#if PY_VERSION_HEX < 0x030C0000
    if (pre[-4] != nullptr) return false;
    dict = static_cast<PyObject*>(pre[-3]);
#elif PY_VERSION_HEX < 0x030D0000
    if ((reinterpret_cast<uintptr_t>(pre[-3]) & 1) != 0) return false;
    dict = static_cast<PyObject*>(pre[-3]);
#else
    dict = static_cast<PyObject*>(pre[-3]);
    if (dict == nullptr && (tp->tp_flags & Py_TPFLAGS_INLINE_VALUES) != 0) {
      const auto* values = reinterpret_cast<const InlineValuesHead*>(
          reinterpret_cast<const char*>(obj) + tp->tp_basicsize);
      return values->valid != 0 && values->size == 0;
    }
#endif
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
