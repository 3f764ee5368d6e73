# What both Windows toolchains share: Debian's mingw-w64 (posix threads flavour) for the
# processor the including file names (TOOL_PREFIX), with its test programs run under that
# tier's Wine prefix (VANTREL_WINE_TIER; see scripts/wine_env.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TOOL_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOL_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOL_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOL_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR env VANTREL_WINE_TIER=${VANTREL_WINE_TIER}
    ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine_run.sh)
# The stub itself: clang and lld (cmake/clang-stub.cmake).
set(VANTREL_STUB_TOOLCHAIN ${CMAKE_CURRENT_LIST_DIR}/clang-stub.cmake)
