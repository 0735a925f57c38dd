// _callgrind.cpp - a benchmark aid: runs a measured loop with callgrind's
// collection switched on around it, and dumps the count. Built by
// bench/run.py on demand for its instruction mode; never shipped. Outside
// valgrind the client requests do nothing.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <valgrind/callgrind.h>

namespace {

// Whether the process runs under valgrind.
PyObject* cg_running(PyObject*, PyObject*) noexcept {
  return PyBool_FromLong(RUNNING_ON_VALGRIND ? 1 : 0);
}

// Switches instrumentation on (once, after the imports: the start-up runs
// uninstrumented, which is several times faster).
PyObject* cg_start(PyObject*, PyObject*) noexcept {
  CALLGRIND_START_INSTRUMENTATION;
  Py_RETURN_NONE;
}

// measure(loop, n, label): calls loop(n) with collection switched on around
// that call only, then dumps the counts under `label` (which also zeroes
// them). What the call costs beyond the loop itself is the same for every n.
PyObject* cg_measure(PyObject*, PyObject* args) noexcept {
  PyObject* loop = nullptr;
  PyObject* n = nullptr;
  const char* label = nullptr;
  if (!PyArg_ParseTuple(args, "OOs:measure", &loop, &n, &label)) return nullptr;
  CALLGRIND_TOGGLE_COLLECT;
  PyObject* r = PyObject_CallOneArg(loop, n);
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS_AT(label);
  return r;
}

PyMethodDef cg_methods[] = {
    {"running", cg_running, METH_NOARGS, "Whether the process runs under valgrind."},
    {"start", cg_start, METH_NOARGS, "Switch instrumentation on."},
    {"measure", cg_measure, METH_VARARGS, "Call loop(n) with collection on; dump as label."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef cg_def = {PyModuleDef_HEAD_INIT,
                      "_callgrind",
                      nullptr,
                      -1,
                      cg_methods,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__callgrind(void) { return PyModule_Create(&cg_def); }
