// batches.cpp - split_batch and example_probe: splitting a batch into (x, y)
// and cutting a small example batch out of a model input.
#include "batchkit.hpp"

namespace bk {
namespace {

using frame::fail;
using frame::Ref;

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
#if PY_VERSION_HEX < 0x030C0000
    // A str made by the old wide-character API is read once it is ready;
    // str's own comparison makes it so.
    if (!PyUnicode_IS_READY(key)) {
      Ref r = Ref::steal(PyUnicode_RichCompare(key, label, Py_NE));
      if (!r) return -1;
      return r.get() == Py_True ? 1 : 0;
    }
#endif
    return frame::same_text(key, label) ? 0 : 1;
  }
  if (key == Py_None) return 1;
  // CAUTION: the key's own comparison and truth test may run Python code.
  Ref r = Ref::steal(PyObject_RichCompare(key, label, Py_NE));
  if (!r) return -1;
  if (r.get() == Py_True) return 1;
  if (r.get() == Py_False || r.get() == Py_None) return 0;
  return PyObject_IsTrue(r.get());
}

// labels = batch.get("labels", batch.get("label")): both look-ups always
// run, "label" first, so a present "labels" wins even when it holds None.
// New reference, or nullptr with the error set.
PyObject* batches_labels(PyObject* batch) noexcept {
  if (PyDict_CheckExact(batch)) {
    // An exact dict's `get` cannot be overridden: its entries are read
    // directly. CAUTION: a stored key of the same hash as the label has its
    // own __eq__ run by the look-up, which may change the batch; the first
    // result is held strongly before the second look-up.
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(batch, state.s_label, &v) < 0) return nullptr;
    Ref first = Ref::steal(v != nullptr ? v : Py_NewRef(Py_None));
    if (PyDict_GetItemRef(batch, state.s_labels, &v) < 0) return nullptr;
    return v != nullptr ? v : first.release();
  }
  // A subclass's own `get` runs, called by name.
  PyObject* first_args[] = {nullptr, batch, state.s_label};
  Ref first = Ref::steal(batches_call_get(first_args, 2));
  if (!first) return nullptr;
  PyObject* second_args[] = {nullptr, batch, state.s_labels, first.get()};
  return batches_call_get(second_args, 3);
}

// The inputs of a dict batch: a new dict of the entries whose key differs
// from both label names, in walk order.
PyObject* batches_inputs_walk(PyObject* batch) noexcept {
  Ref inputs = Ref::steal(PyDict_New());
  if (!inputs) return nullptr;
  frame::DictWalk walk(state.frame, frame::DictWalk::Kind::kItems);
  if (walk.start(batch) < 0) return nullptr;
  Ref k, v;
  for (;;) {
    int r = walk.next(k, v);
    if (r < 0) return nullptr;
    if (r == 0) return inputs.release();
    int d = batches_differs(k.get(), state.s_labels);
    if (d < 0) return nullptr;
    if (d == 0) continue;
    d = batches_differs(k.get(), state.s_label);
    if (d < 0) return nullptr;
    if (d == 0) continue;
    if (PyDict_SetItem(inputs.get(), k.get(), v.get()) < 0) return nullptr;
  }
}

// Whether every key of the exact dict `d` is an exact str. Reads only.
bool batches_str_keys(PyObject* d) noexcept {
  bool all = true;
  Py_BEGIN_CRITICAL_SECTION(d);
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(d, &pos, &k, &v)) {
    if (!frame::exact_ready_str(k)) {
      all = false;
      break;
    }
  }
  Py_END_CRITICAL_SECTION();
  return all;
}

