// Win32 backend: the system's own calls.
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileutil/platform_backend.h"

namespace {

void CopyFindData(const WIN32_FIND_DATAA& found, PlatformFindData* data) {
    std::memcpy(data->name, found.cFileName, sizeof data->name);
    data->name[sizeof data->name - 1] = '\0';
    data->attributes = found.dwFileAttributes;
}

// Virus scanners and the search indexer open each file the moment it is
// created, renamed or written, sharing reads and writes but not deletion, and
// keep it for tens to some hundreds of milliseconds; meanwhile a rename or a
// delete of that file is refused. Two seconds outlasts such a hold several
// times over and is the longest the user waits on one file; a file that a
// program really keeps open (the running game, say) still fails after it.
const DWORD kHoldWaitMilliseconds = 2000;
const DWORD kHoldStepMilliseconds = 50;

// After a rename or delete of path failed with error: whether another
// program's passing hold may be the cause and the wait begun at started
// still has time left, in which case one step is slept for the next try.
// Otherwise the error is left as the call's last error.
bool WaitOutHold(const char* path, DWORD error, DWORD started) {
    bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    if (error == ERROR_ACCESS_DENIED) {
        // Also the answer for a read-only file (which the plain delete is
        // meant to leave in place) and for a directory; neither passes. A
        // file whose delete is pending (deleted by a program that holds it
        // and shares deletion) cannot even be examined until it is gone.
        DWORD attributes = GetFileAttributesA(path);
        held = attributes == INVALID_FILE_ATTRIBUTES
                   ? GetLastError() == ERROR_ACCESS_DENIED
                   : (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    }
    if (!held || GetTickCount() - started >= kHoldWaitMilliseconds) {
        SetLastError(error);
        return false;
    }
    Sleep(kHoldStepMilliseconds);
    return true;
}

} // namespace

bool BackendFindFirst(const char* searchText, PlatformFindHandle* handle, PlatformFindData* data) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(searchText, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    CopyFindData(found, data);
    *handle = search;
    return true;
}

bool BackendFindNext(PlatformFindHandle handle, PlatformFindData* data) {
    WIN32_FIND_DATAA found;
    if (!FindNextFileA(static_cast<HANDLE>(handle), &found)) {
        return false;
    }
    CopyFindData(found, data);
    return true;
}

void BackendFindClose(PlatformFindHandle handle) {
    FindClose(static_cast<HANDLE>(handle));
}

namespace {

// SetFileInformationByHandle came with Windows Vista; XP's loader would refuse
// an executable that imports it, so it is looked up when first needed. Its
// FILE_BASIC_INFO is declared here as the system lays it out, whatever
// Windows version the headers are set for.
struct BasicInfo {
    LARGE_INTEGER creationTime;
    LARGE_INTEGER lastAccessTime;
    LARGE_INTEGER lastWriteTime;
    LARGE_INTEGER changeTime;
    DWORD fileAttributes;
};
typedef BOOL(WINAPI* SetInformationByHandle)(HANDLE, int, LPVOID, DWORD);
constexpr int kFileBasicInfoClass = 0; // FileBasicInfo

SetInformationByHandle FindSetInformationByHandle() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found =
        kernel != nullptr ? GetProcAddress(kernel, "SetFileInformationByHandle") : nullptr;
    return reinterpret_cast<SetInformationByHandle>(reinterpret_cast<void*>(found));
}

} // namespace

// A symbolic link or junction (a reparse point) gets its own attributes reset
// through a handle that does not follow it, so that the file it points to,
// possibly outside the installation, keeps its attributes; DeleteFileA then
// removes the link itself. Windows XP has no call for that and no symbolic
// links to files: there a reparse point keeps its attributes.
void BackendSetAttributesNormal(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
        return;
    }
    // Looked up each time: reparse points are rare, and no state is shared.
    SetInformationByHandle setInformation = FindSetInformationByHandle();
    if (setInformation == nullptr) {
        return;
    }
    HANDLE link = CreateFileA(
        path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (link == INVALID_HANDLE_VALUE) {
        return;
    }
    BasicInfo info;
    std::memset(&info, 0, sizeof info); // times of 0 stay unchanged
    info.fileAttributes = FILE_ATTRIBUTE_NORMAL;
    setInformation(link, kFileBasicInfoClass, &info, sizeof info);
    CloseHandle(link);
}

bool BackendSetReadOnly(const char* path) {
    return SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY) != 0;
}

void BackendDeleteFile(const char* path) {
    DWORD started = GetTickCount();
    while (!DeleteFileA(path)) {
        if (!WaitOutHold(path, GetLastError(), started)) {
            return;
        }
    }
    // Deleted while a program that shares deletion holds it, the file keeps
    // its name, delete pending, until that program lets go; meanwhile nothing
    // can be created or renamed under that name, which callers do next.
    while (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES &&
           GetLastError() == ERROR_ACCESS_DENIED &&
           GetTickCount() - started < kHoldWaitMilliseconds) {
        Sleep(kHoldStepMilliseconds);
    }
}

bool BackendCreateDirectory(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

// The source is the file a scanner holds: the one just written, or just
// renamed aside.
bool BackendRename(const char* from, const char* to) {
    DWORD started = GetTickCount();
    while (!MoveFileA(from, to)) {
        if (!WaitOutHold(from, GetLastError(), started)) {
            return false;
        }
    }
    return true;
}

FILE* BackendOpenStream(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

// FlushFileBuffers writes the file's data and its size in the directory
// entry through the system's cache to the disk; without it a power cut can
// leave a file of the right length that reads as zeros (NTFS keeps metadata
// in its journal, data in the cache).
bool BackendFlushStream(FILE* stream) {
    if (std::fflush(stream) != 0) {
        return false;
    }
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return file != INVALID_HANDLE_VALUE && FlushFileBuffers(file) != 0;
}

// A fresh directory under the user's temporary directory: GetTempFileNameA
// reserves a unique name as a file, which then makes way for the directory.
// Its prefix differs from the updater's "vnp" temporary files, so that what
// looks for those never takes one of these for them.
bool BackendMakeTempDirectory(char* out, size_t outSize) {
    char base[MAX_PATH];
    DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length >= sizeof base || outSize < MAX_PATH) {
        return false;
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (GetTempFileNameA(base, "vnd", 0, out) == 0) {
            return false;
        }
        DeleteFileA(out);
        if (CreateDirectoryA(out, nullptr)) {
            return true;
        }
    }
    out[0] = '\0';
    return false;
}

bool BackendRemoveDirectory(const char* path) {
    return RemoveDirectoryA(path) != 0;
}

bool PlatformIsLeadByte(unsigned char byte) {
    return IsDBCSLeadByte(byte) != 0;
}

void PlatformUseShiftJis(bool) {}
