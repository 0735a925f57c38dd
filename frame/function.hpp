// function.hpp - the function objects of the native modules, their traceback
// entries and their vectorcall entries: the guarded entry and the
// pass-through entry (function.cpp, traceback.cpp).
//
// Conventions: PyObject* parameters are borrowed, PyObject* results are new
// references; failures return nullptr or -1 with the error indicator set.
// Nothing here throws.
#pragma once

#include <type_traits>

#include "module.hpp"
#include "stack_guard.hpp"

namespace frame {

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
  PyObject* result = nullptr;
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

}  // namespace frame
