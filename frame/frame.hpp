// frame.hpp - the module frame shared by the native modules: module state,
// function objects, traceback entries, global look-up and dict walks.
//
// Conventions: PyObject* parameters are borrowed, PyObject* results are new
// references; failures return nullptr or -1 with the error indicator set.
// Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "ref.hpp"
#include "stack_guard.hpp"

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

// -------------------------------------------------------- function objects

struct FnObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FnDef* def;       // static
  const FnRuntime* rt;    // the definition's, in mod
  Module* mod;            // static
  PyObject* globals;      // strong: the module dictionary
  PyObject* name;         // strong
  PyObject* qualname;     // strong
  PyObject* modname;      // strong or null (reads as None)
  PyObject* doc;          // strong
  PyObject* dict;         // strong or null (made on first use)
  PyObject* annotations;  // strong or null (made on first read)
  PyObject* defaults;     // strong or null
  PyObject* kwdefaults;   // strong or null
  PyObject* weaklist;
};

int function_type_ready(Module& m) noexcept;

// ------------------------------------------------------- traceback entries

// Adds a traceback entry (file, `funcname`, `line`) to the exception in
// flight without disturbing it. If the entry cannot be made, the original
// exception is kept and the entry is skipped.
void add_traceback(Module& m, const char* funcname, int line, PyObject* globals) noexcept;

// Replaces the exception in flight by type(message), with the old exception
// as its cause and its context: what `raise type(message) from e` in an
// `except ... as e` block gives.
void raise_from_cause(PyObject* type, const char* message) noexcept;

// The one-line failure site of a function body: adds the function's entry at
// `line` and returns nullptr.
inline PyObject* fail(FnObject* f, int line) noexcept {
  add_traceback(*f->mod, f->def->traceback_name, line, f->globals);
  return nullptr;
}

// A function's line table is an enum class of its source lines, one per
// failure site; traceback entries take them as numbers.
template <class Line>
  requires std::is_enum_v<Line>
constexpr int line_no(Line line) noexcept {
  return static_cast<int>(line);
}
template <class Line>
  requires std::is_enum_v<Line>
inline PyObject* fail(FnObject* f, Line line) noexcept {
  return fail(f, line_no(line));
}

// --------------------------------------------------------- shared helpers

// The dict test: reads the type's flag only; calls nothing, cannot fail.
inline bool is_dict(PyObject* o) noexcept { return PyDict_Check(o); }

// ------------------------------------------------------- function entries
//
// Every way into a function body comes through a function object's
// vectorcall entry: a direct call, tp_call (PyVectorcall_Call) and a bound
// method alike. A body can reach itself again through a slot it calls (a
// class whose `to` or `items` is this very function) with no Python frame in
// between, so the interpreter's own depth check never runs: the entry counts
// the C level too, as the interpreter's own C calls do, and fails with
// RecursionError instead of overflowing the stack.

// The parts of an entry that are out of line (function.cpp): binding of any
// call other than all parameters by position, and the failures of the guard.
PyObject* fn_call_slow(FnObject* f, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;
PyObject* fn_stack_exhausted(FnObject* f) noexcept;
PyObject* fn_entry_failed(FnObject* f) noexcept;

// An entry's body and parameter count: constants of the instantiation
// (StaticBody, the entries the definitions name), or read from the
// definition on each call (DefinedBody, fn_vectorcall's).
template <ImplFn Impl, int N>
  requires(N <= kMaxParams)
struct StaticBody {
  static constexpr ImplFn kImpl = Impl;
  static constexpr int kParams = N;
};
struct DefinedBody {};

// The guarded entry: the stack check, the recursion count and the body, all
// parameters by position going straight to it and every other call through
// binding (which calls the definition's `impl`, the same body). Out of line,
// so that a pass-through entry reaches it by a jump and saves no registers
// itself.
template <class Body>
FRAME_NOINLINE PyObject* guarded_entry(PyObject* self, PyObject* const* args, size_t nargsf,
                                       PyObject* kwnames) noexcept {
  FnObject* f = reinterpret_cast<FnObject*>(self);
  if (stack_exhausted()) return fn_stack_exhausted(f);
  if (Py_EnterRecursiveCall(" while calling a Python object")) return fn_entry_failed(f);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* result;
  if constexpr (std::is_same_v<Body, DefinedBody>) {
    result = kwnames == nullptr && nargs == f->def->code.argcount
                 ? f->def->impl(f, args)
                 : fn_call_slow(f, args, nargs, kwnames);
  } else {
    result = kwnames == nullptr && nargs == Body::kParams ? Body::kImpl(f, args)
                                                          : fn_call_slow(f, args, nargs, kwnames);
  }
  Py_LeaveRecursiveCall();
  return result;
}

// The entry of a definition that names none: body and count read from it.
inline constexpr vectorcallfunc fn_vectorcall = guarded_entry<DefinedBody>;

// The entry of a function whose body hands an argument back untouched when
// another is not a dict: called with its N parameters by position, and
// args[Test] no dict, it returns args[Result]; every other call goes on to
// the guarded entry. That case calls nothing and so cannot recurse, which is
// why it may skip the recursion guard and the stack check, as the
// interpreter's own fast builtins skip them. The one difference a caller can
// see: such a call made exactly at the recursion limit returns its argument
// where the guard would have raised RecursionError.
template <ImplFn Impl, int N, int Test, int Result>
  requires(Test < N && Result < N)
PyObject* pass_through_entry(PyObject* self, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) noexcept {
  if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == N && !is_dict(args[Test])) {
    return Py_NewRef(args[Result]);
  }
  return guarded_entry<StaticBody<Impl, N>>(self, args, nargsf, kwnames);
}

