#include "fileutil/platform_process.h"

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <new>

namespace {

struct Start {
    PlatformThreadBody body;
    void* argument;
};

void* Trampoline(void* raw) {
    Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    start.body(start.argument);
    return nullptr;
}

} // namespace

bool PlatformStartThread(PlatformThreadBody body, void* argument) {
    Start* start = new (std::nothrow) Start{body, argument};
    if (start == nullptr) {
        return false;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    bool started = pthread_create(&thread, &attributes, Trampoline, start) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        delete start;
    }
    return started;
}

void PlatformSleepMilliseconds(int32_t milliseconds) {
    usleep(static_cast<useconds_t>(milliseconds) * 1000);
}

bool PlatformIsTerminal(FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

int64_t PlatformTell64(FILE* stream) {
    return static_cast<int64_t>(ftello(stream));
}

bool PlatformSeek64(FILE* stream, int64_t offset, int origin) {
    return fseeko(stream, static_cast<off_t>(offset), origin) == 0;
}
