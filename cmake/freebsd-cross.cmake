# Cross-compiling for amd64 FreeBSD with clang from a Linux host, against a
# FreeBSD header tree. Compile only: there are no FreeBSD libraries to link
# against, so an executable's "link" leaves an empty marker file behind.
#
#   cmake -S . -B build/freebsd -G Ninja \
#       -DCMAKE_TOOLCHAIN_FILE=cmake/freebsd-cross.cmake -DVG_FREEBSD_SYSROOT=/path/to/sysroot
#
# VG_FREEBSD_SYSROOT (or the environment variable of that name) holds
# usr/include with FreeBSD's libc++ in usr/include/c++/v1; third-party headers
# go where FreeBSD's packages put them: usr/local/include, pkg-config files in
# usr/local/libdata/pkgconfig, CMake package files in usr/local/lib/cmake.
# VG_FREEBSD_TARGET and VG_CLANG choose the target triple and the compiler.

if(NOT DEFINED VG_FREEBSD_SYSROOT AND DEFINED ENV{VG_FREEBSD_SYSROOT})
  set(VG_FREEBSD_SYSROOT "$ENV{VG_FREEBSD_SYSROOT}")
endif()
if(NOT VG_FREEBSD_SYSROOT OR NOT EXISTS "${VG_FREEBSD_SYSROOT}/usr/include/sys/event.h")
  message(FATAL_ERROR "VG_FREEBSD_SYSROOT must name a FreeBSD header tree (usr/include/sys/event.h)")
endif()
if(NOT VG_FREEBSD_TARGET)
  set(VG_FREEBSD_TARGET x86_64-unknown-freebsd14.1)
endif()
if(NOT VG_CLANG)
  set(VG_CLANG clang-19)
endif()
# try_compile projects read this file again and need the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VG_FREEBSD_SYSROOT VG_FREEBSD_TARGET VG_CLANG)

set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_PROCESSOR amd64)
set(CMAKE_SYSROOT "${VG_FREEBSD_SYSROOT}")
string(REPLACE "clang" "clang++" _vg_clangxx "${VG_CLANG}")
set(CMAKE_C_COMPILER "${VG_CLANG}")
set(CMAKE_CXX_COMPILER "${_vg_clangxx}")
set(CMAKE_C_COMPILER_TARGET "${VG_FREEBSD_TARGET}")
set(CMAKE_CXX_COMPILER_TARGET "${VG_FREEBSD_TARGET}")
string(REPLACE "clang" "llvm-ar" _vg_ar "${VG_CLANG}")
string(REPLACE "clang" "llvm-ranlib" _vg_ranlib "${VG_CLANG}")
set(CMAKE_AR "${_vg_ar}")
set(CMAKE_RANLIB "${_vg_ranlib}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# FreeBSD's packages install CMake package files under /usr/local.
list(APPEND CMAKE_SYSTEM_PREFIX_PATH /usr/local)

# pkg-config must see the target's .pc files only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${VG_FREEBSD_SYSROOT}/usr/local/libdata/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${VG_FREEBSD_SYSROOT}")
unset(ENV{PKG_CONFIG_PATH})

set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_LINK_EXECUTABLE "<CMAKE_COMMAND> -E touch <TARGET>")
set(CMAKE_CXX_LINK_EXECUTABLE "<CMAKE_COMMAND> -E touch <TARGET>")
