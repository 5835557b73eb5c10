# mbedTLS 3.6 (static, threading on) and jsmn (header only).
# scripts/setup.sh provides them: the system's own mbedTLS when it is 3.6 or
# newer, else Debian's next-release packages unpacked under third_party/.
find_package(Threads REQUIRED)

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

file(STRINGS ${MBEDTLS_INCLUDE_DIR}/mbedtls/build_info.h _mbedtls_version
     REGEX "#define MBEDTLS_VERSION_STRING ")
if(NOT _mbedtls_version MATCHES "\"3\\.([6-9]|[1-9][0-9])")
  message(FATAL_ERROR "mbedTLS 3.6 or newer needed, found ${_mbedtls_version}: run scripts/setup.sh")
endif()

add_library(velkor::mbedtls INTERFACE IMPORTED)
set_target_properties(velkor::mbedtls PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${MBEDTLS_INCLUDE_DIR}
  INTERFACE_LINK_LIBRARIES
    "${MBEDTLS_mbedtls_A};${MBEDTLS_mbedx509_A};${MBEDTLS_mbedcrypto_A}")

find_path(JSMN_INCLUDE_DIR jsmn.h REQUIRED)
