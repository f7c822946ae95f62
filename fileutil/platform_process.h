// Process-level services with one POSIX and one Win32 backend: worker
// threads, sleeping, terminal detection and 64-bit stream positions.
#pragma once

#include <cstdint>
#include <cstdio>

typedef void (*PlatformThreadBody)(void* argument);

// Runs body(argument) on a new detached thread with the default stack size
// (Win32: the runtime's _beginthread). False when no thread could be started.
bool PlatformStartThread(PlatformThreadBody body, void* argument);
// Suspends the calling thread for about that many milliseconds.
void PlatformSleepMilliseconds(int32_t milliseconds);
// True when the stream is attached to a terminal (a console on Win32).
bool PlatformIsTerminal(FILE* stream);
// The stream's position, -1 on failure; beyond 2 GiB as well.
int64_t PlatformTell64(FILE* stream);
// Moves the stream to offset from origin (SEEK_SET, SEEK_CUR, SEEK_END).
bool PlatformSeek64(FILE* stream, int64_t offset, int origin);
