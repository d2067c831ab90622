# Cross build for the router: 32-bit little-endian MIPS Linux, with Debian's
# g++-mipsel-linux-gnu. Test programs built this way run under qemu-mipsel
# (user-mode emulation, no binfmt_misc needed): ctest and test discovery
# prefix them with CMAKE_CROSSCOMPILING_EMULATOR, and the integration harness
# starts the daemon through the same command.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
# glibc's time_t is 32 bits on 32-bit MIPS unless asked for 64: without it
# the clock cannot be read from 2038 on. 64-bit time needs 64-bit file
# offsets, which also let readdir under user-mode emulation on a 64-bit
# host return ext4's 64-bit directory offsets (EOVERFLOW, an empty listing
# otherwise). The wire format's 32-bit seconds do not change.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# -L: the target's loader and libraries live in the cross sysroot.
# LD_LIBRARY_PATH: the loader searches the multiarch directories first, and
# once any :mipsel package is installed (libc6:mipsel comes with the TLS
# library) it would pair the sysroot's loader with that other libc build,
# which crashes at the first thread. The sysroot's libc must win.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "qemu-mipsel;-L;/usr/mipsel-linux-gnu;-E;LD_LIBRARY_PATH=/usr/mipsel-linux-gnu/lib")
