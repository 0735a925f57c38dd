// traceback.cpp - traceback entries for failures inside native functions.
#include <cstdlib>

#include "frame.hpp"
#include "frameobject.h"

namespace frame {
namespace {

// One code object per (function name, line): a fresh frame reports its code's
// first line, so the line lives in the code object. Keys are the static name
// pointers, so "genexpr" and the function that runs it stay apart even where
// they report the same line. The cache holds a handful of entries per module.
PyObject* tb_code(Module& m, const char* funcname, int line) noexcept {
  for (size_t i = 0; i < m.tb_cache_len; ++i) {
    const TracebackCacheEntry& e = m.tb_cache[i];
    if (e.funcname == funcname && e.line == line) return Ref::borrow(e.code).release();
  }
  PyCodeObject* code = PyCode_NewEmpty(m.filename, funcname, line);
  if (!code) return nullptr;
  if (m.tb_cache_len == m.tb_cache_cap) {
    size_t cap = m.tb_cache_cap ? 2 * m.tb_cache_cap : 16;
    void* grown = PyMem_Realloc(m.tb_cache, cap * sizeof(TracebackCacheEntry));
    if (!grown) return reinterpret_cast<PyObject*>(code);  // usable, just not cached
    m.tb_cache = static_cast<TracebackCacheEntry*>(grown);
    m.tb_cache_cap = cap;
  }
  m.tb_cache[m.tb_cache_len++] = {funcname, line,
                                  Ref::borrow(reinterpret_cast<PyObject*>(code)).release()};
  return reinterpret_cast<PyObject*>(code);
}

}  // namespace

void add_traceback(Module& m, const char* funcname, int line, PyObject* globals) noexcept {
  if (globals == nullptr) globals = m.dict;
  if (globals == nullptr) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  // Building the entry allocates and may fail; the exception being reported
  // must survive that untouched.
  PyErr_Fetch(&type, &value, &tb);
  Ref code = Ref::steal(tb_code(m, funcname, line));
  Ref frame;
  if (code) {
    frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
  }
  if (!frame) {
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return;
  }
  // PyTraceBack_Here replaces the exception by its own MemoryError when it
  // cannot allocate the entry; keep references to put the original back.
  Py_XINCREF(type);
  Py_XINCREF(value);
  Py_XINCREF(tb);
  PyErr_Restore(type, value, tb);
  if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) {
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
}

}  // namespace frame
