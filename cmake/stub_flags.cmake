# Size-first code generation for everything that goes into the stub: no exceptions, RTTI,
# unwind tables or stack protector; each function in its own section so unused ones drop out.
# Data stays in one section per file: mingw gcc with -fdata-sections stores zero-filled
# variables in the file instead of in .bss.
function(vt_size_flags target)
  target_compile_options(${target} PRIVATE
    -Os -fno-exceptions -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fno-stack-protector -fno-ident -malign-data=abi
    -fno-stack-check -fomit-frame-pointer
    $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti -fno-threadsafe-statics>)
  # 4-byte stack alignment is the i386 Windows ABI's own; x86-64 requires 16.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_compile_options(${target} PRIVATE -mpreferred-stack-boundary=2)
  endif()
endfunction()

# The flags of a library (or the program) that is part of the stub: size first, and linked
# with link-time optimisation. Pushing call arguments is far shorter than storing them into a
# preallocated outgoing area, which mingw uses by default because its stack probes need it. No
# stub function has a frame near the 4 KB guard page, so the probes can go; the frame limit
# makes the build say so.
function(vt_stub_part target)
  vt_size_flags(${target})
  target_compile_options(${target} PRIVATE -mno-accumulate-outgoing-args
    -mno-stack-arg-probe -Werror=frame-larger-than=4000 -flto -ffat-lto-objects)
endfunction()
