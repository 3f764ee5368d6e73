# Runs TOOL ARG and writes its standard output to OUT, failing the build when TOOL fails:
#   cmake -DTOOL=... -DARG=... -DOUT=... -P tool_output.cmake
get_filename_component(dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND ${TOOL} ${ARG} OUTPUT_FILE ${OUT}.part RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUT}.part)
  message(FATAL_ERROR "${TOOL} ${ARG} failed: ${result}")
endif()
file(RENAME ${OUT}.part ${OUT})
