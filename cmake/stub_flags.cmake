# Size-first code generation for everything that goes into the stub: no exceptions, RTTI,
# unwind tables or stack protector; each function in its own section so unused ones drop out.
# Data stays in one section per file: mingw gcc with -fdata-sections stores zero-filled
# variables in the file instead of in .bss.
function(vt_size_flags target)
  target_compile_options(${target} PRIVATE
    -Os -fno-exceptions -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fno-stack-protector -fno-ident -malign-data=abi
    -fno-stack-check -mpreferred-stack-boundary=2 -fomit-frame-pointer
    $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti -fno-threadsafe-statics>)
endfunction()