// One look-up site of a module global. The value found in the module
// dictionary is kept with the dictionary's version (dict_version, see
// compat.hpp); a hit in builtins is kept with both versions, so any insert or
// delete in either is seen next time.
//
// The site holds no reference of its own: an unchanged dictionary still holds
// the value it held when the site was filled, so a hit is alive for as long as
// no Python code runs. Objects the module no longer refers to are freed as
// soon as nothing else holds them.
//
// Without the GIL that reasoning does not hold (another thread can replace
// the entry and free the value between the version check and the use), and
// a site shared by all threads would be written by all of them: free-threaded
// builds keep what a site found per thread, with strong references (see
// ThreadSites), and the site itself only names its slot there.
struct GlobalSite {
  PyObject* dict = nullptr;  // borrowed: the module dictionary of the fill
  uint64_t dict_tag = 0;
  uint64_t builtins_tag = 0;  // 0: the value came from the module dictionary
  PyObject* value = nullptr;  // borrowed
  // The attribute that isinstance_of_global_attr fetches from the global,
  // when the global is a plain module (see module_attr). A site serves one
  // attribute name. Reset whenever the global's own entry is filled anew, so
  // a valid attribute entry always belongs to the global the site now holds.
  PyObject* attr_dict = nullptr;  // borrowed: that module's dictionary
  uint64_t attr_tag = 0;
  PyObject* attr_value = nullptr;  // borrowed
#ifdef Py_GIL_DISABLED
  int thread_slot = -1;  // its index in each thread's ThreadSites, once given one
#endif
};

#ifdef Py_GIL_DISABLED
// What one site found, for one thread. Only that thread reads or writes it,
// until its thread state is cleared.
struct ThreadGlobal {
  PyObject* dict = nullptr;        // strong: the module dictionary of the fill
  PyObject* value = nullptr;       // strong: the global, nullptr: empty
  PyObject* attr_value = nullptr;  // strong: module_attr's entry, or nullptr
  uint64_t tag = 0;                // dict_version when both were current
};

// The look-up caches of one thread for one module (free-threaded builds).
//
// Soundness. Every value is held strongly, so a hit never hands out an
// object another thread has freed, whatever it did to the dictionaries. A
// hit needs the version read now to equal the slot's tag; the version is one
// counter that the interpreter's watcher call moves for every change of every
// watched dict, before that change is made and with that dict's critical
// section held. A fill watches the dict, reads the version and looks the
// name up, all inside the same critical section: every change whose watcher
// call the version read has seen had been made before the section began,
// and none can be made until it ends, so the value found is the dict's value
// at that version, never an older one under a newer tag (which reading the
// version and looking up without the lock could record: the counter moves
// before the new value is stored). Any change after that moves the counter
// past the tag. A hit is therefore what a fresh look-up returns, except for
// a change racing with the call, which may be seen or not. A value found in
// builtins, or an attribute of the global, is kept only when the version read
// for that dictionary equals the one read for the module dictionary: nothing
// watched changed in between, so the global was still missing, or still the
// same object, when the other was read.
//
// Lifetime. The block is owned by a capsule in the thread state's dict
// (PyThreadState_GetDict), whose clearing releases the references. A
// thread-local pointer reaches it fast; it is followed only while the
// block names the current thread state, by address and unique id, and this
// module. Released on its own thread, the block is freed and the pointer
// reset; released on another (a thread state cleared by the interpreter's
// finalization), the block is emptied and only its owner mark cleared, so the
// pointer the first thread may still hold leads nowhere, and the memory is
// left (one small block, in that rare case). What a slot held is released
// when the thread refills that slot or its thread state is cleared.
struct ThreadSites {
  static constexpr int kSlots = 16;    // sites past these look up uncached
  std::atomic<PyThreadState*> tstate;  // nullptr once released elsewhere
  uint64_t tstate_id;
  const Module* mod;
  const void* owner;  // the address of the owning thread's pointer to it
  ThreadGlobal slots[kSlots];
};

