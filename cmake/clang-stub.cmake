# Cross build of the stub alone with clang and lld, which each Windows tree runs as a build of
# its own (installer/CMakeLists.txt), for the processor of that tree's mingw-w64 (its
# VANTREL_STUB_TARGET): lld writes base relocations for these targets and links the
# link-time-optimised stub, where ld 2.40 crashes; clang reads Debian's mingw-w64 headers and
# import libraries. The rest of each Windows tree stays with mingw-w64's gcc.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTREL_STUB_TARGET)
set(TOOL_PREFIX ${VANTREL_STUB_TARGET})
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${TOOL_PREFIX})
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TOOL_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOL_PREFIX})
set(CMAKE_RC_COMPILER ${TOOL_PREFIX}-windres)
# libgcc (compiler helpers) comes from mingw-w64's gcc, which clang does not look in.
execute_process(COMMAND ${TOOL_PREFIX}-gcc-posix -print-libgcc-file-name
  OUTPUT_VARIABLE vt_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(vt_libgcc_dir "${vt_libgcc}" DIRECTORY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${vt_libgcc_dir}")
set(CMAKE_FIND_ROOT_PATH /usr/${TOOL_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
