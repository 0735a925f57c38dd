// _batchkit.cpp - tarnex.core._batchkit: module definition, constants, the
// six function definitions and the module body.
#include <iterator>

#include "batchkit.hpp"

namespace bk {
namespace {

using frame::Annotation;
using frame::CodeDef;
using frame::FnDef;

// The docstrings hold non-ASCII characters as UTF-8 escapes, so that every
// compiler reads the same bytes whatever the source charset.
constexpr const char kModuleDoc[] =
    "\nShared utilities for PyTorch model introspection.\n\n"
    "Normalises the two input conventions tarnex supports:\n"
    "  - plain tensor : x (Tensor), y (Tensor)\n"
    "  - HF dict      : x = {\"input_ids\": ..., \"attention_mask\": ...}, y = labels\n";

constexpr const char* kToDeviceVars[] = {"x", "device", "k", "v"};
constexpr const char* kForwardVars[] = {"model", "x", "out"};
constexpr const char* kExampleTensorVars[] = {"x", "genexpr", "genexpr"};
constexpr const char* kGenexprVars[] = {"v"};
constexpr const char* kSetPrimaryVars[] = {"x", "replacement", "out", "k", "v"};
constexpr const char* kSplitBatchVars[] = {"batch", "labels", "inputs", "k", "v"};
constexpr const char* kExampleProbeVars[] = {"x", "k", "v"};

constexpr Annotation kToDeviceAnn[] = {{"device", "str"}};
constexpr Annotation kExampleTensorAnn[] = {{"return", "torch.Tensor"}};
constexpr Annotation kSetPrimaryAnn[] = {{"replacement", "torch.Tensor"}};
constexpr Annotation kExampleProbeAnn[] = {{"return", "Any"}};

#define BK_VARS(a) .varnames = (a), .nvarnames = static_cast<int>(std::size(a))
#define BK_ANN(a) .annotations = (a), .nannotations = static_cast<int>(std::size(a))

constexpr FnDef bk_to_device = {
    .code = {.name = "to_device",
             .qualname = "to_device",
             .argcount = 2,
             .first_line = frame::line_no(ToDeviceLine::kDef),
             BK_VARS(kToDeviceVars)},
    .traceback_name = "tarnex.core._batchkit.to_device",
    .doc = "Move x to device \xe2\x80\x94 handles plain tensors and HF dict inputs.",
    BK_ANN(kToDeviceAnn),
    .impl = to_device,
    .entry = frame::guarded_entry<to_device, 2>,
};

constexpr FnDef bk_forward = {
    .code = {.name = "forward",
             .qualname = "forward",
             .argcount = 2,
             .first_line = frame::line_no(ForwardLine::kDef),
             BK_VARS(kForwardVars)},
    .traceback_name = "tarnex.core._batchkit.forward",
    .doc = "Run forward pass \xe2\x80\x94 handles plain tensors and HF dict inputs/outputs.",
    .impl = forward,
    .entry = frame::guarded_entry<forward, 2>,
};

constexpr FnDef bk_example_tensor = {
    .code = {.name = "example_tensor",
             .qualname = "example_tensor",
             .argcount = 1,
             .first_line = frame::line_no(ExampleTensorLine::kDef),
             BK_VARS(kExampleTensorVars)},
    .traceback_name = "tarnex.core._batchkit.example_tensor",
    .doc = "Return a plain tensor from x (first tensor value for dict inputs).",
    BK_ANN(kExampleTensorAnn),
    .impl = example_tensor,
    .entry = frame::pass_through_entry<example_tensor, 1, 0, 0>,
};

constexpr FnDef bk_set_primary_input = {
    .code = {.name = "set_primary_input",
             .qualname = "set_primary_input",
             .argcount = 2,
             .first_line = frame::line_no(SetPrimaryLine::kDef),
             BK_VARS(kSetPrimaryVars)},
    .traceback_name = "tarnex.core._batchkit.set_primary_input",
    .doc = "Return x with the first tensor replaced by replacement (for gradient tracking).",
    BK_ANN(kSetPrimaryAnn),
    .impl = set_primary_input,
    .entry = frame::pass_through_entry<set_primary_input, 2, 0, 1>,
};

constexpr FnDef bk_split_batch = {
    .code = {.name = "split_batch",
             .qualname = "split_batch",
             .argcount = 1,
             .first_line = frame::line_no(SplitBatchLine::kDef),
             BK_VARS(kSplitBatchVars)},
    .traceback_name = "tarnex.core._batchkit.split_batch",
    .doc =
        "Split a batch into (x, y) from a tuple, list, or HF-style dict.\n\n"
        "    For HF dict batches the 'labels'/'label' key is extracted as y;\n"
        "    everything else becomes x.  For tuple/list batches the original\n"
        "    object is returned so the caller can unpack it as (x, y).\n    ",
    .impl = split_batch,
    .entry = frame::pass_through_entry<split_batch, 1, 0, 0>,
};

constexpr FnDef bk_example_probe = {
    .code = {.name = "example_probe",
             .qualname = "example_probe",
             .argcount = 1,
             .first_line = frame::line_no(ExampleProbeLine::kDef),
             BK_VARS(kExampleProbeVars)},
    .traceback_name = "tarnex.core._batchkit.example_probe",
    .doc =
        "Small example batch (\xe2\x89\xa4"
        "8 samples) for hook auto-selection.",
    BK_ANN(kExampleProbeAnn),
    .impl = example_probe,
    .entry = frame::guarded_entry<example_probe, 1>,
};

// The code object of the generator expression inside example_tensor.
constexpr CodeDef bk_genexpr_code = {.name = "genexpr",
                                     .qualname = "example_tensor.<locals>.genexpr",
                                     .first_line = frame::line_no(ExampleTensorLine::kGenexpr),
                                     .extra_flags = CO_GENERATOR,
                                     BK_VARS(kGenexprVars)};

#undef BK_VARS
#undef BK_ANN

constexpr const FnDef* bk_functions[] = {&bk_to_device,         &bk_forward,     &bk_example_tensor,
                                         &bk_set_primary_input, &bk_split_batch, &bk_example_probe};

constexpr const CodeDef* bk_extra_codes[] = {&bk_genexpr_code};

constexpr frame::StrConst bk_strings[] = {
    {&state.s_typing, "typing"}, {&state.s_Any, "Any"},       {&state.s_Dict, "Dict"},
    {&state.s_torch, "torch"},   {&state.s_Tensor, "Tensor"}, {&state.s_to, "to"},
    {&state.s_logits, "logits"}, {&state.s_get, "get"},       {&state.s_label, "label"},
    {&state.s_labels, "labels"},
};

int bk_constants(frame::Module&) noexcept {
  if (!state.int_8 && !(state.int_8 = PyLong_FromLong(8))) return -1;
  if (!state.probe_slice && !(state.probe_slice = PySlice_New(Py_None, state.int_8, Py_None))) {
    return -1;
  }
  return 0;
}

// The module body's lines: the imports, and line 1, where the module's own
// work (constants, __test__) is reported.
enum class BodyLine : std::uint8_t { kModule = 1, kTyping = 10, kTorch = 12 };

// The module body, statement by statement; `line` names the statement that
// runs, for the traceback entry of a failure.
int bk_body(frame::Module& m, int* line) noexcept {
  *line = frame::line_no(BodyLine::kTyping);
  if (frame::import_from(m, state.s_typing, {state.s_Any, state.s_Dict}) < 0) return -1;
  *line = frame::line_no(BodyLine::kTorch);
  if (frame::import_module(m, state.s_torch) < 0) return -1;
  // Each definition's statement starts at the function's first line.
  for (const FnDef* def : bk_functions) {
    *line = def->code.first_line;
    if (frame::define_function(m, *def) < 0) return -1;
  }
  *line = frame::line_no(BodyLine::kModule);
  frame::Ref test = frame::Ref::steal(PyDict_New());
  if (!test) return -1;
  return frame::set_global(m, m.s.dunder_test, test.get());
}

PyObject* bk_create(PyObject* spec, PyModuleDef*) noexcept {
  return frame::module_create(state.frame, spec);
}
int bk_exec(PyObject* module) noexcept { return frame::module_exec(state.frame, module); }

PyModuleDef_Slot bk_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(bk_create)},
    {Py_mod_exec, reinterpret_cast<void*>(bk_exec)},
    FRAME_MOD_GIL_SLOT{0, nullptr},
};

PyModuleDef bk_def = {
    PyModuleDef_HEAD_INIT, "_batchkit", kModuleDoc, 0, nullptr, bk_slots, nullptr, nullptr, nullptr,
};

}  // namespace

State state = {
    {
        .name = "_batchkit",
        .dotted = "tarnex.core._batchkit",
        .init_name = "init tarnex.core._batchkit",
        .filename = "tarnex/core/_batchkit.py",
        .strings = bk_strings,
        .nstrings = sizeof(bk_strings) / sizeof(bk_strings[0]),
        .functions = bk_functions,
        .nfunctions = sizeof(bk_functions) / sizeof(bk_functions[0]),
        .extra_codes = bk_extra_codes,
        .nextra_codes = 1,
        .constants = bk_constants,
        .body = bk_body,
    },
};

}  // namespace bk

PyMODINIT_FUNC PyInit__batchkit(void) { return PyModuleDef_Init(&bk::bk_def); }
