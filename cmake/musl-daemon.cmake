# The daemon as the router runs it: linked against the router's shared musl
# (/lib/libc.so, loaded through the soft-float loader name OpenWrt uses),
# and a static variant of the same build for a machine without that loader.
# Both link with -nostdlib++: the daemon needs no C++ runtime, and a use of
# one fails the link instead of growing the binary.
#
# zig 0.11 links a dynamic program only when a shared object is among its
# inputs, and the libc.so link stub it makes itself lacks musl's 64-bit
# time symbols on 32-bit targets (__clock_gettime64, ...). So the stub is
# assembled here from zig's own list of musl's symbols, with the 32-bit
# ones switched on, and given to the link as that shared object.
get_filename_component(_zig_dir "${ADAPTER_ZIG}" DIRECTORY)
set(_stub_src "${_zig_dir}/lib/libc/musl/libc.S")
set(_stub "${CMAKE_BINARY_DIR}/musl-stub/libc-stub.so")
add_custom_command(OUTPUT "${_stub}"
  COMMAND "${ADAPTER_ZIG}" cc ${ADAPTER_ZIG_TARGET} -nostdlib -shared -Wl,-soname,libc.so
          -DPTR32 -DARCH_mips -x assembler-with-cpp "${_stub_src}" -o "${_stub}"
  DEPENDS "${_stub_src}"
  COMMENT "musl link stub for the router's libc.so"
  VERBATIM)
add_custom_target(musl-stub DEPENDS "${_stub}")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/musl-stub")

set(ADAPTER_MUSL_LOADER "/lib/ld-musl-mipsel-sf.so.1" CACHE STRING "Program interpreter of the dynamic daemon")
add_dependencies(adapterd musl-stub)
# A plain link input, so that no run path into the build tree is recorded.
target_link_options(adapterd PRIVATE -nostdlib++ "-Wl,-dynamic-linker,${ADAPTER_MUSL_LOADER}" "${_stub}")

add_executable(adapterd-static core/entry.cpp)
target_link_libraries(adapterd-static PRIVATE adapter)
target_link_options(adapterd-static PRIVATE -nostdlib++)
