# Size-first code generation for everything that goes into the stub: no exceptions, RTTI,
# unwind tables or stack protector; each function in its own section so unused ones drop out.
# Data stays in one section per file: mingw gcc with -fdata-sections stores zero-filled
# variables in the file instead of in .bss.
function(vt_size_flags target)
  target_compile_options(${target} PRIVATE
    -fno-exceptions -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fno-stack-protector -fno-ident
    -fno-stack-check -fomit-frame-pointer
    $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti -fno-threadsafe-statics>)
  # clang's -Oz is its smallest code; gcc's smallest is -Os. mingw-w64's stdlib.h declares
  # exit and atexit before process/runtime.h adds dllimport, which clang would warn about.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE -Oz -Wno-dll-attribute-on-redeclaration)
  else()
    target_compile_options(${target} PRIVATE -Os -malign-data=abi)
  endif()
  # 4-byte stack alignment is the i386 Windows ABI's own; x86-64 requires 16.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      target_compile_options(${target} PRIVATE -mstack-alignment=4)
    else()
      target_compile_options(${target} PRIVATE -mpreferred-stack-boundary=2)
    endif()
  endif()
endfunction()

# The flags of a library (or the program) that is part of the stub: size first, and linked
# with link-time optimisation. Pushing call arguments is far shorter than storing them into a
# preallocated outgoing area, which mingw gcc uses by default because its stack probes need it
# (clang pushes them at -Oz by itself). No stub function has a frame near the 4 KB guard page,
# so the probes can go; the frame limit makes the build say so. With clang the limit travels
# with each function to the code generation at link time, where lld reports it as a warning,
# which the stub's link makes fatal (installer/CMakeLists.txt). A switch is compare-and-branch
# code, not a table of addresses: the stub pays for each entry twice, in data and, with ASLR, in
# relocations.
function(vt_stub_part target)
  vt_size_flags(${target})
  target_compile_options(${target} PRIVATE -mno-stack-arg-probe -flto)
  # The stub has no runtime start-up, so static constructors would never run: clang refuses
  # them at compile time.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE -Wframe-larger-than=4000 -fno-jump-tables
      $<$<COMPILE_LANGUAGE:CXX>:-Werror=global-constructors>)
  else()
    target_compile_options(${target} PRIVATE -mno-accumulate-outgoing-args
      -Werror=frame-larger-than=4000 -ffat-lto-objects)
  endif()
endfunction()
