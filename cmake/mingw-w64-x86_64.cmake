# Cross build of the same sources for 64-bit Windows, for testing only: on a
# machine whose kernel cannot run 32-bit programs, Wine cannot run the i686
# build, and the Windows tests run on this one under 64-bit Wine instead.
# What ships is the i686 build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
