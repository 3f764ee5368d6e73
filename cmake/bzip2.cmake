# libbzip2: Debian's libbz2-dev natively; for Windows, compiled from Debian's bzip2 source
# package, unpacked into the build tree by scripts/fetch_bzip2.sh (never committed).
if(WIN32)
  set(VANTREL_BZIP2_DIR "${CMAKE_BINARY_DIR}/_deps/bzip2" CACHE PATH "bzip2 sources")
  if(NOT EXISTS "${VANTREL_BZIP2_DIR}/bzlib.h")
    execute_process(COMMAND bash "${CMAKE_SOURCE_DIR}/scripts/fetch_bzip2.sh" "${VANTREL_BZIP2_DIR}"
                    RESULT_VARIABLE fetch_result)
    if(NOT fetch_result EQUAL 0)
      message(FATAL_ERROR "could not unpack Debian's bzip2 source package")
    endif()
  endif()
  add_library(vt_bzip2 STATIC
    ${VANTREL_BZIP2_DIR}/blocksort.c ${VANTREL_BZIP2_DIR}/bzlib.c
    ${VANTREL_BZIP2_DIR}/compress.c ${VANTREL_BZIP2_DIR}/crctable.c
    ${VANTREL_BZIP2_DIR}/decompress.c
    ${VANTREL_BZIP2_DIR}/huffman.c ${VANTREL_BZIP2_DIR}/randtable.c)
  target_include_directories(vt_bzip2 SYSTEM PUBLIC ${VANTREL_BZIP2_DIR})
  target_compile_definitions(vt_bzip2 PUBLIC BZ_NO_STDIO)
  target_compile_options(vt_bzip2 PRIVATE -w)
  vt_size_flags(vt_bzip2)
else()
  find_package(BZip2 REQUIRED)
  add_library(vt_bzip2 INTERFACE)
  target_link_libraries(vt_bzip2 INTERFACE BZip2::BZip2)
endif()
