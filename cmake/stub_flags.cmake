# Size-first code generation for everything that goes into the stub: no exceptions, RTTI,
# unwind tables or stack protector, each function in its own section so unused ones drop out.
function(vt_size_flags target)
  target_compile_options(${target} PRIVATE
    -Os -fno-exceptions -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fdata-sections -fno-stack-protector -fno-ident
    -fno-stack-check -mpreferred-stack-boundary=2 -fomit-frame-pointer
    $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti -fno-threadsafe-statics>)
endfunction()
