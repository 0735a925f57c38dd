// batchkit.hpp - the state of tarnex.core._batchkit and its function bodies.
#pragma once

#include <cstdint>
#include <string_view>

#include "describe.hpp"

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
  // The bodies' look-up sites, one per use of a global, per method called by
  // name and per optional attribute tested: each keeps its own cache.
  struct Sites {
    frame::GlobalSite move_torch;      // to_device: each dict value's tensor test
    frame::MethodSite move_to;         // to_device: x.to(device), v.to(device)
    frame::GlobalSite genexpr_torch;   // example_tensor: the generator expression's test
    frame::GlobalSite replace_torch;   // set_primary_input: the loop's test
    frame::GlobalSite cut_torch;       // example_probe: each dict value's tensor test
    frame::AbsentAttrSite out_logits;  // forward: hasattr(out, "logits")
  } sites{};
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

// The functions, each a body and its description (frame/describe.hpp): the
// lines are those of tarnex/core/_batchkit.py, the `def` line (the code
// object's first line, and the entry of a binding failure) and the
// statements that report their failures at their own line. Docstrings hold
// non-ASCII characters as UTF-8 escapes, so that every compiler reads the
// same bytes whatever the source charset.

PyObject* to_device(frame::FnObject* f, PyObject* const* args) noexcept;
struct ToDevice {
  static constexpr std::string_view name = "to_device";
  enum class Line : std::uint8_t { kDef = 15, kDict = 18, kMove = 19 };
  static constexpr int nparams = 2;
  static constexpr const char* varnames[] = {"x", "device", "k", "v"};
  static constexpr const char* doc =
      "Move x to device \xe2\x80\x94 handles plain tensors and HF dict inputs.";
  static constexpr frame::Annotation annotations[] = {{"device", "str"}};
  static constexpr frame::ImplFn body = to_device;
};

PyObject* forward(frame::FnObject* f, PyObject* const* args) noexcept;
struct Forward {
  static constexpr std::string_view name = "forward";
  enum class Line : std::uint8_t { kDef = 22, kCall = 24, kHasLogits = 25, kLogits = 26 };
  static constexpr int nparams = 2;
  static constexpr const char* varnames[] = {"model", "x", "out"};
  static constexpr const char* doc =
      "Run forward pass \xe2\x80\x94 handles plain tensors and HF dict inputs/outputs.";
  static constexpr frame::ImplFn body = forward;
};

PyObject* example_tensor(frame::FnObject* f, PyObject* const* args) noexcept;
struct ExampleTensor {
  static constexpr std::string_view name = "example_tensor";
  // Line 33 also holds the generator expression, whose own entries say so.
  enum class Line : std::uint8_t { kDef = 30, kGenexpr = 33 };
  static constexpr int nparams = 1;
  static constexpr const char* varnames[] = {"x", "genexpr", "genexpr"};
  static constexpr const char* doc =
      "Return a plain tensor from x (first tensor value for dict inputs).";
  static constexpr frame::Annotation annotations[] = {{"return", "torch.Tensor"}};
  static constexpr frame::PassThrough pass_through = {.test = 0, .result = 0};
  static constexpr frame::ImplFn body = example_tensor;

  // The generator expression's code object.
  struct Genexpr {
    static constexpr std::string_view name = "genexpr";
    static constexpr Line line = Line::kGenexpr;
    static constexpr int flags = CO_GENERATOR;
    static constexpr const char* varnames[] = {"v"};
  };
};

PyObject* set_primary_input(frame::FnObject* f, PyObject* const* args) noexcept;
struct SetPrimaryInput {
  static constexpr std::string_view name = "set_primary_input";
  enum class Line : std::uint8_t { kDef = 37, kCopy = 40, kLoop = 41, kTest = 42, kStore = 43 };
  static constexpr int nparams = 2;
  static constexpr const char* varnames[] = {"x", "replacement", "out", "k", "v"};
  static constexpr const char* doc =
      "Return x with the first tensor replaced by replacement (for gradient tracking).";
  static constexpr frame::Annotation annotations[] = {{"replacement", "torch.Tensor"}};
  static constexpr frame::PassThrough pass_through = {.test = 0, .result = 1};
  static constexpr frame::ImplFn body = set_primary_input;
};

PyObject* split_batch(frame::FnObject* f, PyObject* const* args) noexcept;
struct SplitBatch {
  static constexpr std::string_view name = "split_batch";
  enum class Line : std::uint8_t { kDef = 49, kLabels = 57, kInputs = 58, kReturn = 59 };
  static constexpr int nparams = 1;
  static constexpr const char* varnames[] = {"batch", "labels", "inputs", "k", "v"};
  static constexpr const char* doc =
      "Split a batch into (x, y) from a tuple, list, or HF-style dict.\n\n"
      "    For HF dict batches the 'labels'/'label' key is extracted as y;\n"
      "    everything else becomes x.  For tuple/list batches the original\n"
      "    object is returned so the caller can unpack it as (x, y).\n    ";
  static constexpr frame::PassThrough pass_through = {.test = 0, .result = 0};
  static constexpr frame::ImplFn body = split_batch;
};

PyObject* example_probe(frame::FnObject* f, PyObject* const* args) noexcept;
struct ExampleProbe {
  static constexpr std::string_view name = "example_probe";
  enum class Line : std::uint8_t { kDef = 63, kDict = 66, kCut = 67 };
  static constexpr int nparams = 1;
  static constexpr const char* varnames[] = {"x", "k", "v"};
  static constexpr const char* doc =
      "Small example batch (\xe2\x89\xa4"
      "8 samples) for hook auto-selection.";
  static constexpr frame::Annotation annotations[] = {{"return", "Any"}};
  static constexpr frame::ImplFn body = example_probe;
};

}  // namespace bk
