# Copies a mingw-w64 import library for the stub without what the stub never uses (run as
# cmake -P with IN, OUT, TAIL, OBJCOPY, AR and STRIP_CODE). Each function's member holds, beside
# its import entries, a 4-byte reference to the library's head (.idata$7), there only to pull
# the head into the link, and a jump to its function (.text) for callers without dllimport. lld
# keeps every non-COMDAT section of a member it links, so each costs the image its bytes and,
# with ASLR, a relocation. The link names the heads itself (installer/CMakeLists.txt). The tail
# member keeps its .idata$7: there it holds the library's name.
get_filename_component(work "${OUT}" DIRECTORY)
set(tail_dir "${work}/tail-${TAIL}")
set(sections -R .idata$7)
if(STRIP_CODE)
  list(APPEND sections -R .text)
endif()
execute_process(COMMAND ${OBJCOPY} ${sections} ${IN} ${OUT} COMMAND_ERROR_IS_FATAL ANY)
file(MAKE_DIRECTORY "${tail_dir}")
execute_process(COMMAND ${AR} x ${IN} ${TAIL} WORKING_DIRECTORY "${tail_dir}"
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${AR} r ${OUT} "${tail_dir}/${TAIL}" COMMAND_ERROR_IS_FATAL ANY)
