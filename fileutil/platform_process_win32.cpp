#include "fileutil/platform_process.h"

#include <windows.h>

#include <io.h>
#include <process.h>

bool PlatformStartThread(PlatformThreadBody body, void* argument) {
    return _beginthread(body, 0, argument) != static_cast<uintptr_t>(-1);
}

void PlatformSleepMilliseconds(int32_t milliseconds) {
    Sleep(static_cast<DWORD>(milliseconds));
}

bool PlatformIsTerminal(FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

int64_t PlatformTell64(FILE* stream) {
    return _ftelli64(stream);
}

bool PlatformSeek64(FILE* stream, int64_t offset, int origin) {
    return _fseeki64(stream, offset, origin) == 0;
}
