// mnist.cpp - tarnex.data.mnist: the module's description, constants and
// body, and mnist_loaders, which builds the MNIST training and test loaders.
#include <cstdint>
#include <string_view>

#include "describe.hpp"

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
  // The default batch size.
  PyObject* int_64 = nullptr;
  // Keyword names of the dataset and loader calls, in call order.
  PyObject* kw_dataset = nullptr;
  PyObject* kw_loader = nullptr;
  // (64,): what calls fill in for a missing batch_size, and what
  // __defaults__ shows.
  PyObject* defaults = nullptr;
  // One look-up site per use of a global in the body: each keeps its own
  // cache.
  struct Sites {
    frame::GlobalSite transforms;         // LoadersLine::kTransform
    frame::GlobalSite torchvision_train;  // LoadersLine::kTrainSet
    frame::GlobalSite torchvision_test;   // LoadersLine::kTestSet
    frame::GlobalSite dataloader_train;   // LoadersLine::kTrainLoader
    frame::GlobalSite dataloader_test;    // LoadersLine::kTestLoader
  } sites{};
};

extern State state;

PyObject* mnist_loaders(frame::FnObject* f, PyObject* const* args) noexcept;

// mnist_loaders' description; its lines are those of tarnex/data/mnist.py:
// the `def` line (also where the batch_size check reports) and one
// statement per line after it.
struct MnistLoaders {
  static constexpr std::string_view name = "mnist_loaders";
  enum class Line : std::uint8_t {
    kDef = 5,
    kTransform = 6,
    kTrainSet = 7,
    kTestSet = 8,
    kTrainLoader = 9,
    kTestLoader = 10,
    kReturn = 11,
  };
  static constexpr int nparams = 1;
  static constexpr const char* varnames[] = {"batch_size", "tfm",          "train_ds",
                                             "test_ds",    "train_loader", "test_loader"};
  static constexpr frame::Annotation annotations[] = {{"batch_size", "int"}};
  static constexpr PyObject** defaults = &state.defaults;
  static constexpr frame::ImplFn body = mnist_loaders;
};
using LoadersLine = MnistLoaders::Line;

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
    Ref transforms =
        Ref::steal(frame::lookup_global(f, state.sites.transforms, state.s_transforms));
    if (!transforms) return fail(f, LoadersLine::kTransform);
    Ref to_tensor = Ref::steal(PyObject_GetAttr(transforms.get(), state.s_ToTensor));
    if (!to_tensor) return fail(f, LoadersLine::kTransform);
    tfm = Ref::steal(PyObject_CallNoArgs(to_tensor.get()));
    if (!tfm) return fail(f, LoadersLine::kTransform);
  }
  Ref train_ds = Ref::steal(mn_dataset(f, state.sites.torchvision_train, Py_True, tfm.get()));
  if (!train_ds) return fail(f, LoadersLine::kTrainSet);
  Ref test_ds = Ref::steal(mn_dataset(f, state.sites.torchvision_test, Py_False, tfm.get()));
  if (!test_ds) return fail(f, LoadersLine::kTestSet);
  Ref train_loader =
      Ref::steal(mn_loader(f, state.sites.dataloader_train, train_ds.get(), batch_size.get()));
  if (!train_loader) return fail(f, LoadersLine::kTrainLoader);
  Ref test_loader =
      Ref::steal(mn_loader(f, state.sites.dataloader_test, test_ds.get(), batch_size.get()));
  if (!test_loader) return fail(f, LoadersLine::kTestLoader);
  PyObject* out = PyTuple_Pack(2, train_loader.get(), test_loader.get());
  return out ? out : fail(f, LoadersLine::kReturn);
}

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
  if (!s.defaults && !(s.defaults = PyTuple_Pack(1, s.int_64))) return -1;
  if (!s.kw_dataset &&
      !(s.kw_dataset = mn_names({s.s_root, s.s_train, s.s_download, s.s_transform}))) {
    return -1;
  }
  if (!s.kw_loader && !(s.kw_loader = mn_names({s.s_batch_size, s.s_shuffle, s.s_drop_last}))) {
    return -1;
  }
  return 0;
}

// The module body's lines: the three imports. (Line 1, the first import's,
// also reports the module's own work, its constants and __test__.)
enum class BodyLine : std::uint8_t { kDataLoader = 1, kTorchvision = 2, kTransforms = 3 };

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
  return frame::define_functions(m, line);
}

// The module.
struct Mnist {
  static constexpr std::string_view dotted = "tarnex.data.mnist";
  static constexpr frame::Module* module_state = &state.frame;
  using functions = frame::FunctionTable<Mnist, MnistLoaders>;
  static constexpr auto constants = mn_constants;
  static constexpr auto body = mn_body;
  static constexpr frame::StrConst strings[] = {
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
};

State state = {.frame = frame::ModuleOf<Mnist>::frame_state()};

}  // namespace
}  // namespace mnist

FRAME_MODULE_INIT(mnist, mnist::Mnist)
