# Included by the Windows build: the build machine's own tools (the demo
# generator and vnpatch) from a host build of this same project, the demo
# archive (plain, then SZDD), and the sample main executables VRNL.exe with
# their version records.
#
# VARNELO_HOST_BUILD names a configured native build of this source to take
# the tools from (scripts/test.sh passes the native preset's, the release its
# own); without it the Windows build configures one in host/ and builds only
# the two tools there.
#
# Sets VARNELO_HOST_DIR, VARNELO_DEMO_TOOL, VARNELO_HOST_VNPATCH, VARNELO_DEMO_ARCHIVE,
# VARNELO_DEMO_DIR and the target varnelo_demo_tool, which brings both tools
# up to date.
set(VARNELO_HOST_BUILD "" CACHE PATH "A native build of this source whose varnelo_demo and vnpatch the Windows build runs")
set(VARNELO_DEMO_DIR ${CMAKE_BINARY_DIR}/demo)
if(VARNELO_HOST_BUILD)
    set(host_build ${VARNELO_HOST_BUILD})
    if(NOT EXISTS ${host_build}/CMakeCache.txt)
        message(FATAL_ERROR "VARNELO_HOST_BUILD: ${host_build} is not a configured build")
    endif()
else()
    set(host_build ${CMAKE_BINARY_DIR}/host)
    if(NOT EXISTS ${host_build}/CMakeCache.txt)
        # The same flags as the native preset, so that a compiler cache serves
        # the shared sources from there.
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env --unset=CC --unset=CXX
                    ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR} -B ${host_build}
                    -G ${CMAKE_GENERATOR} -DCMAKE_BUILD_TYPE=Release
                    -DVARNELO_TESTS=OFF -DVARNELO_BENCH=OFF
            RESULT_VARIABLE host_ok OUTPUT_QUIET)
        if(NOT host_ok EQUAL 0)
            message(FATAL_ERROR "Could not configure the host tools in ${host_build}")
        endif()
    endif()
endif()
set(VARNELO_HOST_DIR ${host_build})
set(VARNELO_DEMO_TOOL ${host_build}/tools/demo/varnelo_demo)
set(VARNELO_HOST_VNPATCH ${host_build}/tools/vnpatch/vnpatch)
add_custom_target(varnelo_demo_tool
    COMMAND ${CMAKE_COMMAND} --build ${host_build} --target varnelo_demo vnpatch
    BYPRODUCTS ${VARNELO_DEMO_TOOL} ${VARNELO_HOST_VNPATCH}
    COMMENT "Building the demo generator and vnpatch for the build machine")

# Generates a plain archive with varnelo_demo and its SZDD envelope with
# vnpatch compress, as a release makes it.
#   varnelo_demo_archive(<output .szdd> [demo options...])
function(varnelo_demo_archive output)
    set(plain ${output}.cf00)
    add_custom_command(OUTPUT ${plain}
        COMMAND ${VARNELO_DEMO_TOOL} archive ${plain} ${ARGN}
        DEPENDS varnelo_demo_tool ${VARNELO_DEMO_TOOL}
        COMMENT "Generating the demo patch archive ${plain}")
    add_custom_command(OUTPUT ${output}
        COMMAND ${VARNELO_HOST_VNPATCH} compress ${plain} ${output}
        DEPENDS ${plain} varnelo_demo_tool ${VARNELO_HOST_VNPATCH}
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
