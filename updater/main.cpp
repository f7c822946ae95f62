// GUI entry point of varnelo_update.exe.
#include <windows.h>

#include "updater/update_flow.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return UpdaterMain(instance);
}
