# Cross build for Windows x86-64 with Debian's mingw-w64 (posix thread model)
# and Wine to run what is built. scripts/build-windows.sh prepares both:
#   scripts/build-windows.sh deps wine
#   cmake --preset windows      (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix variants: gcc 12's win32 thread model has no std::thread/std::mutex.
# cmake/mingw-w64-clang.cmake chooses clang first and includes this file.
set(VELKOR_MINGW_TRIPLE x86_64-w64-mingw32)
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_C_COMPILER ${VELKOR_MINGW_TRIPLE}-gcc-posix)
  set(CMAKE_CXX_COMPILER ${VELKOR_MINGW_TRIPLE}-g++-posix)
endif()
set(CMAKE_RC_COMPILER ${VELKOR_MINGW_TRIPLE}-windres)

# Cross-built mbedTLS, GoogleTest and jsmn (scripts/build-windows.sh deps).
# -DVELKOR_WIN_DEPS=DIR, or VELKOR_WIN_DEPS in the environment at the first
# configure, points elsewhere (e.g. one prefix shared by several checkouts);
# the choice is kept in the cache and handed on to try_compile projects.
if(NOT VELKOR_WIN_DEPS)
  if(DEFINED ENV{VELKOR_WIN_DEPS})
    set(VELKOR_WIN_DEPS "$ENV{VELKOR_WIN_DEPS}")
  else()
    get_filename_component(VELKOR_WIN_DEPS
      "${CMAKE_CURRENT_LIST_DIR}/../third_party/win64/prefix" ABSOLUTE)
  endif()
endif()
set(VELKOR_WIN_DEPS "${VELKOR_WIN_DEPS}" CACHE PATH
  "Prefix of the cross-built dependencies")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELKOR_WIN_DEPS)

# Libraries, headers and packages come only from the deps prefix and the
# mingw sysroot, never from the host's /usr; programs (python3, ...) from the
# host.
set(CMAKE_FIND_ROOT_PATH "${VELKOR_WIN_DEPS}" /usr/${VELKOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs (gtest_discover_tests, ctest, try_run) run under Wine through
# a launcher that keeps Wine headless in a private prefix.
get_filename_component(_velkor_wine_run
  "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_velkor_wine_run}")

# libgcc, libstdc++ and winpthreads linked in statically, so programs and the
# DLL depend on Windows' own DLLs only.
foreach(_kind EXE SHARED MODULE)
  string(APPEND CMAKE_${_kind}_LINKER_FLAGS_INIT " -static")
endforeach()
