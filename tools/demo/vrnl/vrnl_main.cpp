// Stand-in for the simulator's main executable: only its version record
// matters to the updater.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return 0;
}
