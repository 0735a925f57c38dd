// stack_guard.hpp - the check every call's entry makes that the thread's C
// stack has room for one more level.
//
// A native function can reach itself again through a slot it calls with no
// Python frame in between, so every level of such a recursion takes C stack.
// From 3.14 on, Py_EnterRecursiveCall measures the stack itself. Before, it
// counts calls against the recursion limit, which bounds no stack: a high
// sys.setrecursionlimit() or a thread started after threading.stack_size()
// overflows it first. There the entry of every call also compares the stack
// pointer with the thread's stack bound.
#pragma once

#include <Python.h>

#include <cstdint>

namespace frame {

#if PY_VERSION_HEX < 0x030E0000

// Where the calling thread's stack ends and how much of it is kept back.
// The check fires once the stack pointer is less than `margin` above `low`.
//
// The margin is a quarter of the thread's stack, at most 1 MiB. It has to
// hold whatever one level runs between two checks: our own frames and the
// interpreter's (a few KiB), but also any callback that level makes (a `to`
// or `items` of the caller's), and that callback is native code we do not
// see, which may take far more before it reaches an entry of ours again
// (json.dumps of a list nested 1,000 deep takes about 100 KiB). The
// interpreter can live with 16 to 32 KiB from 3.14 on because every
// recursive C path of its own checks again; ours cannot. A fixed large
// margin would make every call fail in a thread whose stack is smaller than
// it (threading.stack_size() accepts 32 KiB), so it grows with the stack: a
// 32 KiB thread keeps 8 KiB, the 256 KiB ones 64 KiB, an 8 MiB stack 1 MiB.
struct StackBound {
  uintptr_t low;
  uintptr_t margin;  // 0: not known yet for this thread
};

// The thread's own bound. The default TLS model, not initial-exec: a module
// loaded late into a process (after torch) may find no static TLS left.
inline thread_local StackBound stack_bound = {0, 0};

// The first call of a thread (and every call after a query that failed):
// asks the platform, keeps the answer, and checks `here` against it.
// Defined in stack_guard.cpp, out of line: the entries stay small.
bool stack_exhausted_first(uintptr_t here) noexcept;

inline bool stack_exhausted() noexcept {
  const char here = 0;
  const auto sp = reinterpret_cast<uintptr_t>(&here);
  const StackBound& b = stack_bound;
  if (b.margin == 0) [[unlikely]]
    return stack_exhausted_first(sp);
  // Outside the thread's stack (a stack of another kind, switched to by some
  // library) the difference is huge and nothing is reported.
  return sp - b.low < b.margin;
}

#else
inline bool stack_exhausted() noexcept { return false; }
#endif

}  // namespace frame
