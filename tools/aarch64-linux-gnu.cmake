# Cross build for aarch64 Linux with Debian's g++-aarch64-linux-gnu; the
# programs run under qemu-user: `qemu-aarch64 -L /usr/aarch64-linux-gnu prog`.
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=tools/aarch64-linux-gnu.cmake \
#         -DKELVANE_MODULE=OFF -DKELVANE_NATIVE_CHECKS=ON
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
