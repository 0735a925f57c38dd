/* Force-included into every source of a portable Linux build
   (TARNEX_PORTABLE_GLIBC in CMakeLists.txt), ahead of everything else.

   glibc 2.34 moved the thread functions from libpthread into libc and gave
   the two that find a thread's stack new version nodes there
   (pthread_getattr_np@GLIBC_2.32, pthread_attr_getstack@GLIBC_2.34). A
   module linked against a newer glibc asks for those versions and does not
   load on an older one. Both functions are unchanged since their first
   version, which every glibc still exports, so the references are bound to
   that one: the module then loads on any glibc of the manylinux range, where
   libpthread.so.0 (linked for it) or libc.so.6 defines it.

   A glibc function that has only its first version needs no line here. One
   that gets a newer version node shows up in the wheel gate of
   tools/build_wheels.sh (the manylinux policy rises), which is where a line
   for it is found to be missing. */
#ifndef TARNEX_GLIBC_OLD_SYMBOLS_H
#define TARNEX_GLIBC_OLD_SYMBOLS_H

#include <features.h>

#if defined(__GLIBC__)
#if defined(__x86_64__)
#define TARNEX_GLIBC_FIRST "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define TARNEX_GLIBC_FIRST "GLIBC_2.17"
#else
#error "glibc_old_symbols.h: the first glibc version node of this architecture is not known"
#endif
__asm__(".symver pthread_getattr_np,pthread_getattr_np@" TARNEX_GLIBC_FIRST);
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@" TARNEX_GLIBC_FIRST);
#undef TARNEX_GLIBC_FIRST
#endif

#endif
