# Cross-building the Windows programs with Debian's mingw-w64 (posix-threads g++, so that
# std::thread and std::mutex work). Everything is linked statically: the programs need
# only the DLLs every Windows has, and librtlsdr, which they load at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The C library's thread-safe POSIX calls (localtime_r) and M_PI are declared only on
# request.
set(CMAKE_CXX_FLAGS_INIT "-D_POSIX_THREAD_SAFE_FUNCTIONS -D_USE_MATH_DEFINES")

# Test programs run under Wine here.
find_program(RXIQ_WINE wine)
if(RXIQ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RXIQ_WINE})
endif()