// The thread's block, as the thread-local pointer names it, and whether its
// thread is releasing one (no new block is made meanwhile). The default TLS
// model, as for the stack bound.
struct ThreadSitesTls {
  ThreadSites* block = nullptr;
  bool releasing = false;
};
inline thread_local ThreadSitesTls thread_sites_tls{};

// The slot of `site` for the calling thread, making the thread's block and
// the site's index on first use; nullptr where it cannot be had (no thread
// state dict, no memory, all slots given out): the caller looks up uncached.
ThreadGlobal* thread_global_slow(Module& m, GlobalSite& site) noexcept;

// Out of line: the TLS descriptor call it makes stays in a small function
// that holds nothing in vector registers (tools/check_tls_calls.py).
FRAME_NOINLINE inline ThreadGlobal* thread_global(Module& m, GlobalSite& site) noexcept {
  ThreadSites* b = thread_sites_tls.block;
  const int slot = std::atomic_ref<int>(site.thread_slot).load(std::memory_order_relaxed);
  if (b != nullptr && slot >= 0) [[likely]] {
    PyThreadState* ts = PyThreadState_GetUnchecked();
    if (b->tstate.load(std::memory_order_relaxed) == ts && ts != nullptr &&
        b->tstate_id == ts->id && b->mod == &m) {
      return &b->slots[slot];
    }
  }
  return thread_global_slow(m, site);
}
#endif

// The cached global, or nullptr when the site must look again. Borrowed.
inline PyObject* site_hit(const FnObject* f, const GlobalSite& site) noexcept {
  if constexpr (kFreeThreaded) return nullptr;
  PyObject* g = f->globals;
  if (site.value != nullptr && site.dict == g && site.dict_tag == dict_version(g) &&
      (site.builtins_tag == 0 || site.builtins_tag == dict_version(f->mod->builtins_dict))) {
    return site.value;
  }
  return nullptr;
}

// The look-up behind a missed site; fills the site. New reference, or nullptr
// with NameError (or the error of the look-up) set.
PyObject* lookup_global_slow(FnObject* f, GlobalSite& site, PyObject* name) noexcept;

// The value of the global `name` as the function `f` sees it, or NameError.
// New reference.
inline PyObject* lookup_global(FnObject* f, GlobalSite& site, PyObject* name) noexcept {
#ifdef Py_GIL_DISABLED
  const ThreadGlobal* t = thread_global(*f->mod, site);
  if (t != nullptr && t->value != nullptr && t->dict == f->globals &&
      t->tag == dict_version(nullptr)) {
    return Py_NewRef(t->value);
  }
#endif
  PyObject* v = site_hit(f, site);
  return v != nullptr ? Py_NewRef(v) : lookup_global_slow(f, site, name);
}

// getattr(g, attr), served from `site` where g is a plain module: attribute
// access on an object of type exactly `module` (a static, immutable type)
// finds nothing on the type for an attribute the type does not define, and so
// returns the module dictionary's entry. That entry is kept with the
// dictionary's version, which changes on every insert, replacement and
// delete, so a cache hit is exactly what a fresh access would return. Any
// other object, a miss in the dictionary (module __getattr__, AttributeError)
// and a module whose type has been reassigned take the ordinary access.
// New reference.
PyObject* module_attr(Module& m, GlobalSite& site, PyObject* g, PyObject* attr) noexcept;

// isinstance(v, cls) by the interpreter's full protocol. Where the class's
// metaclass inherits type's own __instancecheck__, the check that hook would
// make is made directly, without the bound method and argument tuple the
// generic path builds for the call. 1 true, 0 false, -1 error.
int is_instance(Module& m, PyObject* v, PyObject* cls) noexcept;

