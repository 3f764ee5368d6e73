# Cross build of the 32-bit stub alone with clang and lld, which the windows tree runs as a
# build of its own (installer/CMakeLists.txt): lld writes base relocations for this target and
# links the link-time-optimised stub, where ld 2.40 crashes; clang reads Debian's mingw-w64
# headers and import libraries. The rest of the windows tree stays with mingw-w64's gcc.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOL_PREFIX i686-w64-mingw32)
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
