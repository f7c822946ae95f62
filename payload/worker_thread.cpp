#include "payload/worker_thread.h"

#ifdef _WIN32
#include <process.h>

bool StartWorkerThread(WorkerBody body, void* argument) {
    return _beginthread(body, 0, argument) != static_cast<uintptr_t>(-1);
}
#else
#include <pthread.h>

#include <new>

namespace {

struct Start {
    WorkerBody body;
    void* argument;
};

void* Trampoline(void* raw) {
    Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    start.body(start.argument);
    return nullptr;
}

} // namespace

bool StartWorkerThread(WorkerBody body, void* argument) {
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
#endif
