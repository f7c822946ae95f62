# Writes the resource script that embeds the patch archive as RCDATA 103,
# after checking that the file is an SZDD envelope or a plain "CF00" archive
# (the rule `vnpatch stamp` applies too). Without OUT: the check alone.
#   cmake -DARCHIVE=<file> [-DOUT=<rc file>] -P payload_rc.cmake
if(NOT EXISTS "${ARCHIVE}")
    message(FATAL_ERROR "Patch archive not found: ${ARCHIVE}")
endif()
file(READ "${ARCHIVE}" head LIMIT 4 HEX)
if(NOT head STREQUAL "535a4444" AND NOT head STREQUAL "43463030")
    message(FATAL_ERROR "Refusing to embed ${ARCHIVE}: a patch archive begins with \"SZDD\" "
                        "(compressed) or \"CF00\" (plain), this file begins with hex '${head}'")
endif()
if(NOT OUT)
    return()
endif()
set(text "// Generated: the embedded patch archive.\nLANGUAGE 0x11, 0x01\n103 RCDATA \"${ARCHIVE}\"\n")
if(EXISTS "${OUT}")
    file(READ "${OUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
    file(WRITE "${OUT}" "${text}")
endif()
