// module.hpp - the static description and the runtime state of a module built
// on the frame, the definitions of its functions and code objects, and what
// its body runs (module.cpp).
//
// Conventions: PyObject* parameters are borrowed, PyObject* results are new
// references; failures return nullptr or -1 with the error indicator set.
// Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "ref.hpp"
#include "state_lock.hpp"

// Keeps a function out of line.
#if defined(_MSC_VER)
#define FRAME_NOINLINE __declspec(noinline)
#else
#define FRAME_NOINLINE __attribute__((noinline))
#endif

namespace frame {

struct Module;
struct FnObject;

// Largest parameter count of any function built on the frame.
inline constexpr int kMaxParams = 4;

// ---------------------------------------------------------------- constants

// An interned string constant created at module execution.
struct StrConst {
  PyObject** slot;
  const char* text;
};

// Strings the frame itself needs, created together with the module's own.
struct FrameStrings {
  PyObject* items;
  PyObject* values;
  PyObject* dunder_import;
  PyObject* dunder_name;
  PyObject* name;
  PyObject* loader;
  PyObject* origin;
  PyObject* parent;
  PyObject* submodule_search_locations;
  PyObject* dunder_loader;
  PyObject* dunder_file;
  PyObject* dunder_package;
  PyObject* dunder_path;
  PyObject* dunder_builtins;
  PyObject* dunder_test;
  PyObject* dunder_instancecheck;
  PyObject* dunder_call;
  PyObject* dunder_class;
};

// ------------------------------------------------------------- definitions

// A code object to make at module execution.
struct CodeDef {
  const char* name = nullptr;
  const char* qualname = nullptr;
  int argcount = 0;
  int first_line = 0;
  int extra_flags = 0;  // CO_GENERATOR for a generator expression
  const char* const* varnames = nullptr;
  int nvarnames = 0;
};

struct Annotation {
  const char* name;
  const char* value;
};

// The body of a function: `args` holds the bound parameters in order
// (borrowed; the caller keeps them alive for the call).
using ImplFn = PyObject* (*)(FnObject* self, PyObject* const* args);

// A Python-visible function of a module. Definitions name their fields
// (designated initializers); the optional ones default to none. What
// execution makes from a definition is in its FnRuntime.
struct FnDef {
  CodeDef code;                          // name, parameters, first line, variables
  const char* traceback_name = nullptr;  // full dotted name used in traceback entries
  const char* doc = nullptr;             // UTF-8 docstring, or nullptr for None
  const Annotation* annotations = nullptr;
  int nannotations = 0;
  PyObject** defaults = nullptr;  // slot of a module constant tuple, or nullptr
  ImplFn impl = nullptr;
  // The function object's vectorcall entry (guarded_entry or
  // pass_through_entry of `impl`); nullptr: fn_vectorcall.
  vectorcallfunc entry = nullptr;
};

// What module execution makes for one function definition.
struct FnRuntime {
  PyObject* code = nullptr;           // strong: the code object
  PyObject* params[kMaxParams] = {};  // its interned parameter names (borrowed from it)
  int nrequired = 0;                  // parameters without a default
};

// ------------------------------------------------------------ module state

// What every code object of a module runs if someone runs it (a native
// function's __code__ handed to types.FunctionType, a traceback frame's code):
// the bytecode of the interpreter's own empty code object, which raises
// AssertionError, with its line table.
struct CodeTemplate {
  PyObject* code = nullptr;  // strong: bytes
  PyObject* linetable = nullptr;
  int stacksize = 0;
};

struct TracebackCacheEntry {
  const char* funcname;
  int line;
  PyObject* code;  // strong
};

// The process-wide state of one extension module. Each module's main source
// owns one instance and hands it to the frame.
struct Module {
  // Static description.
  const char* name = nullptr;         // "_batchkit"
  const char* dotted = nullptr;       // "tarnex.core._batchkit"
  const char* init_name = nullptr;    // "init tarnex.core._batchkit"
  const char* filename = nullptr;     // "tarnex/core/_batchkit.py"
  const StrConst* strings = nullptr;  // the module's own interned strings
  size_t nstrings = 0;
  const FnDef* const* functions = nullptr;
  size_t nfunctions = 0;
  const CodeDef* const* extra_codes = nullptr;  // code objects that are not functions
  size_t nextra_codes = 0;
  int (*constants)(Module& m) = nullptr;  // numeric and other constants
  // Runs the module body up to `__test__ = {}`, which the frame adds.
  int (*body)(Module& m, int* line) = nullptr;

