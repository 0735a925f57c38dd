// state_lock.hpp - whether the interpreter runs without the GIL, and the
// lock of a module's own shared state. Nothing here depends on the
// interpreter's version, only on the build's kind.
#pragma once

#include "compat.hpp"

namespace frame {

#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// A lock of the module's own shared state (the traceback-code cache): a
// PyMutex without the GIL, nothing with it. Never held across a call that can
// run Python code.
struct StateLock {
#ifdef Py_GIL_DISABLED
  PyMutex mutex{};
  void lock() noexcept { PyMutex_Lock(&mutex); }
  void unlock() noexcept { PyMutex_Unlock(&mutex); }
#else
  void lock() noexcept {}
  void unlock() noexcept {}
#endif
};

}  // namespace frame
