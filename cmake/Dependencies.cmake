# mbedTLS 3.6 (static, threading on) and jsmn (header only).
# scripts/setup.sh provides them: the system's own mbedTLS when it is 3.6 or
# newer, else Debian's next-release packages unpacked under third_party/.
# The Windows cross build (cmake/mingw-w64.cmake) finds its own, cross-built
# by scripts/build-windows.sh, in the toolchain's CMAKE_FIND_ROOT_PATH.
find_package(Threads REQUIRED)

if(CMAKE_CROSSCOMPILING)
  find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h)
  foreach(_lib mbedtls mbedx509 mbedcrypto)
    find_library(MBEDTLS_${_lib}_A NAMES lib${_lib}.a)
    if(NOT MBEDTLS_${_lib}_A)
      message(FATAL_ERROR "lib${_lib}.a not found: run scripts/build-windows.sh deps")
    endif()
  endforeach()
  if(NOT MBEDTLS_INCLUDE_DIR)
    message(FATAL_ERROR "mbedTLS headers not found: run scripts/build-windows.sh deps")
  endif()
else()  # Linux, as scripts/setup.sh leaves it
set(_mbedtls_local ${CMAKE_SOURCE_DIR}/third_party/mbedtls/usr)
find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h
  HINTS ${_mbedtls_local}/include NO_DEFAULT_PATH)
if(NOT MBEDTLS_INCLUDE_DIR)
  find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h)
endif()
get_filename_component(_mbedtls_prefix ${MBEDTLS_INCLUDE_DIR} DIRECTORY)
foreach(_lib mbedtls mbedx509 mbedcrypto)
  find_library(MBEDTLS_${_lib}_A NAMES lib${_lib}.a
    HINTS ${_mbedtls_prefix}/lib ${_mbedtls_prefix}/lib/${CMAKE_LIBRARY_ARCHITECTURE}
    NO_DEFAULT_PATH)
  if(NOT MBEDTLS_${_lib}_A)
    message(FATAL_ERROR "lib${_lib}.a not found: run scripts/setup.sh")
  endif()
endforeach()
endif()

file(STRINGS ${MBEDTLS_INCLUDE_DIR}/mbedtls/build_info.h _mbedtls_version
     REGEX "#define MBEDTLS_VERSION_STRING ")
if(NOT _mbedtls_version MATCHES "\"3\\.([6-9]|[1-9][0-9])")
  message(FATAL_ERROR "mbedTLS 3.6 or newer needed, found ${_mbedtls_version}: run scripts/setup.sh")
endif()

# The library shares mbedTLS objects between threads: mbedTLS must lock them
# itself. Asked of mbedTLS's own configuration (build_info.h reads the config
# header, or the one MBEDTLS_CONFIG_FILE names), not of a copy of our own.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_INCLUDES ${MBEDTLS_INCLUDE_DIR})
set(CMAKE_REQUIRED_QUIET ON)
unset(VELKOR_MBEDTLS_THREADING CACHE)  # asked again at every configure
check_cxx_source_compiles([[
#include <mbedtls/build_info.h>
#if !defined(MBEDTLS_THREADING_C) || !defined(MBEDTLS_THREADING_PTHREAD)
#error "mbedTLS without MBEDTLS_THREADING_C and MBEDTLS_THREADING_PTHREAD"
#endif
int main() { return 0; }
]] VELKOR_MBEDTLS_THREADING)
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_QUIET)
if(NOT VELKOR_MBEDTLS_THREADING)
  message(FATAL_ERROR "The mbedTLS in ${MBEDTLS_INCLUDE_DIR} is configured without "
    "MBEDTLS_THREADING_C and MBEDTLS_THREADING_PTHREAD (or its headers do not "
    "compile): the library needs both. Use one built with threading on "
    "(scripts/setup.sh, or scripts/build-windows.sh deps for Windows).")
endif()

add_library(velkor::mbedtls INTERFACE IMPORTED)
set_target_properties(velkor::mbedtls PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${MBEDTLS_INCLUDE_DIR}
  INTERFACE_LINK_LIBRARIES
    "${MBEDTLS_mbedtls_A};${MBEDTLS_mbedx509_A};${MBEDTLS_mbedcrypto_A}")
if(WIN32)
  # mbedTLS's entropy source (BCryptGenRandom) and its socket layer.
  set_property(TARGET velkor::mbedtls APPEND PROPERTY
    INTERFACE_LINK_LIBRARIES bcrypt ws2_32)
endif()

find_path(JSMN_INCLUDE_DIR jsmn.h REQUIRED)
