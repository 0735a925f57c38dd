// primary.cpp - example_tensor and set_primary_input: finding and replacing
// the primary tensor of a model input under both input conventions.
#include "batchkit.hpp"

namespace bk {
namespace {

using frame::DictWalk;
using frame::fail;
using frame::Ref;

// Entries made inside the generator expression carry its code's name. The
// traceback cache keys entries by the name's address, which keeps them apart
// from example_tensor's own entry at the same line.
constexpr const char* kGenexprName =
    frame::InnerCodeOf<ExampleTensor, ExampleTensor::Genexpr>::name.c_str();
constexpr int kGenexprLine = frame::line_no(ExampleTensor::Genexpr::line);

// The walk of the generator expression over the values of `x`: the first
// value that passes the tensor test goes to `found`. 1 found, 0 the walk
// ended, -1 error. The walk and the last value are released on return, before
// the caller reports anything.
int pri_genexpr_walk(frame::FnObject* f, PyObject* x, Ref& found) noexcept {
  DictWalk walk(state.frame, DictWalk::Kind::kValues);
  if (walk.start(x) < 0) return -1;
  Ref unused, v;
  for (;;) {
    // An iterator's own StopIteration ends the walk here (not an error).
    int r = walk.next(unused, v);
    if (r <= 0) return r;
    // CAUTION: the tensor test may run any Python code (a metaclass instance
    // check), which may change or empty `x`; `v` is held strongly and the
    // walk's size check reports a changed exact dict.
    int t = is_tensor(f, state.sites.genexpr_torch, v.get());
    if (t < 0) return -1;
    if (t) {
      found = std::move(v);
      return 1;
    }
  }
}

// The generator expression `(v for v in x.values() if isinstance(v,
// torch.Tensor))` advanced once, run as an internal iteration: it is never
// handed out, so only its observable behaviour is kept (lazy tests in walk
// order, the StopIteration rule, its own traceback entry).
int pri_genexpr_first(frame::FnObject* f, PyObject* x, Ref& found) noexcept {
  int r = pri_genexpr_walk(f, x, found);
  if (r >= 0) return r;
  // What the interpreter does to a StopIteration escaping a generator: a
  // RuntimeError with the StopIteration as its cause and context.
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    frame::raise_from_cause(PyExc_RuntimeError, "generator raised StopIteration");
  }
  frame::add_traceback(*f->mod, kGenexprName, kGenexprLine, f->globals);
  return -1;
}

// example_tensor on a dict: the first tensor value.
FRAME_NOINLINE PyObject* pri_example_dict(frame::FnObject* f, PyObject* x) noexcept {
  Ref found;
  int r = pri_genexpr_first(f, x, found);
  if (r > 0) return found.release();
  // next() on an exhausted generator: a bare StopIteration (empty args).
  if (r == 0) PyErr_SetNone(PyExc_StopIteration);
  return fail(f, ExampleTensor::Line::kGenexpr);
}

// set_primary_input on a dict: a copy with the first tensor value replaced.
FRAME_NOINLINE PyObject* pri_set_dict(frame::FnObject* f, PyObject* x,
                                      PyObject* replacement) noexcept {
  Ref out = Ref::steal(frame::dict_of(x));
  if (!out) return fail(f, SetPrimaryInput::Line::kCopy);
  // `out` is an exact dict: walked in place, with the size check.
  DictWalk walk(state.frame, DictWalk::Kind::kItems);
  if (walk.start(out.get()) < 0) return fail(f, SetPrimaryInput::Line::kLoop);
  Ref k, v;
  for (;;) {
    int r = walk.next(k, v);
    if (r < 0) return fail(f, SetPrimaryInput::Line::kLoop);
    if (r == 0) return out.release();
    int t = is_tensor(f, state.sites.replace_torch, v.get());
    if (t < 0) return fail(f, SetPrimaryInput::Line::kTest);
    if (t) {
      // The key is present already, so it keeps its place.
      if (PyDict_SetItem(out.get(), k.get(), replacement) < 0)
        return fail(f, SetPrimaryInput::Line::kStore);
      return out.release();
    }
  }
}

}  // namespace

PyObject* example_tensor(frame::FnObject* f, PyObject* const* args) noexcept {
  PyObject* x = args[0];
  if (!frame::is_dict(x)) return Py_NewRef(x);
  return pri_example_dict(f, x);
}

PyObject* set_primary_input(frame::FnObject* f, PyObject* const* args) noexcept {
  PyObject* x = args[0];
  PyObject* replacement = args[1];
  if (!frame::is_dict(x)) return Py_NewRef(replacement);
  return pri_set_dict(f, x, replacement);
}

}  // namespace bk
