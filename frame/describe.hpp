// describe.hpp - a module and its functions, each described once.
//
// A function is a struct of compile-time facts: its name, its lines (an
// enum class Line whose kDef is the `def` line), its parameter count and
// variables, its docstring, annotations and defaults, its body, and how
// calls enter it. FunctionOf makes the definition row and the vectorcall
// entry from them, derives the names (qualname, the traceback entries' dotted
// name) and checks at compile time what must agree. A module is described
// the same way, and ModuleOf makes the static part of its frame state, the
// create and exec slots, the module definition and, through
// FRAME_MODULE_INIT, PyInit_<name>.
//
// A function description, every member but those marked optional required:
//
//   struct ToDevice {
//     static constexpr std::string_view name = "to_device";
//     enum class Line : std::uint8_t { kDef = 15, ... };
//     static constexpr int nparams = 2;
//     static constexpr const char* varnames[] = {"x", "device", ...};  // parameters first
//     static constexpr const char* doc = "...";             // optional: None
//     static constexpr Annotation annotations[] = {...};     // optional
//     static constexpr PyObject** defaults = &state.tuple;   // optional
//     static constexpr PassThrough pass_through = {0, 0};    // optional: guarded
//     static constexpr ImplFn body = to_device;
//   };
//
// A module description: `dotted` (its full name), `module_state` (its frame
// state), `functions` (a FunctionTable type), the arrays `strings` and
// optionally `extra_codes`, `constants` and `body` (see Module), and
// optionally `doc`.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include "frame.hpp"

namespace frame {

// ------------------------------------------------------- compile-time text

// Text joined at compile time, NUL-terminated, in static storage once it is
// a static constexpr member.
template <std::size_t N>
struct JoinedText {
  std::array<char, N + 1> chars{};
  constexpr const char* c_str() const noexcept { return chars.data(); }
};

constexpr std::size_t joined_size(std::initializer_list<std::string_view> parts) {
  std::size_t n = 0;
  for (std::string_view p : parts) n += p.size();
  return n;
}

template <std::size_t N>
constexpr JoinedText<N> join_text(std::initializer_list<std::string_view> parts) {
  JoinedText<N> out{};
  std::size_t i = 0;
  for (std::string_view p : parts) {
    for (char c : p) out.chars.at(i++) = c;
  }
  return out;
}

// The source file a dotted module name stands for: "a.b.c" -> "a/b/c.py".
template <std::size_t N>
constexpr JoinedText<N + 3> source_file(std::string_view dotted) {
  JoinedText<N + 3> out = join_text<N + 3>({dotted, ".py"});
  for (std::size_t i = 0; i < N; ++i) {
    if (out.chars.at(i) == '.') out.chars.at(i) = '/';
  }
  return out;
}

constexpr bool same_text(const char* a, std::string_view b) { return std::string_view(a) == b; }

// -------------------------------------------------------------- functions

// A body that hands args[result] back untouched when it is called with all
// its parameters by position and args[test] is no dict (pass_through_entry).
struct PassThrough {
  int test;
  int result;
};

// The compile-time checks of a description's variables and annotations.
template <class D>
constexpr bool parameters_distinct() {
  constexpr std::size_t n = D::nparams;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (std::string_view(D::varnames[i]) == D::varnames[j]) return false;
    }
  }
  return true;
}

template <class D>
constexpr bool annotations_name_parameters() {
  if constexpr (requires { D::annotations; }) {
    for (const Annotation& a : D::annotations) {
      bool found = same_text(a.name, "return");
      for (int i = 0; i < D::nparams; ++i) found = found || same_text(a.name, D::varnames[i]);
      if (!found) return false;
    }
  }
  return true;
}

// A description's docstring, or nullptr (None) where it names none.
template <class D>
constexpr const char* doc_of() {
  if constexpr (requires { D::doc; }) {
    return D::doc;
  } else {
    return nullptr;
  }
}

// The vectorcall entry of a function description.
template <class D>
constexpr vectorcallfunc entry_of() {
  if constexpr (requires { D::pass_through; }) {
    constexpr PassThrough p = D::pass_through;
    static_assert(p.test >= 0 && p.test < D::nparams && p.result >= 0 && p.result < D::nparams,
                  "a pass-through tests and returns parameters");
    return pass_through_entry<D::body, D::nparams, p.test, p.result>;
  } else {
    return guarded_entry<StaticBody<D::body, D::nparams>>;
  }
}

// The row and the entry of the function `D` of the module `M` (only
// M::dotted is read: a module's description lists the rows of its functions,
// so `M` may be the module's name part alone).
template <class M, class D>
struct FunctionOf {
  static_assert(D::nparams >= 0 && D::nparams <= kMaxParams,
                "a function has at most kMaxParams parameters");
  static_assert(std::size(D::varnames) >= static_cast<std::size_t>(D::nparams),
                "the variables start with the parameters");
  static_assert(parameters_distinct<D>(), "a parameter is named twice");
  static_assert(annotations_name_parameters<D>(), "an annotation names no parameter");
  static_assert(line_no(D::Line::kDef) > 0, "the def line is the code object's first line");

