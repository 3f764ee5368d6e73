# Cross build for 64-bit Windows: the same sources as the win64 test tier, for machines whose
# kernel runs no 32-bit programs, and so no 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOL_PREFIX x86_64-w64-mingw32)
set(VANTREL_WINE_TIER win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
