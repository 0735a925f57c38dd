// batches.cpp - split_batch and example_probe: splitting a batch into (x, y)
// and cutting a small example batch out of a model input.
#include "batchkit.hpp"

namespace bk {
namespace {

using frame::fail;
using frame::Ref;

frame::GlobalSite batches_torch_site;

// batch.get(*args) as a method call by name, so a subclass's own `get` runs.
// `args` has a free slot in front of the object for the vectorcall offset.
PyObject* batches_call_get(PyObject** args, size_t nargs) noexcept {
  return PyObject_VectorcallMethod(state.s_get, args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
}

// Whether `key` differs from the label string `label`: 1 differs, 0 equal,
// -1 error. `key` is held strongly by the caller: its __ne__ may run any
// Python code, including code that empties the batch.
int batches_differs(PyObject* key, PyObject* label) noexcept {
  if (key == label) return 0;
  if (PyUnicode_CheckExact(key)) {
    // str's own comparison: reads the contents, calls no method.
    Ref r = Ref::steal(PyUnicode_RichCompare(key, label, Py_NE));
    if (!r) return -1;
    return r.get() == Py_True ? 1 : 0;
  }
  if (key == Py_None) return 1;
  // CAUTION: the key's own comparison and truth test may run Python code.
  Ref r = Ref::steal(PyObject_RichCompare(key, label, Py_NE));
  if (!r) return -1;
  if (r.get() == Py_True) return 1;
  if (r.get() == Py_False || r.get() == Py_None) return 0;
  return PyObject_IsTrue(r.get());
}

// o[:8] through the type's mapping subscript only. Sequence item access and
// class subscription are deliberately not tried: an object whose type cannot
// take a slice key is reported as unsliceable.
PyObject* batches_cut(PyObject* o) noexcept {
  PyMappingMethods* mp = Py_TYPE(o)->tp_as_mapping;
  if (mp == nullptr || mp->mp_subscript == nullptr) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(o)->tp_name);
    return nullptr;
  }
  return mp->mp_subscript(o, state.probe_slice);
}

}  // namespace

PyObject* split_batch(frame::FnObject* f, PyObject* const* args) noexcept {
  PyObject* batch = args[0];
  // Tuples, lists and anything else go back as they came, for the caller to
  // unpack.
  if (!frame::is_dict(batch)) return Py_NewRef(batch);

  // labels = batch.get("labels", batch.get("label")): both calls always run,
  // "label" first, so a present "labels" wins even when it holds None.
  PyObject* first_args[] = {nullptr, batch, state.s_label};
  Ref first = Ref::steal(batches_call_get(first_args, 2));
  if (!first) return fail(f, SplitBatchLine::kLabels);
  PyObject* second_args[] = {nullptr, batch, state.s_labels, first.get()};
  Ref labels = Ref::steal(batches_call_get(second_args, 3));
  if (!labels) return fail(f, SplitBatchLine::kLabels);
  first.reset();

  Ref inputs = Ref::steal(PyDict_New());
  if (!inputs) return fail(f, SplitBatchLine::kInputs);
  frame::DictWalk walk(state.frame, frame::DictWalk::Kind::kItems);
  if (walk.start(batch) < 0) return fail(f, SplitBatchLine::kInputs);
  Ref k, v;
  for (;;) {
    int r = walk.next(k, v);
    if (r < 0) return fail(f, SplitBatchLine::kInputs);
    if (r == 0) break;
    int d = batches_differs(k.get(), state.s_labels);
    if (d < 0) return fail(f, SplitBatchLine::kInputs);
    if (d == 0) continue;
    d = batches_differs(k.get(), state.s_label);
    if (d < 0) return fail(f, SplitBatchLine::kInputs);
    if (d == 0) continue;
    if (PyDict_SetItem(inputs.get(), k.get(), v.get()) < 0) return fail(f, SplitBatchLine::kInputs);
  }

  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return fail(f, SplitBatchLine::kReturn);
  PyTuple_SET_ITEM(pair, 0, inputs.release());
  PyTuple_SET_ITEM(pair, 1, labels.release());
  return pair;
}

PyObject* example_probe(frame::FnObject* f, PyObject* const* args) noexcept {
  PyObject* x = args[0];
  if (!frame::is_dict(x)) {
    PyObject* cut = batches_cut(x);
    return cut ? cut : fail(f, ExampleProbeLine::kCut);
  }

  // `torch` is looked up for every entry: a rebinding takes effect from the
  // next entry on.
  PyObject* out = map_tensor_values(f, batches_torch_site, x, batches_cut);
  return out ? out : fail(f, ExampleProbeLine::kDict);
}

}  // namespace bk
