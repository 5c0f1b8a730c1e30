# Cross build for Windows x86-64 with Debian's g++-mingw-w64-x86-64 (the
# posix thread model, whose C++ runtime has std::thread's mutexes); the
# programs link their runtime statically and run under Wine:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=tools/x86_64-w64-mingw32.cmake \
#         -DKELVANE_MODULE=OFF -DKELVANE_NATIVE_CHECKS=ON
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR wine64)
