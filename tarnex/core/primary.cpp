// primary.cpp - example_tensor and set_primary_input (placeholder until built).
#include "batchkit.hpp"

namespace bk {

PyObject* example_tensor(frame::FnObject*, PyObject* const*) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "example_tensor");
  return nullptr;
}
PyObject* set_primary_input(frame::FnObject*, PyObject* const*) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "set_primary_input");
  return nullptr;
}

}  // namespace bk
