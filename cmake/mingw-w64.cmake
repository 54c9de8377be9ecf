# Cross-compiles for 64-bit Windows with mingw-w64:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Everything is linked statically so that the .exe runs on a bare Windows without any
# compiler runtime DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVEL_MINGW_TRIPLE x86_64-w64-mingw32)

# Debian ships each mingw compiler in two thread models. Only the posix one gives std::thread,
# std::mutex and friends; with -static its winpthread is linked in, so no extra DLL follows.
find_program(KORVEL_MINGW_CC NAMES ${KORVEL_MINGW_TRIPLE}-gcc-posix ${KORVEL_MINGW_TRIPLE}-gcc
             NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_program(KORVEL_MINGW_CXX NAMES ${KORVEL_MINGW_TRIPLE}-g++-posix ${KORVEL_MINGW_TRIPLE}-g++
             NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(CMAKE_C_COMPILER ${KORVEL_MINGW_CC})
set(CMAKE_CXX_COMPILER ${KORVEL_MINGW_CXX})
set(CMAKE_RC_COMPILER ${KORVEL_MINGW_TRIPLE}-windres)

# Libraries and headers come from the target's sysroot only; programs run on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KORVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
