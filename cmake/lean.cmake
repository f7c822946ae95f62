# The updater's subsystems are plain procedural code that throws nothing and
# asks no type at run time. Built without exception and type tables, they
# pull in no C++ runtime, so varnelo_update.exe carries none. On Windows
# each function and datum gets its own section, so that the updater's link
# (--gc-sections) keeps only what it calls, and no unwind tables are made
# for code that never unwinds.
function(varnelo_lean target)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
    if(WIN32)
        target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections
                                                 -fno-asynchronous-unwind-tables)
    endif()
endfunction()
