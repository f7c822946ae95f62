#include "payload/worker_thread.h"

#include "fileutil/platform_process.h"

bool StartWorkerThread(WorkerBody body, void* argument) {
    return PlatformStartThread(body, argument);
}
