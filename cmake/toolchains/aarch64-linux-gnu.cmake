# Cross-compiling for 64-bit Arm Linux on a Debian machine, with Debian's cross
# compiler (g++-aarch64-linux-gnu) and the target's libraries installed as
# multiarch packages (libpython3.11-dev:arm64, libflatbuffers-dev:arm64, ...):
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
#
# scripts/test_arm64.sh installs all of it, builds, and runs the tests in an
# arm64 Debian root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The target's headers, libraries and CMake packages: the cross toolchain's
# own directory, then the multiarch directories of the machine itself
# (/usr/lib/aarch64-linux-gnu, and the architecture-independent /usr/include
# and /usr/share of header-only packages). Programs (flatc, the Python config
# tools) are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CTest start the test programs through user-mode emulation on the build
# machine. Tests that start arm64 programs of their own, and the Python suite,
# need the kernel's binfmt_misc registration and an arm64 root instead.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static)
