# Cross build of the same sources for 64-bit Windows, for testing only: the
# release tool's --arch x86_64, and the 64-bit side of the code where a
# change needs it checked. What ships is the i686 build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
