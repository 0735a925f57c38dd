// batchkit.hpp - the state of tarnex.core._batchkit and its function bodies.
#pragma once

#include "frame.hpp"

// Keeps a function out of line: the bodies' dict paths stay out of their
// pass-through paths, which then save and restore no registers.
#if defined(_MSC_VER)
#define BK_NOINLINE __declspec(noinline)
#else
#define BK_NOINLINE __attribute__((noinline))
#endif

namespace bk {

// The process-wide state of the module: the frame's part and the constants
// the function bodies use (all strong, created at execution, never freed).
struct State {
  frame::Module frame;
  // Interned names.
  PyObject* s_typing = nullptr;
  PyObject* s_Any = nullptr;
  PyObject* s_Dict = nullptr;
  PyObject* s_torch = nullptr;
  PyObject* s_Tensor = nullptr;
  PyObject* s_to = nullptr;
  PyObject* s_logits = nullptr;
  PyObject* s_get = nullptr;
  PyObject* s_label = nullptr;
  PyObject* s_labels = nullptr;
  // Numbers: 8 and the probe slice [:8].
  PyObject* int_8 = nullptr;
  PyObject* probe_slice = nullptr;
};

extern State state;

// The tensor test: isinstance(v, torch.Tensor), `torch` and `Tensor` fetched
// anew. 1, 0 or -1.
inline int is_tensor(frame::FnObject* f, frame::GlobalSite& site, PyObject* v) noexcept {
  return frame::isinstance_of_global_attr(f, site, state.s_torch, state.s_Tensor, v);
}

// A new plain dict with the entries of the dict `x`, in walk order, each
// tensor value replaced by transform(v) (a new reference, or nullptr with an
// error set) and every other value kept as it is. `torch` is looked up at
// `site` for every entry. nullptr with the error set on failure; the caller
// adds its traceback entry.
template <class Transform>
PyObject* map_tensor_values(frame::FnObject* f, frame::GlobalSite& site, PyObject* x,
                            Transform transform) noexcept {
  frame::Ref out = frame::Ref::steal(PyDict_New());
  if (!out) return nullptr;
  frame::DictWalk walk(state.frame, frame::DictWalk::Kind::kItems);
  if (walk.start(x) < 0) return nullptr;
  frame::Ref k, v;
  for (;;) {
    int r = walk.next(k, v);
    if (r < 0) return nullptr;
    if (r == 0) return out.release();
    // CAUTION: the tensor test and the transform may run any Python code;
    // `k` and `v` are held strongly.
    int t = is_tensor(f, site, v.get());
    if (t < 0) return nullptr;
    frame::Ref value = t ? frame::Ref::steal(transform(v.get())) : frame::Ref::borrow(v.get());
    if (!value || PyDict_SetItem(out.get(), k.get(), value.get()) < 0) return nullptr;
  }
}

// The function bodies, each with its lines in tarnex/core/_batchkit.py: the
// `def` line (the code object's first line, and the entry of a binding
// failure) and the statements that report their failures at their own line.

enum class ToDeviceLine : std::uint8_t { kDef = 15, kDict = 18, kMove = 19 };
PyObject* to_device(frame::FnObject* f, PyObject* const* args) noexcept;

enum class ForwardLine : std::uint8_t { kDef = 22, kCall = 24, kHasLogits = 25, kLogits = 26 };
PyObject* forward(frame::FnObject* f, PyObject* const* args) noexcept;

// Line 33 also holds the generator expression, whose own entries say so.
enum class ExampleTensorLine : std::uint8_t { kDef = 30, kGenexpr = 33 };
PyObject* example_tensor(frame::FnObject* f, PyObject* const* args) noexcept;

enum class SetPrimaryLine : std::uint8_t {
  kDef = 37,
  kCopy = 40,
  kLoop = 41,
  kTest = 42,
  kStore = 43,
};
PyObject* set_primary_input(frame::FnObject* f, PyObject* const* args) noexcept;

enum class SplitBatchLine : std::uint8_t {
  kDef = 49,
  kLabels = 57,
  kInputs = 58,
  kReturn = 59,
};
PyObject* split_batch(frame::FnObject* f, PyObject* const* args) noexcept;

enum class ExampleProbeLine : std::uint8_t { kDef = 63, kDict = 66, kCut = 67 };
PyObject* example_probe(frame::FnObject* f, PyObject* const* args) noexcept;

}  // namespace bk
