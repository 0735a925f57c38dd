// mnist.cpp - tarnex.data.mnist: module definition, constants, module body
// and mnist_loaders, which builds the MNIST training and test loaders.
#include <iterator>

#include "frame.hpp"

namespace mnist {
namespace {

using frame::fail;
using frame::Ref;

// The process-wide state of the module: the frame's part and the constants
// the body and mnist_loaders use (all strong, created at execution, never
// freed).
struct State {
  frame::Module frame;
  // Interned names.
  PyObject* s_DataLoader = nullptr;
  PyObject* s_torchvision = nullptr;
  PyObject* s_transforms = nullptr;
  PyObject* s_torch_utils_data = nullptr;
  PyObject* s_torchvision_transforms = nullptr;
  PyObject* s_mnist_loaders = nullptr;
  PyObject* s_batch_size = nullptr;
  PyObject* s_ToTensor = nullptr;
  PyObject* s_datasets = nullptr;
  PyObject* s_MNIST = nullptr;
  PyObject* s_root = nullptr;
  PyObject* s_train = nullptr;
  PyObject* s_download = nullptr;
  PyObject* s_transform = nullptr;
  PyObject* s_shuffle = nullptr;
  PyObject* s_drop_last = nullptr;
  // The data directory, relative to the process's current directory.
  PyObject* data_root = nullptr;
  // The default batch size (the defaults tuple made from it is mn_defaults).
  PyObject* int_64 = nullptr;
  // Keyword names of the dataset and loader calls, in call order.
  PyObject* kw_dataset = nullptr;
  PyObject* kw_loader = nullptr;
};

extern State state;

// mnist_loaders' lines in tarnex/data/mnist.py: the `def` line (also where
// the batch_size check reports) and one statement per line after it.
enum class LoadersLine : std::uint8_t {
  kDef = 5,
  kTransform = 6,
  kTrainSet = 7,
  kTestSet = 8,
  kTrainLoader = 9,
  kTestLoader = 10,
  kReturn = 11,
};

// One look-up site per use of a global in the body: each keeps its own cache.
frame::GlobalSite mn_transforms_site;    // LoadersLine::kTransform
frame::GlobalSite mn_torchvision_train;  // LoadersLine::kTrainSet
frame::GlobalSite mn_torchvision_test;   // LoadersLine::kTestSet
frame::GlobalSite mn_dataloader_train;   // LoadersLine::kTrainLoader
frame::GlobalSite mn_dataloader_test;    // LoadersLine::kTestLoader

// torchvision.datasets.MNIST(root="./data", train=<train>, download=True,
// transform=tfm), with `torchvision` looked up at `site`.
PyObject* mn_dataset(frame::FnObject* f, frame::GlobalSite& site, PyObject* train,
                     PyObject* tfm) noexcept {
  Ref tv = Ref::steal(frame::lookup_global(f, site, state.s_torchvision));
  if (!tv) return nullptr;
  Ref datasets = Ref::steal(PyObject_GetAttr(tv.get(), state.s_datasets));
  if (!datasets) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttr(datasets.get(), state.s_MNIST));
  if (!cls) return nullptr;
  PyObject* args[] = {nullptr, state.data_root, train, Py_True, tfm};
  return PyObject_Vectorcall(cls.get(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                             state.kw_dataset);
}

// DataLoader(ds, batch_size=<batch_size>, shuffle=True, drop_last=True),
// with `DataLoader` looked up at `site`.
PyObject* mn_loader(frame::FnObject* f, frame::GlobalSite& site, PyObject* ds,
                    PyObject* batch_size) noexcept {
  Ref loader_type = Ref::steal(frame::lookup_global(f, site, state.s_DataLoader));
  if (!loader_type) return nullptr;
  PyObject* args[] = {nullptr, ds, batch_size, Py_True, Py_True};
  return PyObject_Vectorcall(loader_type.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                             state.kw_loader);
}

PyObject* mnist_loaders(frame::FnObject* f, PyObject* const* args) noexcept {
  // The `int` annotation is enforced before anything else: a refused size
  // builds no dataset.
  Ref batch_size = Ref::steal(frame::convert_int_arg(args[0], "batch_size"));
  if (!batch_size) return fail(f, LoadersLine::kDef);

  Ref tfm;
  {
    Ref transforms = Ref::steal(frame::lookup_global(f, mn_transforms_site, state.s_transforms));
    if (!transforms) return fail(f, LoadersLine::kTransform);
    Ref to_tensor = Ref::steal(PyObject_GetAttr(transforms.get(), state.s_ToTensor));
    if (!to_tensor) return fail(f, LoadersLine::kTransform);
    tfm = Ref::steal(PyObject_CallNoArgs(to_tensor.get()));
    if (!tfm) return fail(f, LoadersLine::kTransform);
  }
  Ref train_ds = Ref::steal(mn_dataset(f, mn_torchvision_train, Py_True, tfm.get()));
  if (!train_ds) return fail(f, LoadersLine::kTrainSet);
  Ref test_ds = Ref::steal(mn_dataset(f, mn_torchvision_test, Py_False, tfm.get()));
  if (!test_ds) return fail(f, LoadersLine::kTestSet);
  Ref train_loader =
      Ref::steal(mn_loader(f, mn_dataloader_train, train_ds.get(), batch_size.get()));
  if (!train_loader) return fail(f, LoadersLine::kTrainLoader);
  Ref test_loader = Ref::steal(mn_loader(f, mn_dataloader_test, test_ds.get(), batch_size.get()));
  if (!test_loader) return fail(f, LoadersLine::kTestLoader);
  PyObject* out = PyTuple_Pack(2, train_loader.get(), test_loader.get());
  return out ? out : fail(f, LoadersLine::kReturn);
}

// (64,): what calls fill in for a missing batch_size, and what __defaults__
// shows. Defined before the function's definition that points at it.
PyObject* mn_defaults = nullptr;

constexpr const char* kMnistLoadersVars[] = {"batch_size", "tfm",          "train_ds",
                                             "test_ds",    "train_loader", "test_loader"};
constexpr frame::Annotation kMnistLoadersAnn[] = {{"batch_size", "int"}};

constexpr frame::FnDef mn_mnist_loaders = {
    .code = {.name = "mnist_loaders",
             .qualname = "mnist_loaders",
             .argcount = 1,
             .first_line = frame::line_no(LoadersLine::kDef),
             .varnames = kMnistLoadersVars,
             .nvarnames = static_cast<int>(std::size(kMnistLoadersVars))},
    .traceback_name = "tarnex.data.mnist.mnist_loaders",
    .annotations = kMnistLoadersAnn,
    .nannotations = static_cast<int>(std::size(kMnistLoadersAnn)),
    .defaults = &mn_defaults,
    .impl = mnist_loaders,
};

constexpr const frame::FnDef* mn_functions[] = {&mn_mnist_loaders};

constexpr frame::StrConst mn_strings[] = {
    {&state.s_DataLoader, "DataLoader"},
    {&state.s_torchvision, "torchvision"},
    {&state.s_transforms, "transforms"},
    {&state.s_torch_utils_data, "torch.utils.data"},
    {&state.s_torchvision_transforms, "torchvision.transforms"},
    {&state.s_mnist_loaders, "mnist_loaders"},
    {&state.s_batch_size, "batch_size"},
    {&state.s_ToTensor, "ToTensor"},
    {&state.s_datasets, "datasets"},
    {&state.s_MNIST, "MNIST"},
    {&state.s_root, "root"},
    {&state.s_train, "train"},
    {&state.s_download, "download"},
    {&state.s_transform, "transform"},
    {&state.s_shuffle, "shuffle"},
    {&state.s_drop_last, "drop_last"},
};

// A tuple of borrowed strings, for the keyword names of a vectorcall.
PyObject* mn_names(std::initializer_list<PyObject*> names) noexcept {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!t) return nullptr;
  Py_ssize_t i = 0;
  for (PyObject* n : names) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(n));
  return t.release();
}

