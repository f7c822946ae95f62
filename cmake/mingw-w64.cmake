# What both MinGW-w64 cross builds share; the toolchain file that includes
# this sets CMAKE_SYSTEM_PROCESSOR and TOOLCHAIN_PREFIX first.
set(CMAKE_SYSTEM_NAME Windows)
# The posix thread model: libstdc++ then has std::mutex (GoogleTest needs it);
# winpthread links statically like the rest of the runtime. The updater links
# none of it (see cmake/lean.cmake).
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
