# The server link over TLS, with mbedtls: ADAPTER_TLS=AUTO uses it where it
# is found, ON requires it, OFF leaves it out. A build without it is a full
# daemon that refuses --tls. The zig/musl build has no mbedtls for its
# target, so AUTO leaves it out there rather than find the host's.
set(ADAPTER_TLS AUTO CACHE STRING "TLS on the server link with mbedtls: AUTO, ON or OFF")
set_property(CACHE ADAPTER_TLS PROPERTY STRINGS AUTO ON OFF)

set(ADAPTER_HAVE_TLS 0)
if(ADAPTER_TLS STREQUAL "ON" OR (ADAPTER_TLS STREQUAL "AUTO" AND NOT ADAPTER_LIBC STREQUAL "musl"))
  # Debian's multiarch packages (libmbedtls-dev:mipsel) put the target's
  # libraries in /usr/lib/<triple> and share the headers in /usr/include,
  # outside a cross build's root path: looked at after the root path.
  set(tls_lib_paths "")
  set(tls_inc_paths "")
  if(CMAKE_CROSSCOMPILING)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE tls_triple
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(tls_triple)
      set(tls_lib_paths /usr/lib/${tls_triple})
      set(tls_inc_paths /usr/include)
    endif()
  endif()
  find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h)
  if(NOT MBEDTLS_INCLUDE_DIR AND tls_inc_paths)
    find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h PATHS ${tls_inc_paths} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  endif()
  foreach(lib mbedtls mbedx509 mbedcrypto)
    string(TOUPPER ${lib} var)
    find_library(${var}_LIBRARY ${lib})
    if(NOT ${var}_LIBRARY AND tls_lib_paths)
      find_library(${var}_LIBRARY ${lib} PATHS ${tls_lib_paths} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    endif()
  endforeach()
  if(MBEDTLS_INCLUDE_DIR AND MBEDTLS_LIBRARY AND MBEDX509_LIBRARY AND MBEDCRYPTO_LIBRARY)
    set(ADAPTER_HAVE_TLS 1)
    message(STATUS "TLS: mbedtls in ${MBEDTLS_INCLUDE_DIR}, ${MBEDTLS_LIBRARY}")
  elseif(ADAPTER_TLS STREQUAL "ON")
    message(FATAL_ERROR "ADAPTER_TLS=ON but mbedtls was not found (libmbedtls-dev)")
  else()
    message(STATUS "TLS: mbedtls not found, built without TLS")
  endif()
endif()

function(adapter_use_tls target)
  target_compile_definitions(${target} PUBLIC ADAPTER_HAVE_TLS=${ADAPTER_HAVE_TLS})
  if(ADAPTER_HAVE_TLS)
    target_include_directories(${target} SYSTEM PRIVATE ${MBEDTLS_INCLUDE_DIR})
    target_link_libraries(${target} PUBLIC ${MBEDTLS_LIBRARY} ${MBEDX509_LIBRARY} ${MBEDCRYPTO_LIBRARY})
  endif()
endfunction()
