# Cross build for 32-bit Windows: the product's stub and programs, the win32 test tier.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOL_PREFIX i686-w64-mingw32)
set(VANTREL_WINE_TIER win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
