# Cross-builds for s390x, a big-endian host, with Debian's
# g++-s390x-linux-gnu against a sysroot made by tools/make-s390x-sysroot:
#   cmake -S . -B build-s390x --toolchain cmake/s390x.cmake -DS390X_SYSROOT=/abs/dir
# (or S390X_SYSROOT in the environment). The C library and libstdc++ come
# from the cross toolchain in /usr/s390x-linux-gnu and the rest from the
# sysroot, so the sysroot is a find root, not CMAKE_SYSROOT: --sysroot would
# hide the toolchain's own start files and headers from the compiler.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)

if(NOT S390X_SYSROOT AND DEFINED ENV{S390X_SYSROOT})
  set(S390X_SYSROOT "$ENV{S390X_SYSROOT}")
endif()
if(NOT IS_ABSOLUTE "${S390X_SYSROOT}" OR NOT EXISTS "${S390X_SYSROOT}/.stamp")
  message(FATAL_ERROR "S390X_SYSROOT must name a folder made by tools/make-s390x-sysroot")
endif()
# Linker flags and pkg-config's output are split at blanks.
if(S390X_SYSROOT MATCHES "[ \t\n]")
  message(FATAL_ERROR "S390X_SYSROOT must not contain blanks: ${S390X_SYSROOT}")
endif()
set(S390X_SYSROOT "${S390X_SYSROOT}" CACHE PATH "s390x sysroot made by tools/make-s390x-sysroot")
# try_compile projects read this file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES S390X_SYSROOT)

set(CMAKE_FIND_ROOT_PATH "${S390X_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ld must find the libraries that the linked ones need in turn (libtiff's
# libjpeg, cfitsio's libcurl, ...), which no -L names.
set(_s390x_lib "${S390X_SYSROOT}/usr/lib/s390x-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_s390x_lib}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_s390x_lib}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_s390x_lib}")

# pkg-config (cfitsio) reads only the sysroot's .pc files and prefixes the
# paths they give.
set(ENV{PKG_CONFIG_LIBDIR} "${_s390x_lib}/pkgconfig:${S390X_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${S390X_SYSROOT}")
unset(ENV{PKG_CONFIG_PATH})

# The sysroot is a whole run-time root, so -L is all qemu needs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L "${S390X_SYSROOT}")
