// traceback.cpp - traceback entries for failures inside native functions, and
// the exception chaining of a failure that replaces another.
#include <cstdlib>

#include "frame.hpp"
#include "frameobject.h"

namespace frame {
namespace {

// One code object per (function name, line): a fresh frame reports its code's
// first line, so the line lives in the code object. Keys are the static name
// pointers, so "genexpr" and the function that runs it stay apart even where
// they report the same line. The cache holds a handful of entries per module.
PyObject* tb_cached(Module& m, const char* funcname, int line) noexcept {
  for (size_t i = 0; i < m.tb_cache_len; ++i) {
    const TracebackCacheEntry& e = m.tb_cache[i];
    if (e.funcname == funcname && e.line == line) return Py_NewRef(e.code);
  }
  return nullptr;
}

PyObject* tb_code(Module& m, const char* funcname, int line) noexcept {
  m.tb_lock.lock();
  PyObject* hit = tb_cached(m, funcname, line);
  m.tb_lock.unlock();
  if (hit != nullptr) return hit;
  // Made without the lock: making it allocates, and an allocation can run a
  // collection, whose finalizers can fail and report here again. It runs the
  // same bytecode as the functions' own code objects (a frame's code can be
  // handed to types.FunctionType); before the module has made its template,
  // in an early failure of its execution, the interpreter's empty code.
  PyCodeObject* code = nullptr;
  if (m.code_template.code != nullptr) {
    Ref name = Ref::steal(PyUnicode_FromString(funcname));
    if (!name) return nullptr;
    code = reinterpret_cast<PyCodeObject*>(
        make_code(m, name.get(), name.get(), line, 0, m.empty_tuple, CO_OPTIMIZED | CO_NEWLOCALS));
  } else {
    code = PyCode_NewEmpty(m.filename, funcname, line);
  }
  if (!code) return nullptr;
  PyObject* made = reinterpret_cast<PyObject*>(code);
  m.tb_lock.lock();
  // Another thread (or a finalizer) may have cached one meanwhile.
  hit = tb_cached(m, funcname, line);
  if (hit == nullptr && m.tb_cache_len == m.tb_cache_cap) {
    size_t cap = m.tb_cache_cap ? 2 * m.tb_cache_cap : 16;
    void* grown = PyMem_Realloc(m.tb_cache, cap * sizeof(TracebackCacheEntry));
    if (grown != nullptr) {
      m.tb_cache = static_cast<TracebackCacheEntry*>(grown);
      m.tb_cache_cap = cap;
    }
  }
  if (hit == nullptr && m.tb_cache_len < m.tb_cache_cap) {
    m.tb_cache[m.tb_cache_len++] = {funcname, line, Py_NewRef(made)};
  }
  m.tb_lock.unlock();
  if (hit != nullptr) {
    Py_DECREF(made);
    return hit;
  }
  return made;  // cached, or usable without being cached
}

}  // namespace

void raise_from_cause(PyObject* type, const char* message) noexcept {
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_SetString(type, message);
  PyObject* exc = PyErr_GetRaisedException();  // a MemoryError if that failed
  if (exc != nullptr && cause != nullptr) {
    PyException_SetCause(exc, Py_NewRef(cause));  // steals
    PyException_SetContext(exc, cause);           // steals
  } else {
    Py_XDECREF(cause);
  }
  PyErr_SetRaisedException(exc);
}

void add_traceback(Module& m, const char* funcname, int line, PyObject* globals) noexcept {
  if (globals == nullptr) globals = m.dict;
  if (globals == nullptr) return;
  // Building the entry allocates and may fail; the exception being reported
  // must survive that untouched.
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return;  // nothing in flight to add the entry to
  Ref code = Ref::steal(tb_code(m, funcname, line));
  Ref frame;
  if (code) {
    frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
  }
  if (!frame) {
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    return;
  }
  // PyTraceBack_Here replaces the exception by its own MemoryError when it
  // cannot allocate the entry; a reference is kept to put the original back.
  PyErr_SetRaisedException(Py_XNewRef(exc.get()));
  if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) {
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
  }
}

}  // namespace frame
