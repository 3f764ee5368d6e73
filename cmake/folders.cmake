# Each folder is a library whose headers only its dependants see: a folder's headers are
# reachable as "folder/name.h" through a directory of the build tree that holds a link to that
# folder alone, and that directory is an include path only of the folder's library and of what
# links it. So an include across the dependency rule fails to compile.
#   vt_folder_headers(TARGET [PRIVATE]): the current source folder's headers for TARGET and, unless
#   PRIVATE, for everything that links it.
function(vt_folder_headers target)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(dir ${PROJECT_BINARY_DIR}/folders/${folder})
  if(NOT EXISTS ${dir}/${folder})
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${dir}/${folder} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  elseif(ARGV1 STREQUAL "PRIVATE")
    set(scope PRIVATE)
  else()
    set(scope PUBLIC)
  endif()
  target_include_directories(${target} ${scope} ${dir})
endfunction()
