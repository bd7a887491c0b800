# SPDX-License-Identifier: MIT
# Cross build for the board: 32-bit ARM, hard-float EABI (Debian's armhf).
#
#   cmake -S . -B build-armhf --toolchain cmake/toolchains/armhf.cmake
#
# On Debian the compilers come from crossbuild-essential-armhf and the target
# libraries (FreeType) from the :armhf packages after `dpkg --add-architecture
# armhf`. Debian has no separate sysroot: the cross compiler already searches
# the multiarch directories /usr/include/arm-linux-gnueabihf and
# /usr/lib/arm-linux-gnueabihf, so only CMake's own find_* calls need to be
# told which multiarch directory to use.
#
# Another toolchain with the same triple (Yocto, Buildroot or a vendor SDK)
# can be used by setting UPDATER_CROSS_TRIPLE / UPDATER_CROSS_SYSROOT, or by
# using that build system's own toolchain file instead of this one: nothing
# else in the project refers to the host.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(UPDATER_CROSS_TRIPLE "arm-linux-gnueabihf" CACHE STRING "GNU triple of the cross compiler")
set(UPDATER_CROSS_SYSROOT "" CACHE PATH "Target sysroot (empty for Debian multiarch)")

# try_compile() projects re-read this file without the cache: pass the two
# settings through to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPDATER_CROSS_TRIPLE UPDATER_CROSS_SYSROOT)

set(CMAKE_C_COMPILER "${UPDATER_CROSS_TRIPLE}-gcc")
set(CMAKE_CXX_COMPILER "${UPDATER_CROSS_TRIPLE}-g++")
set(CMAKE_LIBRARY_ARCHITECTURE "${UPDATER_CROSS_TRIPLE}")

if(UPDATER_CROSS_SYSROOT)
  set(CMAKE_SYSROOT "${UPDATER_CROSS_SYSROOT}")
  set(CMAKE_FIND_ROOT_PATH "${UPDATER_CROSS_SYSROOT}")
else()
  # Multiarch: the target's files live under / beside the host's, in the
  # triple's own subdirectories, which CMAKE_LIBRARY_ARCHITECTURE selects.
  set(CMAKE_FIND_ROOT_PATH "/")
  # Never let a host library satisfy a target search.
  list(APPEND CMAKE_IGNORE_PATH
    "/usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu"
    "/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu")
  list(REMOVE_DUPLICATES CMAKE_IGNORE_PATH)
endif()

# pkg-config (asked only for a static link against the SDK's FreeType) must
# read the target's .pc files, never the host's.
if(UPDATER_CROSS_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${UPDATER_CROSS_SYSROOT}")
  set(ENV{PKG_CONFIG_LIBDIR} "${UPDATER_CROSS_SYSROOT}/usr/lib/pkgconfig:${UPDATER_CROSS_SYSROOT}/usr/share/pkgconfig")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${UPDATER_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
endif()

# Programs (code generators, strip) are the host's; headers and libraries are
# the target's only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No cross emulator is configured on purpose: nothing the build runs may
# depend on executing target code on the build machine.
