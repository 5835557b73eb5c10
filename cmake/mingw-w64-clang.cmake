# Cross build for Windows x86-64 with Debian's clang and lld against the
# mingw-w64 runtime and gcc-mingw's libstdc++ (posix thread model): like
# cmake/mingw-w64.cmake, but each program and DLL gets a PDB, the debug
# information Windows debuggers read (GNU ld writes none).
#   cmake --preset windows      (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-clang.cmake)
set(VELKOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${VELKOR_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${VELKOR_MINGW_TRIPLE})
# Keeps the host's /usr/include out of the search.
set(CMAKE_SYSROOT /usr/${VELKOR_MINGW_TRIPLE})

# Clang does not find gcc-mingw's C++ library by itself.
set(_velkor_gcc /usr/lib/gcc/${VELKOR_MINGW_TRIPLE}/12-posix)
# -gcodeview: CodeView, which goes into the PDB, rather than DWARF.
# Thread-locals are clang's native ones. gcc's (libstdc++'s) are emulated;
# -femulated-tls would match them, but clang 14's CodeView then refers to
# each thread_local by a symbol emulated TLS never defines, and the link
# fails. libstdc++ keeps its own to itself, except std::call_once's: code
# using that fails to link (undefined std::__once_callable), so a mismatch
# cannot go unnoticed.
set(CMAKE_C_FLAGS_INIT "-gcodeview")
set(CMAKE_CXX_FLAGS_INIT "-gcodeview")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
  ${_velkor_gcc}/include/c++ ${_velkor_gcc}/include/c++/${VELKOR_MINGW_TRIPLE})
# libstdc++'s exception pool needs winpthreads, which gcc's driver adds and
# clang's does not; lld finds it whatever its place on the line.
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-lpthread")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-lpthread")
# --pdb= with no name: NAME.pdb beside NAME.dll or NAME.exe. The binary
# names its PDB by file name only (%_PDB%), not by the build folder's path.
# CMake repeats the compile flags when linking, where clang finds -gcodeview
# unused and would say so at every link.
foreach(_kind EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${_velkor_gcc} \
-Wl,--pdb= -Wl,--Xlink=-pdbaltpath:%_PDB% -Wno-unused-command-line-argument")
endforeach()

# The rest (Windows, the deps prefix, the search roots, Wine, -static) as
# for gcc.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
