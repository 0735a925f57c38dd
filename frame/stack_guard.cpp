// stack_guard.cpp - where a thread's stack ends, asked of the platform once
// per thread (stack_guard.hpp).
#include "frame.hpp"  // stack_guard.hpp, FRAME_NOINLINE

#if PY_VERSION_HEX < 0x030E0000

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <pthread.h>
#elif defined(__linux__)
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__GLIBC__)
// The stack pointer the process started with, just below its arguments and
// environment: where the main thread's stack begins, as glibc itself reads
// it for pthread_getattr_np.
extern "C" void* __libc_stack_end;  // NOLINT(bugprone-reserved-identifier): glibc's own name
#endif
#endif

namespace frame {
namespace {

// Hides a pointer's value from the optimizer, which then cannot fold it into
// the callee it is passed to.
template <class T>
inline T* opaque(T* p) noexcept {
#if defined(__GNUC__)
  __asm__ volatile("" : "+r"(p));
#endif
  return p;
}

constexpr uintptr_t kMaxMargin = uintptr_t{1} << 20;

uintptr_t margin_for(uintptr_t size) noexcept {
  const uintptr_t m = size / 4;
  if (m > kMaxMargin) return kMaxMargin;
  return m != 0 ? m : 1;  // never 0: that means "not known yet"
}

// The thread's stack as the platform reports it: its lowest usable address
// and its size. False when the query failed; it may succeed later.
bool query_stack(uintptr_t* low, uintptr_t* size) noexcept {
#if defined(_WIN32)
  ULONG_PTR lo = 0;
  ULONG_PTR hi = 0;
  GetCurrentThreadStackLimits(&lo, &hi);
  if (lo == 0 || hi <= lo) return false;
  *low = static_cast<uintptr_t>(lo);
  *size = static_cast<uintptr_t>(hi - lo);
  return true;
#elif defined(__APPLE__)
  pthread_t self = pthread_self();
  const auto top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
  const size_t sz = pthread_get_stacksize_np(self);
  if (top == 0 || sz == 0 || sz > top) return false;
  *low = top - sz;
  *size = sz;
  return true;
#elif defined(__linux__)
  // For the main thread glibc reads /proc/self/maps here: with no file
  // descriptor free, or no memory, this fails, and says nothing about later.
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
  void* addr = nullptr;
  size_t sz = 0;
  const bool ok = pthread_attr_getstack(&attr, &addr, &sz) == 0 && addr != nullptr && sz != 0;
  pthread_attr_destroy(&attr);
  if (!ok) return false;
  *low = reinterpret_cast<uintptr_t>(addr);
  *size = sz;
  return true;
#else
  (void)low;
  (void)size;
  return false;
#endif
}

// A bound for the main thread without the query: the stack's start and its
// resource limit, as the kernel grows it. It can lie a little below the real
// end (the arguments and environment above the start also count against the
// limit), which the margin covers. False for any other thread.
bool estimate_main_stack(uintptr_t here, uintptr_t* low, uintptr_t* size) noexcept {
#if defined(__linux__)
  if (static_cast<long>(getpid()) != syscall(SYS_gettid)) return false;
  uintptr_t top = here;
#if defined(__GLIBC__)
  const auto start = reinterpret_cast<uintptr_t>(__libc_stack_end);
  if (start > here) top = start;
#endif
  // An unlimited stack grows until it meets another mapping; 8 MiB, the
  // usual limit, keeps a bound at all.
  uintptr_t limit = uintptr_t{8} << 20;
  struct rlimit rl = {};
  if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
    limit = static_cast<uintptr_t>(rl.rlim_cur);
  }
  if (limit == 0 || limit >= top) return false;
  *low = top - limit;
  *size = limit;
  return true;
#else
  (void)here;
  (void)low;
  (void)size;
  return false;
#endif
}

// Finds the thread's bound, keeps it in `kept` where it may be kept, and
// checks `here` against it. Everything the first call does apart from taking
// the thread-local's address, out of line: what it compiles to (a struct
// zeroed or stored in a vector register, say) stays out of the function that
// reads the thread-local.
FRAME_NOINLINE bool find_bound_and_check(uintptr_t here, StackBound* kept) noexcept {
  uintptr_t low = 0;
  uintptr_t size = 0;
  if (query_stack(&low, &size)) {
    *kept = {low, margin_for(size)};
    return here - kept->low < kept->margin;
  }
  // Not remembered: a later call asks again. Until then this call is still
  // checked where a bound can be had another way.
  if (estimate_main_stack(here, &low, &size)) return here - low < margin_for(size);
#if !defined(_WIN32) && !defined(__APPLE__) && !defined(__linux__)
  // A platform that never says: no bound, kept, so no query on every call.
  *kept = {0, 1};
#endif
  return false;
}

}  // namespace

bool stack_exhausted_first(uintptr_t here) noexcept {
  // Only the thread-local's address is taken here, and nothing else done: with
  // TLS descriptors the dynamic linker's resolver may run for it, and glibc
  // before 2.40 saves only the general registers there, so no function that
  // makes the call may hold a value in a vector register
  // (tools/check_tls_calls.py checks every such function of the build).
  // Opaque, so that the address is not folded into a copy of the callee.
  return find_bound_and_check(here, opaque(&stack_bound));
}

}  // namespace frame

#endif
