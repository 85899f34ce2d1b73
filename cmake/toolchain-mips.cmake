# SPDX-License-Identifier: ISC
# The target: 32-bit big-endian MIPS Linux, with Debian's cross compilers
# and the sysroot scripts/cross-mips.sh builds (its path printed on the last
# line). Programs and tests run under qemu-user:
#   cmake -S . -B build-mips -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mips.cmake \
#     -DEO_MIPS_SYSROOT=$(scripts/cross-mips.sh)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

if(NOT EO_MIPS_SYSROOT AND DEFINED ENV{EO_MIPS_SYSROOT})
  set(EO_MIPS_SYSROOT $ENV{EO_MIPS_SYSROOT})
endif()
if(NOT EO_MIPS_SYSROOT OR NOT EXISTS ${EO_MIPS_SYSROOT}/.complete)
  message(FATAL_ERROR "EO_MIPS_SYSROOT must name a sysroot made by scripts/cross-mips.sh")
endif()
set(EO_MIPS_SYSROOT ${EO_MIPS_SYSROOT} CACHE PATH "Target sysroot (scripts/cross-mips.sh)")
# try_compile projects read the toolchain file again and need the path too
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES EO_MIPS_SYSROOT)
# Child processes of the tests see it as well.
set(ENV{EO_MIPS_SYSROOT} ${EO_MIPS_SYSROOT})

# Libraries and headers: the sysroot's, then the cross C library's; the
# build's programs (pkg-config, the compilers) stay the host's.
set(CMAKE_FIND_ROOT_PATH ${EO_MIPS_SYSROOT} /usr/mips-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${EO_MIPS_SYSROOT}/usr/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The sysroot's libraries are found at run time through its /usr/lib (qemu
# looks up absolute paths under -L first); the build tree's through RPATH.
# qemu-user lacks the termios2 ioctls: the sysroot's /etc/ld.so.preload
# names a stand-in for them (scripts/target/termios2_shim.c).
find_program(EO_QEMU_MIPS qemu-mips-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${EO_QEMU_MIPS} -L ${EO_MIPS_SYSROOT})
