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

  # The stub's decompressor, from patched copies of bzlib.c and decompress.c in the build tree.
  # Its CRC table is filled at run time (installer/bzip2_tables.c), so it takes no room in the
  # file. Randomised blocks, which no bzip2 since 0.9.5 writes and `vantrel pack` never writes,
  # are a data error, so the 2 KB table of random numbers and the code applying it drop out.
  # The stub always decompresses in fast mode (small = 0), so the small-memory decoder goes too.
  set(stub_bzip2_dir "${CMAKE_BINARY_DIR}/_deps/bzip2_stub")
  function(vt_bzip2_replace var from to)
    string(FIND "${${var}}" "${from}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "bzip2 sources changed: '${from}' not found (cmake/bzip2.cmake)")
    endif()
    string(REPLACE "${from}" "${to}" text "${${var}}")
    set(${var} "${text}" PARENT_SCOPE)
  endfunction()
  foreach(name bzlib.c decompress.c)
    file(READ "${VANTREL_BZIP2_DIR}/${name}" text)
    vt_bzip2_replace(text "if (s->blockRandomised) {" "if (0) {")
    vt_bzip2_replace(text "if (s->smallDecompress)" "if (0)")
    if(name STREQUAL "decompress.c")
      vt_bzip2_replace(text "GET_BITS(BZ_X_RANDBIT, s->blockRandomised, 1);"
        "GET_BITS(BZ_X_RANDBIT, s->blockRandomised, 1); if (s->blockRandomised) RETURN(BZ_DATA_ERROR);")
    endif()
    set(old "")
    if(EXISTS "${stub_bzip2_dir}/${name}")
      file(READ "${stub_bzip2_dir}/${name}" old)
    endif()
    if(NOT old STREQUAL text)
      file(WRITE "${stub_bzip2_dir}/${name}" "${text}")
    endif()
  endforeach()
  add_library(vt_bzip2_stub STATIC
    ${VANTREL_BZIP2_DIR}/blocksort.c ${stub_bzip2_dir}/bzlib.c
    ${VANTREL_BZIP2_DIR}/compress.c ${stub_bzip2_dir}/decompress.c
    ${VANTREL_BZIP2_DIR}/huffman.c ${PROJECT_SOURCE_DIR}/installer/bzip2_tables.c)
  target_include_directories(vt_bzip2_stub SYSTEM PUBLIC ${VANTREL_BZIP2_DIR})
  target_include_directories(vt_bzip2_stub PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(vt_bzip2_stub PUBLIC BZ_NO_STDIO)
  target_compile_options(vt_bzip2_stub PRIVATE -w)
  vt_size_flags(vt_bzip2_stub)
else()
  find_package(BZip2 REQUIRED)
  add_library(vt_bzip2 INTERFACE)
  target_link_libraries(vt_bzip2 INTERFACE BZip2::BZip2)
endif()