// The method that calling `callable` runs, when that call goes through the
// interpreter's generic call slot of a class with a Python-level __call__ and
// the type's __call__ is a method descriptor with vectorcall (a function, in
// practice): the slot would look it up on the type exactly so and call it
// with `callable` in front of the arguments. Calling it that way directly
// skips the argument tuple and keyword dict the slot takes. New reference,
// or nullptr (no error set) for any other callable.
PyObject* python_call_method(Module& m, PyObject* callable) noexcept;

// callable(*args, **kwargs) for an exact dict `kwargs`, as `callable(*args,
// **kwargs)` in Python makes it: the callee sees the entries the dict held
// when the call was made, never the dict itself, and nothing the dict does
// meanwhile (code run by a garbage collection may grow it) reaches arrays
// sized for its old contents. New reference.
PyObject* call_with_kwargs(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwargs) noexcept;

// isinstance(v, G.attr) with the global G looked up and attr fetched anew
// (both through the caches of `site`). 1 true, 0 false, -1 error.
int isinstance_of_global_attr_slow(FnObject* f, GlobalSite& site, PyObject* gname, PyObject* attr,
                                   PyObject* v) noexcept;
inline int isinstance_of_global_attr(FnObject* f, GlobalSite& site, PyObject* gname, PyObject* attr,
                                     PyObject* v) noexcept {
#ifdef Py_GIL_DISABLED
  // The thread's slot holds the global, the class and the dict strongly; the
  // tag covers both entries (see ThreadSites).
  const ThreadGlobal* t = thread_global(*f->mod, site);
  if (t != nullptr && t->attr_value != nullptr && t->dict == f->globals &&
      t->tag == dict_version(nullptr) && Py_IS_TYPE(t->value, &PyModule_Type)) {
    PyObject* cls = t->attr_value;
    if (Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(cls))) return 1;
    // CAUTION: the instance check may run Python code that refills the slot.
    Ref hold = Ref::borrow(cls);
    return is_instance(*f->mod, v, cls);
  }
#endif
  PyObject* g = site_hit(f, site);  // nullptr on free-threaded builds
  // The global is the module the attribute entry was filled from (the entry
  // is reset on every refill of the global), so its dictionary is alive.
  if (g != nullptr && site.attr_value != nullptr && Py_IS_TYPE(g, &PyModule_Type) &&
      site.attr_tag == dict_version(site.attr_dict)) {
    PyObject* cls = site.attr_value;
    if (Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(cls))) return 1;
    // CAUTION: the instance check may run Python code that drops the class.
    Ref hold = Ref::borrow(cls);
    return is_instance(*f->mod, v, cls);
  }
  return isinstance_of_global_attr_slow(f, site, gname, attr, v);
}

// One call site of a method called by name, obj.name(*args), with the
// method looked up once per type instead of on every call, as the
// interpreter's own call sites cache it. A filled site holds the type, its
// version tag and what the type look-up found: a method descriptor (a
// function, a builtin method), which the generic attribute access hands back
// unbound, to be called with the object in front, unless the object's own
// dictionary holds the name. The site is used only while the type is the
// same with the same tag (so its look-up would find the same descriptor,
// and its attribute access is still the generic one) and the object has no
// attribute of its own; everything else (another type, a type changed since,
// an instance attribute, a __getattribute__ or __getattr__, a data
// descriptor or any other kind of attribute) takes the interpreter's full
// look-up by name.
//
// The site holds no reference: the type's dictionary holds the method for as
// long as the tag is unchanged. The call holds one, since the method may
// change the type while it runs.
//
// Free-threaded builds never fill a site (another thread may change the type
// and free the method between the test and the call). They look the method
// up on every call, by the type look-up the interpreter's own attribute
// access makes (served from the type's attribute cache, a strong reference),
// and call a method descriptor found so directly under the same conditions.
struct MethodSite {
  PyTypeObject* type = nullptr;  // borrowed
  unsigned int version = 0;      // nonzero once filled
  PyObject* method = nullptr;    // borrowed
};

