# Cross build for 32-bit Windows (i686) with MinGW-w64: the updater must start
# on 32-bit Windows too, and on 64-bit Windows it then reads the same
# (WoW64) registry view as the game's own 32-bit installer wrote. Tests run
# under Wine's WoW64, in the i386 lane (emulated where the kernel runs no
# 32-bit programs).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/i386-lane.sh
                                  ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
