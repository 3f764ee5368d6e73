# The stub: a windowed 32-bit ANSI program without the C runtime's start-up, padded to kStubSize.
add_executable(vantrel_stub WIN32
  startup.cpp startup_state.cpp work_dir.cpp extract_block.cpp bzip2_error.cpp main_loop.cpp
  ${PROJECT_SOURCE_DIR}/text/local_string.cpp ${PROJECT_SOURCE_DIR}/text/localise.cpp
  ${PROJECT_SOURCE_DIR}/chrome/background_window.cpp ${PROJECT_SOURCE_DIR}/chrome/about_box.cpp
  ${PROJECT_SOURCE_DIR}/chrome/splash_window.cpp ${PROJECT_SOURCE_DIR}/wizard/setup_wizard.cpp
  ${PROJECT_SOURCE_DIR}/wizard/welcome_page.cpp ${PROJECT_SOURCE_DIR}/wizard/licence_page.cpp
  ${PROJECT_SOURCE_DIR}/wizard/guide_page.cpp ${PROJECT_SOURCE_DIR}/wizard/destination_page.cpp
  ${PROJECT_SOURCE_DIR}/wizard/results_page.cpp ${PROJECT_SOURCE_DIR}/wizard/finish_page.cpp
  ${PROJECT_SOURCE_DIR}/wizard/processing_dialog.cpp ${PROJECT_SOURCE_DIR}/wizard/registry_value.cpp
  ${PROJECT_SOURCE_DIR}/resources/installer.rc)
vt_size_flags(vantrel_stub)
# Pushing call arguments is far shorter than storing them into a preallocated outgoing area,
# which mingw uses by default because its stack probes need it. No stub function has a frame
# near the 4 KB guard page, so the probes can go; the frame limit makes the build say so.
function(vt_stub_part_flags)
  foreach(stub_part ${ARGN})
    target_compile_options(${stub_part} PRIVATE -mno-accumulate-outgoing-args
      -mno-stack-arg-probe -Werror=frame-larger-than=4000 -flto -ffat-lto-objects)
  endforeach()
endfunction()
vt_stub_part_flags(vantrel_stub vt_text vt_payload vt_format vt_bzip2_stub)
# The patch engine is defined after this directory: its flags are set once it exists.
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL vt_stub_part_flags vt_patch)
target_include_directories(vantrel_stub PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(vantrel_stub PRIVATE vt_payload vt_text vt_format vt_bzip2_stub vt_patch)
set_target_properties(vantrel_stub PROPERTIES OUTPUT_NAME vantrel_stub_unpadded
  LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/stub.ld)
# The runtime comes from msvcrt.dll alone: atexit/exit for the exit handlers, and the memory
# and string routines libbzip2 calls. libgcc supplies compiler helpers such as stack probes.
target_link_options(vantrel_stub PRIVATE
  -flto -Os -nostdlib -nostartfiles -Wl,-e,_StubEntry@0 -s -Wl,--gc-sections
  -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/stub.ld
  -Wl,--disable-reloc-section -Wl,--no-insert-timestamp -Wl,--exclude-all-symbols
  -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0)
target_link_libraries(vantrel_stub PRIVATE
  comctl32 gdi32 user32 kernel32 advapi32 shell32 shlwapi imagehlp msvcrt gcc)

set(VANTREL_STUB "${CMAKE_BINARY_DIR}/vantrel_stub.exe" CACHE INTERNAL "the padded stub")
add_custom_command(TARGET vantrel_stub POST_BUILD
  COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/stub_size.py
          $<TARGET_FILE:vantrel_stub> ${VANTREL_STUB}
  COMMENT "Stub size breakdown")
