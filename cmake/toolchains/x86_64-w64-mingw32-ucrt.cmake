# 64-bit Windows with MinGW-w64 for the UCRT (Debian's g++-mingw-w64-ucrt64):
# the C runtime that CPython 3.5 and later is built against on Windows, so
# that a module and its interpreter share one C runtime.
#
#   cmake --toolchain cmake/toolchains/x86_64-w64-mingw32-ucrt.cmake \
#     -DPython_INCLUDE_DIR=... -DPython_LIBRARY=.../python3XX.dll -DSKBUILD_SOABI=cp3XX-win_amd64
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TARNEX_MINGW_PREFIX x86_64-w64-mingw32ucrt)
# The posix thread model where both are installed: the same compiler the
# win32 one is, with std::thread and friends (unused here) available.
find_program(CMAKE_CXX_COMPILER NAMES ${TARNEX_MINGW_PREFIX}-g++-posix ${TARNEX_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${TARNEX_MINGW_PREFIX}-gcc-posix ${TARNEX_MINGW_PREFIX}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${TARNEX_MINGW_PREFIX}-windres x86_64-w64-mingw32-windres)
find_program(CMAKE_STRIP NAMES ${TARNEX_MINGW_PREFIX}-strip x86_64-w64-mingw32-strip)

# The GCC runtime, the C++ runtime and winpthread go into each module: a .pyd
# then needs only KERNEL32, the UCRT's api-ms-win-crt-* and python3XX.dll,
# as one built with MSVC does, and no MinGW DLL beside it.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
