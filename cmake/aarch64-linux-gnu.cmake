# Cross-building for 64-bit ARM with Debian's aarch64 toolchain (g++-aarch64-linux-gnu)
# against the arm64 multiarch -dev packages:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Libraries and headers of the target come from the arm64 multiarch folders only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Test programs run under qemu-user with the arm64 loader and libraries of the multiarch
# packages (libc6:arm64). Not the cross toolchain's own copies under
# /usr/aarch64-linux-gnu: with those, starting a thread never returns under qemu.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
