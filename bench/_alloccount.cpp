// _alloccount.cpp - a benchmark aid: counts calls into the interpreter's
// object and memory allocators while switched on. Built by bench/run.py on
// demand; never shipped.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyMemAllocatorEx ac_orig_mem;
PyMemAllocatorEx ac_orig_obj;
bool ac_on = false;
// Both domains are used only with the interpreter's lock held.
Py_ssize_t ac_count = 0;

void* ac_malloc(void* ctx, size_t n) noexcept {
  ++ac_count;
  auto* a = static_cast<PyMemAllocatorEx*>(ctx);
  return a->malloc(a->ctx, n);
}
void* ac_calloc(void* ctx, size_t k, size_t n) noexcept {
  ++ac_count;
  auto* a = static_cast<PyMemAllocatorEx*>(ctx);
  return a->calloc(a->ctx, k, n);
}
void* ac_realloc(void* ctx, void* p, size_t n) noexcept {
  ++ac_count;
  auto* a = static_cast<PyMemAllocatorEx*>(ctx);
  return a->realloc(a->ctx, p, n);
}
void ac_free(void* ctx, void* p) noexcept {
  auto* a = static_cast<PyMemAllocatorEx*>(ctx);
  a->free(a->ctx, p);
}

PyObject* ac_start(PyObject*, PyObject*) noexcept {
  if (!ac_on) {
    PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &ac_orig_mem);
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &ac_orig_obj);
    PyMemAllocatorEx mem = {&ac_orig_mem, ac_malloc, ac_calloc, ac_realloc, ac_free};
    PyMemAllocatorEx obj = {&ac_orig_obj, ac_malloc, ac_calloc, ac_realloc, ac_free};
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mem);
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &obj);
    ac_on = true;
  }
  ac_count = 0;
  Py_RETURN_NONE;
}

// Switches counting off and returns the number of allocations since start().
PyObject* ac_stop(PyObject*, PyObject*) noexcept {
  const Py_ssize_t n = ac_count;
  if (ac_on) {
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &ac_orig_mem);
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &ac_orig_obj);
    ac_on = false;
  }
  return PyLong_FromSsize_t(n);
}

PyMethodDef ac_methods[] = {
    {"start", ac_start, METH_NOARGS, "Start counting allocations."},
    {"stop", ac_stop, METH_NOARGS, "Stop counting; return the count."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef ac_def = {PyModuleDef_HEAD_INIT,
                      "_alloccount",
                      nullptr,
                      -1,
                      ac_methods,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__alloccount(void) { return PyModule_Create(&ac_def); }
