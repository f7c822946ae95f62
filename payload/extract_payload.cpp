#include "payload/extract_payload.h"

#include <windows.h>

#include <cstring>

#include "fileutil/fileutil.h"
#include "payload/phase_state.h"

bool MakeTempFileName(char* path) {
    char directory[kPathSize];
    DWORD length = GetTempPathA(kPathSize, directory);
    if (length == 0 || length >= static_cast<DWORD>(kPathSize)) {
        return false;
    }
    if (GetTempFileNameA(directory, "vnp", 0, path) == 0) {
        // Whatever name was tried is not ours: the worker deletes the path
        // it is left with.
        path[0] = '\0';
        return false;
    }
    return true;
}

bool CopyResourceToFile(HMODULE module, int32_t resourceId, const char* path) {
    HRSRC resource =
        FindResourceA(module, MAKEINTRESOURCEA(resourceId & 0xFFFF), MAKEINTRESOURCEA(10));
    if (resource == nullptr) {
        return false;
    }
    DWORD size = SizeofResource(module, resource);
    HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == nullptr) {
        return false;
    }
    const void* bytes = LockResource(loaded);
    if (bytes == nullptr) {
        return false;
    }
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Straight from the loaded image in one call. A short count is a failed
    // write too: some file systems (Wine's on a full disk among them) report
    // success for the part that fitted, which would leave a cut archive.
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes, size, &written, nullptr);
    CloseHandle(file);
    return ok != FALSE && written == size;
}

namespace {

void Report(const ExtractJob* job, ExtractFailure failure) {
    if (job->report != nullptr) {
        job->report(failure);
    }
}

} // namespace

bool ExtractPayload(const ExtractJob* job) {
    if (!MakeTempFileName(job->path)) {
        Report(job, ExtractFailureTempFile);
        return false;
    }
    if (!CopyResourceToFile(job->module, job->resourceId, job->path)) {
        Report(job, ExtractFailureCopy);
        return false;
    }
    return true;
}

void ExtractWorker(void* argument) {
    const ExtractJob* job = static_cast<const ExtractJob*>(argument);
    char* path = job->path;
    std::memset(path, 0, kPathSize);
    if (ExtractPayload(job)) {
        PublishStatus(&ExtractStatus, kStatusDone);
        return;
    }
    DeleteFileForced(path);
    PublishStatus(&ExtractStatus, kStatusFailed);
}
