// Starts a worker on a new thread through the runtime's thread start, with
// the default stack size and one pointer argument; the handle is not kept.
#pragma once

typedef void (*WorkerBody)(void* argument);

// False when no thread could be started.
bool StartWorkerThread(WorkerBody body, void* argument);