// method(*args), for a method descriptor the type look-up found, through its
// vectorcall slot directly where it has one, as the interpreter's own
// specialized calls of method descriptors make it: without the thread state
// and the check of the result PyObject_Vectorcall adds. The one inconsistent
// result the caller could not tell from a failure, NULL without an
// exception, is reported as PyObject_Vectorcall reports it; a result with an
// exception set is left to the check our own caller makes of our result.
// New reference.
inline PyObject* call_method_descriptor(PyObject* method, PyObject* const* args,
                                        size_t nargsf) noexcept {
  // PyVectorcall_Function, read in place: 3.11 has it out of line.
  PyTypeObject* tp = Py_TYPE(method);
  if (!PyType_HasFeature(tp, Py_TPFLAGS_HAVE_VECTORCALL)) {
    return PyObject_Vectorcall(method, args, nargsf, nullptr);
  }
  vectorcallfunc call = nullptr;
  std::memcpy(static_cast<void*>(&call), reinterpret_cast<char*>(method) + tp->tp_vectorcall_offset,
              sizeof call);
  if (call == nullptr) return PyObject_Vectorcall(method, args, nargsf, nullptr);
  PyObject* result = call(method, args, nargsf, nullptr);
  if (result == nullptr && !PyErr_Occurred()) {
    PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", method);
  }
  return result;
}

// The miss: the full look-up by name and the call, filling the site where
// the type allows. New reference.
PyObject* call_method_slow(MethodSite& site, PyObject* name, PyObject* const* args,
                           size_t nargsf) noexcept;

// args[0].name(*args[1:]), `nargsf` as a vectorcall takes it (the count,
// the object included, and PY_VECTORCALL_ARGUMENTS_OFFSET where args[-1] is
// free for the callee's use). New reference.
inline PyObject* call_method(MethodSite& site, PyObject* name, PyObject* const* args,
                             size_t nargsf) noexcept {
  if constexpr (!kFreeThreaded) {
    PyObject* self = args[0];
    PyTypeObject* tp = Py_TYPE(self);
    if (tp == site.type && type_version(tp) == site.version &&
        tp->tp_getattro == PyObject_GenericGetAttr && no_instance_attributes(self)) {
      // CAUTION: the method may run any Python code, changing the type; it
      // is held for the call.
      PyObject* method = Py_NewRef(site.method);
      PyObject* result = call_method_descriptor(method, args, nargsf);
      Py_DECREF(method);
      return result;
    }
  }
  return call_method_slow(site, name, args, nargsf);
}

// Walks a dict argument by entries (key and value) or by values only.
// An exact dict is read in place with the interpreter's two guards: its size
// is compared before every step, and an entry found after as many entries as
// it had at the start means keys were swapped during the walk. A subclass has
// its own `items`/`values` called once and the result read by index (exact
// tuple or list) or through its iterator. Every key and value is handed out
// as a strong reference, so callbacks that mutate the dict cannot free what
// the caller holds.
class DictWalk {
 public:
  enum class Kind : std::uint8_t { kItems, kValues };
  DictWalk(Module& m, Kind kind) noexcept : m_(&m), kind_(kind) {}

  // `d` is borrowed; the caller keeps it alive for the walk. 0 or -1.
  int start(PyObject* d) noexcept;
  // 1: an entry (value only for kValues, key left empty), 0: end, -1: error.
  // Both references of the new entry are taken before the previous entry's
  // are dropped: a destructor run by that drop may change the dict.
  int next(Ref& key, Ref& value) noexcept;

 private:
  int next_element(Ref& element) noexcept;
  static int unpack_pair(PyObject* element, Ref& key, Ref& value) noexcept;

  Module* m_;
  Kind kind_;
  PyObject* dict_ = nullptr;  // borrowed, exact dict only
  Py_ssize_t pos_ = 0;
  Py_ssize_t size_ = 0;
  Py_ssize_t left_ = 0;  // entries the exact dict may still hand out
  Py_ssize_t index_ = 0;
  Ref seq_;   // exact tuple or list from items()/values()
  Ref iter_;  // iterator over any other result
};

// Argument annotation enforcement.
// TypeError "Argument '<argname>' has incorrect type (expected <t>, got
// <type(v)>)" unless type(v) is exactly `t` (names cut at 200 bytes); a
// subclass of a builtin type gets ". " and the note that explains why. 0 or -1.
int raise_incorrect_type(PyObject* v, PyTypeObject* t, const char* argname) noexcept;
inline int check_exact_type(PyObject* v, PyTypeObject* t, const char* argname) noexcept {
  return Py_IS_TYPE(v, t) ? 0 : raise_incorrect_type(v, t, argname);
}
// The `int` annotation: exact int kept, numbers through int(), anything else
// the incorrect-type TypeError. New reference.
PyObject* convert_int_arg(PyObject* v, const char* argname) noexcept;

}  // namespace frame
