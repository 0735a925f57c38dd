// _batchkit.cpp - tarnex.core._batchkit: the module's description, its
// constants and its body (the functions are described in batchkit.hpp).

#include "batchkit.hpp"

namespace bk {
namespace {

constexpr const char kModuleDoc[] =
    "\nShared utilities for PyTorch model introspection.\n\n"
    "Normalises the two input conventions tarnex supports:\n"
    "  - plain tensor : x (Tensor), y (Tensor)\n"
    "  - HF dict      : x = {\"input_ids\": ..., \"attention_mask\": ...}, y = labels\n";

int bk_constants(frame::Module&) noexcept {
  if (!state.int_8 && !(state.int_8 = PyLong_FromLong(8))) return -1;
  if (!state.probe_slice && !(state.probe_slice = PySlice_New(Py_None, state.int_8, Py_None))) {
    return -1;
  }
  return 0;
}

// The module body's lines: the imports. (Line 1 reports the module's own
// work, its constants and __test__.)
enum class BodyLine : std::uint8_t { kTyping = 10, kTorch = 12 };

// The module body, statement by statement; `line` names the statement that
// runs, for the traceback entry of a failure.
int bk_body(frame::Module& m, int* line) noexcept {
  *line = frame::line_no(BodyLine::kTyping);
  if (frame::import_from(m, state.s_typing, {state.s_Any, state.s_Dict}) < 0) return -1;
  *line = frame::line_no(BodyLine::kTorch);
  if (frame::import_module(m, state.s_torch) < 0) return -1;
  return frame::define_functions(m, line);
}

// The module: its functions in the order the body defines them.
struct Batchkit {
  static constexpr std::string_view dotted = "tarnex.core._batchkit";
  static constexpr const char* doc = kModuleDoc;
  static constexpr frame::Module* module_state = &state.frame;
  using functions = frame::FunctionTable<Batchkit, ToDevice, Forward, ExampleTensor,
                                         SetPrimaryInput, SplitBatch, ExampleProbe>;
  static constexpr const frame::CodeDef* extra_codes[] = {
      &frame::InnerCodeOf<ExampleTensor, ExampleTensor::Genexpr>::def};
  static constexpr frame::StrConst strings[] = {
      {&state.s_typing, "typing"}, {&state.s_Any, "Any"},       {&state.s_Dict, "Dict"},
      {&state.s_torch, "torch"},   {&state.s_Tensor, "Tensor"}, {&state.s_to, "to"},
      {&state.s_logits, "logits"}, {&state.s_get, "get"},       {&state.s_label, "label"},
      {&state.s_labels, "labels"},
  };
  static constexpr auto constants = bk_constants;
  static constexpr auto body = bk_body;
};

}  // namespace

State state = {.frame = frame::ModuleOf<Batchkit>::frame_state()};

}  // namespace bk

FRAME_MODULE_INIT(_batchkit, bk::Batchkit)
