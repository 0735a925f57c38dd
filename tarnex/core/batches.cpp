// batches.cpp - split_batch and example_probe (placeholder until built).
#include "batchkit.hpp"

namespace bk {

PyObject* split_batch(frame::FnObject*, PyObject* const*) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "split_batch");
  return nullptr;
}
PyObject* example_probe(frame::FnObject*, PyObject* const*) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "example_probe");
  return nullptr;
}

}  // namespace bk
