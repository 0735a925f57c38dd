# 64-bit Arm Linux with Debian's cross compiler (g++-aarch64-linux-gnu),
# against its glibc; the Python headers are the target interpreter's:
#
#   cmake --toolchain cmake/toolchains/aarch64-linux-gnu.cmake \
#     -DPython_INCLUDE_DIR=... -DSKBUILD_SOABI=cpython-3XX-aarch64-linux-gnu
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

find_program(CMAKE_CXX_COMPILER NAMES aarch64-linux-gnu-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES aarch64-linux-gnu-gcc)
find_program(CMAKE_STRIP NAMES aarch64-linux-gnu-strip)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
