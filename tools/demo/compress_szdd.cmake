# SZDD envelope of a file with mscompress, which writes "<name>_" beside its
# input.   cmake -DIN=<file> -DOUT=<file> -DMSCOMPRESS=<program> -P compress_szdd.cmake
# Each output has a work folder of its own, so that archives can be made in
# parallel.
set(work "${OUT}.work")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")
file(COPY_FILE "${IN}" "${work}/archive")
execute_process(COMMAND "${MSCOMPRESS}" archive WORKING_DIRECTORY "${work}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT EXISTS "${work}/archive_")
    message(FATAL_ERROR "mscompress failed on ${IN}")
endif()
file(READ "${work}/archive_" head LIMIT 4 HEX)
if(NOT head STREQUAL "535a4444")
    message(FATAL_ERROR "mscompress did not write an SZDD file for ${IN}")
endif()
file(RENAME "${work}/archive_" "${OUT}")
file(REMOVE_RECURSE "${work}")
