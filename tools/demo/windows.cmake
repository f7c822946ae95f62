# Included by the Windows build: builds the demo generator for the build
# machine, generates the demo archive (plain, then SZDD) and the sample main
# executables VRNL.exe with their version records.
#
# Sets VARNELO_DEMO_TOOL, VARNELO_DEMO_ARCHIVE, VARNELO_DEMO_DIR and the
# target varnelo_demo_tool.
set(VARNELO_DEMO_DIR ${CMAKE_BINARY_DIR}/demo)
set(host_build ${CMAKE_BINARY_DIR}/host-demo)
set(VARNELO_DEMO_TOOL ${host_build}/varnelo_demo)

# Configured now with the host compiler; built (or brought up to date) with
# every build.
if(NOT EXISTS ${host_build}/CMakeCache.txt)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env --unset=CC --unset=CXX
                ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR}/tools/demo -B ${host_build}
                -G ${CMAKE_GENERATOR} -DCMAKE_BUILD_TYPE=Release
        RESULT_VARIABLE host_ok OUTPUT_QUIET)
    if(NOT host_ok EQUAL 0)
        message(FATAL_ERROR "Could not configure the host demo generator in ${host_build}")
    endif()
endif()
add_custom_target(varnelo_demo_tool
    COMMAND ${CMAKE_COMMAND} --build ${host_build}
    BYPRODUCTS ${VARNELO_DEMO_TOOL}
    COMMENT "Building the demo generator for the build machine")

find_program(MSCOMPRESS mscompress REQUIRED)

# Generates a plain archive with varnelo_demo and its SZDD envelope.
#   varnelo_demo_archive(<output .szdd> [demo options...])
function(varnelo_demo_archive output)
    set(plain ${output}.cf00)
    add_custom_command(OUTPUT ${plain}
        COMMAND ${VARNELO_DEMO_TOOL} archive ${plain} ${ARGN}
        DEPENDS varnelo_demo_tool ${VARNELO_DEMO_TOOL}
        COMMENT "Generating the demo patch archive ${plain}")
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DIN=${plain} -DOUT=${output} -DMSCOMPRESS=${MSCOMPRESS}
                -P ${PROJECT_SOURCE_DIR}/tools/demo/compress_szdd.cmake
        DEPENDS ${plain} ${PROJECT_SOURCE_DIR}/tools/demo/compress_szdd.cmake
        COMMENT "Compressing ${plain} to SZDD")
endfunction()

set(VARNELO_DEMO_ARCHIVE ${VARNELO_DEMO_DIR}/demo_archive.szdd)
varnelo_demo_archive(${VARNELO_DEMO_ARCHIVE})

# Sample main executables: one with each version record, one without.
foreach(version 1.0.5.2 1.1.0.0 1.1.0.3 2.0.0.0)
    string(REPLACE "." "_" tag ${version})
    string(REPLACE "." "," VRNL_VERSION_COMMAS ${version})
    set(VRNL_VERSION ${version})
    configure_file(${PROJECT_SOURCE_DIR}/tools/demo/vrnl/vrnl_version.rc.in
                   ${VARNELO_DEMO_DIR}/vrnl_${tag}.rc @ONLY)
    add_executable(vrnl_${tag} WIN32 ${PROJECT_SOURCE_DIR}/tools/demo/vrnl/vrnl_main.cpp
                   ${VARNELO_DEMO_DIR}/vrnl_${tag}.rc)
    set_target_properties(vrnl_${tag} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VARNELO_DEMO_DIR})
endforeach()
add_executable(vrnl_noversion WIN32 ${PROJECT_SOURCE_DIR}/tools/demo/vrnl/vrnl_main.cpp)
set_target_properties(vrnl_noversion PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VARNELO_DEMO_DIR})
add_custom_target(varnelo_demo_files ALL DEPENDS ${VARNELO_DEMO_ARCHIVE})
