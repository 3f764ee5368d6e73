# What `cmake --install` puts under the prefix, natively:
#   bin/vantrel
#   share/vantrel/vantrel_stub.exe               the 32-bit stub, built by the windows tree
#   share/man/man1/vantrel.1                     made from the tool's help texts at build time
#   share/bash-completion/completions/vantrel    likewise
# vantrel finds its stub as ../share/vantrel/vantrel_stub.exe from its own folder, so these
# folders are fixed rather than taken from GNUInstallDirs, and the tree can be moved whole.

# The native trees cannot build the stub: it comes from the windows tree beside this one
# (build/windows next to build/release or build/native), or from wherever this names.
get_filename_component(vt_sibling_stub "${PROJECT_BINARY_DIR}/../windows/vantrel_stub.exe"
                       ABSOLUTE)
set(VANTREL_STUB_EXE "${vt_sibling_stub}" CACHE FILEPATH
    "The stub that cmake --install puts in share/vantrel (built by the windows tree)")

# The manual page and the completion are printed by the tool itself from its help texts.
set(vt_manual ${PROJECT_BINARY_DIR}/doc/vantrel.1)
set(vt_completion ${PROJECT_BINARY_DIR}/doc/vantrel.bash-completion)
foreach(kind manual-page bash-completion)
  if(kind STREQUAL "manual-page")
    set(out ${vt_manual})
  else()
    set(out ${vt_completion})
  endif()
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:vantrel> -DARG=--print-${kind} -DOUT=${out}
            -P ${PROJECT_SOURCE_DIR}/cmake/tool_output.cmake
    DEPENDS vantrel ${PROJECT_SOURCE_DIR}/cmake/tool_output.cmake
    COMMENT "vantrel --print-${kind}")
endforeach()
add_custom_target(vantrel_docs ALL DEPENDS ${vt_manual} ${vt_completion})

# Checked first, so that an install without the stub leaves nothing behind.
install(CODE "
  if(NOT EXISTS \"${VANTREL_STUB_EXE}\")
    message(FATAL_ERROR \"no stub at ${VANTREL_STUB_EXE}: build the windows tree first \"
                        \"(scripts/build.sh windows), or set VANTREL_STUB_EXE to a stub\")
  endif()")
install(TARGETS vantrel RUNTIME DESTINATION bin)
install(FILES ${VANTREL_STUB_EXE} DESTINATION share/vantrel RENAME vantrel_stub.exe)
install(FILES ${vt_manual} DESTINATION share/man/man1)
install(FILES ${vt_completion} DESTINATION share/bash-completion/completions RENAME vantrel)