int mn_constants(frame::Module&) noexcept {
  State& s = state;
  if (!s.data_root && !(s.data_root = PyUnicode_FromString("./data"))) return -1;
  if (!s.int_64 && !(s.int_64 = PyLong_FromLong(64))) return -1;
  if (!mn_defaults && !(mn_defaults = PyTuple_Pack(1, s.int_64))) return -1;
  if (!s.kw_dataset &&
      !(s.kw_dataset = mn_names({s.s_root, s.s_train, s.s_download, s.s_transform}))) {
    return -1;
  }
  if (!s.kw_loader && !(s.kw_loader = mn_names({s.s_batch_size, s.s_shuffle, s.s_drop_last}))) {
    return -1;
  }
  return 0;
}

// The module body's lines: the three imports, and line 1 (shared with the
// first import), where the module's own work (__test__) is reported.
enum class BodyLine : std::uint8_t {
  kModule = 1,
  kDataLoader = 1,
  kTorchvision = 2,
  kTransforms = 3
};

// The module body, statement by statement; `line` names the statement that
// runs, for the traceback entry of a failure.
int mn_body(frame::Module& m, int* line) noexcept {
  *line = frame::line_no(BodyLine::kDataLoader);
  if (frame::import_from(m, state.s_torch_utils_data, {state.s_DataLoader}) < 0) return -1;
  *line = frame::line_no(BodyLine::kTorchvision);
  if (frame::import_module(m, state.s_torchvision) < 0) return -1;
  *line = frame::line_no(BodyLine::kTransforms);
  if (frame::import_submodule_as(m, state.s_torchvision_transforms, state.s_torchvision,
                                 state.s_transforms, state.s_transforms) < 0) {
    return -1;
  }
  *line = frame::line_no(LoadersLine::kDef);
  if (frame::define_function(m, mn_mnist_loaders) < 0) return -1;
  *line = frame::line_no(BodyLine::kModule);
  Ref test = Ref::steal(PyDict_New());
  if (!test) return -1;
  return frame::set_global(m, m.s.dunder_test, test.get());
}

PyObject* mn_create(PyObject* spec, PyModuleDef*) noexcept {
  return frame::module_create(state.frame, spec);
}
int mn_exec(PyObject* module) noexcept { return frame::module_exec(state.frame, module); }

PyModuleDef_Slot mn_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(mn_create)},
    {Py_mod_exec, reinterpret_cast<void*>(mn_exec)},
    FRAME_MOD_GIL_SLOT{0, nullptr},
};

PyModuleDef mn_def = {
    PyModuleDef_HEAD_INIT, "mnist", nullptr, 0, nullptr, mn_slots, nullptr, nullptr, nullptr,
};

State state = {
    {
        .name = "mnist",
        .dotted = "tarnex.data.mnist",
        .init_name = "init tarnex.data.mnist",
        .filename = "tarnex/data/mnist.py",
        .strings = mn_strings,
        .nstrings = sizeof(mn_strings) / sizeof(mn_strings[0]),
        .functions = mn_functions,
        .nfunctions = sizeof(mn_functions) / sizeof(mn_functions[0]),
        .extra_codes = nullptr,
        .nextra_codes = 0,
        .constants = mn_constants,
        .body = mn_body,
    },
};

}  // namespace
}  // namespace mnist

PyMODINIT_FUNC PyInit_mnist(void) { return PyModuleDef_Init(&mnist::mn_def); }