  // Runtime state, process lifetime (all strong unless noted).
  // What execution makes from the definitions, index for index (PyMem).
  FnRuntime* fn_runtime = nullptr;          // one per function
  PyObject** extra_code_objects = nullptr;  // one per extra code
  int64_t interp_id = -1;
  PyObject* module = nullptr;
  PyObject* dict = nullptr;
  PyObject* builtins = nullptr;
  PyObject* builtins_dict = nullptr;  // borrowed from builtins
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* empty_str = nullptr;
  PyObject* filename_obj = nullptr;
  PyObject* dotted_obj = nullptr;  // the full dotted name, the sys.modules key
  PyTypeObject* fn_type = nullptr;
  bool strings_ready = false;
  FrameStrings s{};
  // type.__instancecheck__, the descriptor in `type`'s own dictionary
  // (borrowed: a static type's dictionary lives as long as the process).
  PyObject* type_instancecheck = nullptr;
  // object.__class__, the descriptor in `object`'s own dictionary (borrowed,
  // as above): where attribute access is the generic one and finds it, an
  // object's __class__ is its type.
  PyObject* object_class = nullptr;
  // The call slot the interpreter gives a class that defines __call__ in
  // Python (found at execution; see python_call_method).
  ternaryfunc generic_call_slot = nullptr;
  // The id of the dict watcher that moves dict_version (compat.hpp); -1: none
  // could be had, and the look-up caches stay empty.
  int dict_watcher = -1;
#ifdef Py_GIL_DISABLED
  // The per-thread look-up caches (ThreadSites): how many sites have a slot
  // in them, handed out under the lock on each site's first use.
  StateLock thread_sites_lock{};
  int thread_sites_used = 0;
#endif
  CodeTemplate code_template{};  // made before any code object
  // The traceback-code cache; its lock guards the three fields below.
  StateLock tb_lock{};
  TracebackCacheEntry* tb_cache = nullptr;
  size_t tb_cache_len = 0;
  size_t tb_cache_cap = 0;
};

// A code object of the module (its file, `name`, `qualname`, first `line`,
// `argcount` parameters among `varnames`, `flags`) whose bytecode raises
// AssertionError when run. Needs the module's template (made at execution,
// before any code object). New reference.
PyObject* make_code(Module& m, PyObject* name, PyObject* qualname, int line, int argcount,
                    PyObject* varnames, int flags) noexcept;

// The module definition's slots call these with the module's state.
PyObject* module_create(Module& m, PyObject* spec) noexcept;
int module_exec(Module& m, PyObject* module) noexcept;

// ------------------------------------------------------------ module body

// `from M import a, b, ...`, storing each name in the module dictionary.
int import_from(Module& m, PyObject* modname, std::initializer_list<PyObject*> names) noexcept;
// `import M`, stored under M.
int import_module(Module& m, PyObject* modname) noexcept;
// `import P.sub` bound to the name `bind_as`: P's attribute `sub`.
int import_submodule_as(Module& m, PyObject* dotted, PyObject* package, PyObject* sub,
                        PyObject* bind_as) noexcept;
// Makes the function object of `def` and stores it in the module dictionary.
int define_function(Module& m, const FnDef& def) noexcept;
// Every `def` of the module, in the order of its description; `line` names
// the definition that runs.
int define_functions(Module& m, int* line) noexcept;
// name = value in the module dictionary.
int set_global(Module& m, PyObject* name, PyObject* value) noexcept;

}  // namespace frame