// The pair of an exact dict whose keys are all exact str, or nullptr with
// no error set when they are not (the caller then takes the general path),
// or nullptr with the error set.
//
// Among exact str keys, "differs from both label names" is plain text
// inequality, which is also what the dict's own look-up tests: so the copy
// the merge of dict(batch) makes, less its "labels" and "label" entries, is
// the walk's dict, entry for entry and in the same order. Nothing on this
// path runs Python code once the keys are checked: no key has a method of
// its own, and the copy is allocated first, so a garbage collection that
// allocation starts (finalizers may change the batch) comes before the
// check. So the two look-ups also say exactly which label entries the copy
// holds.
PyObject* batches_split_str_keys(frame::FnObject* f, PyObject* batch) noexcept {
  Ref inputs = Ref::steal(PyDict_New());
  if (!inputs) return fail(f, SplitBatch::Line::kInputs);
  if (!batches_str_keys(batch)) return nullptr;
  // batch.get("labels", batch.get("label")), both look-ups as always.
  PyObject* label = nullptr;
  PyObject* labels = nullptr;
  if (PyDict_GetItemRef(batch, state.s_label, &label) < 0)
    return fail(f, SplitBatch::Line::kLabels);
  Ref label_ref = Ref::steal(label);
  if (PyDict_GetItemRef(batch, state.s_labels, &labels) < 0)
    return fail(f, SplitBatch::Line::kLabels);
  Ref labels_ref = Ref::steal(labels);
  if (PyDict_Merge(inputs.get(), batch, 1) < 0) return fail(f, SplitBatch::Line::kInputs);
  if constexpr (frame::kFreeThreaded) {
    // Another thread may have changed the batch since the check: the copy,
    // ours alone, is checked again, and its label entries are found anew.
    if (!batches_str_keys(inputs.get())) return nullptr;
    if (frame::dict_discard(inputs.get(), state.s_labels) < 0 ||
        frame::dict_discard(inputs.get(), state.s_label) < 0) {
      return fail(f, SplitBatch::Line::kInputs);
    }
  } else {
    if ((labels != nullptr && PyDict_DelItem(inputs.get(), state.s_labels) < 0) ||
        (label != nullptr && PyDict_DelItem(inputs.get(), state.s_label) < 0)) {
      return fail(f, SplitBatch::Line::kInputs);
    }
  }
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return fail(f, SplitBatch::Line::kReturn);
  PyObject* y = labels != nullptr  ? labels_ref.release()
                : label != nullptr ? label_ref.release()
                                   : Py_NewRef(Py_None);
  PyTuple_SET_ITEM(pair, 0, inputs.release());
  PyTuple_SET_ITEM(pair, 1, y);
  return pair;
}

// split_batch on a dict: (inputs, labels).
FRAME_NOINLINE PyObject* batches_split_dict(frame::FnObject* f, PyObject* batch) noexcept {
  if (PyDict_CheckExact(batch)) {
    PyObject* pair = batches_split_str_keys(f, batch);
    if (pair != nullptr || PyErr_Occurred()) return pair;
  }
  Ref labels = Ref::steal(batches_labels(batch));
  if (!labels) return fail(f, SplitBatch::Line::kLabels);
  Ref inputs = Ref::steal(batches_inputs_walk(batch));
  if (!inputs) return fail(f, SplitBatch::Line::kInputs);
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return fail(f, SplitBatch::Line::kReturn);
  PyTuple_SET_ITEM(pair, 0, inputs.release());
  PyTuple_SET_ITEM(pair, 1, labels.release());
  return pair;
}

// o[:8] through the type's mapping subscript only. Sequence item access and
// class subscription are deliberately not tried: an object whose type cannot
// take a slice key is reported as unsliceable.
PyObject* batches_cut(PyObject* o) noexcept {
  PyMappingMethods* mp = Py_TYPE(o)->tp_as_mapping;
  if (mp == nullptr || mp->mp_subscript == nullptr) {
    // CONTRACT: the interpreter's own words for this failure; tests pin them.
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
  return batches_split_dict(f, batch);
}

PyObject* example_probe(frame::FnObject* f, PyObject* const* args) noexcept {
  PyObject* x = args[0];
  if (!frame::is_dict(x)) {
    PyObject* cut = batches_cut(x);
    return cut ? cut : fail(f, ExampleProbe::Line::kCut);
  }

  // `torch` is looked up for every entry: a rebinding takes effect from the
  // next entry on.
  PyObject* out = map_tensor_values(f, state.sites.cut_torch, x, batches_cut);
  return out ? out : fail(f, ExampleProbe::Line::kDict);
}

}  // namespace bk
