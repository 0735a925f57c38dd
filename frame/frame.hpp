// frame.hpp - the module frame shared by the native modules, one header per
// job:
//   module.hpp     module state, definitions, the module body's statements
//   function.hpp   function objects, traceback entries, vectorcall entries
//   sites.hpp      look-up sites of globals and methods
//   calls.hpp      calls into Python made as the interpreter makes them
//   dict_walk.hpp  the walk over a dict argument
//   args.hpp       argument annotation checks
//   describe.hpp   the descriptions modules and functions are made from
// and below them compat.hpp (API shims by version), layout.hpp (reads of the
// interpreter's objects by layout), state_lock.hpp (the lock of shared
// state and the dict versions), stack_guard.hpp (the C stack's bound) and
// ref.hpp (the owned reference).
//
// Two comment marks run through the frame and the bodies. CAUTION: before a
// call that may run any Python code, saying what is held strongly across it.
// CONTRACT: beside an error's words that callers and the tests rely on word
// for word, mostly the interpreter's own for the same failure; such words
// change only together with the tests that pin them.
#pragma once

#include "args.hpp"
#include "calls.hpp"
#include "dict_walk.hpp"
#include "function.hpp"
#include "module.hpp"
#include "sites.hpp"