  // The name, NUL-terminated in storage of its own.
  static constexpr auto name = join_text<D::name.size()>({D::name});
  // The dotted name traceback entries show: "<module>.<function>".
  static constexpr auto traceback_name =
      join_text<joined_size({M::dotted, ".", D::name})>({M::dotted, ".", D::name});

  static constexpr FnDef def = [] {
    FnDef d{};
    // A module-level function: its qualname is its name.
    d.code.name = name.c_str();
    d.code.qualname = name.c_str();
    d.code.argcount = D::nparams;
    d.code.first_line = line_no(D::Line::kDef);
    d.code.varnames = D::varnames;
    d.code.nvarnames = static_cast<int>(std::size(D::varnames));
    d.traceback_name = traceback_name.c_str();
    d.doc = doc_of<D>();
    if constexpr (requires { D::annotations; }) {
      d.annotations = D::annotations;
      d.nannotations = static_cast<int>(std::size(D::annotations));
    }
    if constexpr (requires { D::defaults; }) d.defaults = D::defaults;
    d.impl = D::body;
    d.entry = entry_of<D>();
    return d;
  }();
};

// The definition rows of a module's functions, in the order the module body
// defines them.
template <class M, class... Ds>
struct FunctionTable {
  static constexpr const FnDef* rows[] = {&FunctionOf<M, Ds>::def...};
};

// A code object inside the function `Outer` that is no function of its own
// (a generator expression), described by its `name`, its first `line` (one
// of Outer::Line), `flags` and `varnames`; its qualname is derived.
template <class Outer, class D>
struct InnerCodeOf {
  static constexpr auto name = join_text<D::name.size()>({D::name});
  static constexpr auto qualname = join_text<joined_size({Outer::name, ".<locals>.", D::name})>(
      {Outer::name, ".<locals>.", D::name});
  static constexpr CodeDef def = [] {
    CodeDef c{};
    c.name = name.c_str();
    c.qualname = qualname.c_str();
    c.first_line = line_no(D::line);
    c.extra_flags = D::flags;
    c.varnames = D::varnames;
    c.nvarnames = static_cast<int>(std::size(D::varnames));
    return c;
  }();
};

// ----------------------------------------------------------------- modules

template <class D>
struct ModuleOf {
  // The last part of the dotted name.
  static constexpr std::string_view name = D::dotted.substr(D::dotted.rfind('.') + 1);
  static constexpr auto name_text = join_text<name.size()>({name});
  static constexpr auto dotted_text = join_text<D::dotted.size()>({D::dotted});
  static constexpr auto init_name =
      join_text<joined_size({"init ", D::dotted})>({"init ", D::dotted});
  static constexpr auto filename = source_file<D::dotted.size()>(D::dotted);

  // The static part of the module's frame state.
  static constexpr Module frame_state() noexcept {
    Module m{};
    m.name = name_text.c_str();
    m.dotted = dotted_text.c_str();
    m.init_name = init_name.c_str();
    m.filename = filename.c_str();
    m.strings = D::strings;
    m.nstrings = std::size(D::strings);
    m.functions = D::functions::rows;
    m.nfunctions = std::size(D::functions::rows);
    if constexpr (requires { D::extra_codes; }) {
      m.extra_codes = D::extra_codes;
      m.nextra_codes = std::size(D::extra_codes);
    }
    m.constants = D::constants;
    m.body = D::body;
    return m;
  }

  static PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    return module_create(*D::module_state, spec);
  }
  static int exec(PyObject* module) noexcept { return module_exec(*D::module_state, module); }

  static inline PyModuleDef_Slot slots[] = {
      {Py_mod_create, reinterpret_cast<void*>(&create)},
      {Py_mod_exec, reinterpret_cast<void*>(&exec)},
      FRAME_MOD_GIL_SLOT{0, nullptr},
  };
  static inline PyModuleDef def = {
      PyModuleDef_HEAD_INIT,
      name_text.c_str(),
      doc_of<D>(),
      0,
      nullptr,
      slots,
      nullptr,
      nullptr,
      nullptr,
  };
};

}  // namespace frame

// The module's PyInit_<last>, the one symbol a module exports. `last` is the
// last part of the module's dotted name: the import system looks for exactly
// that symbol.
#define FRAME_MODULE_INIT(last, Desc)                                               \
  static_assert(::frame::ModuleOf<Desc>::name == #last, "PyInit_ of another name"); \
  PyMODINIT_FUNC PyInit_##last(void) { return PyModuleDef_Init(&::frame::ModuleOf<Desc>::def); }
