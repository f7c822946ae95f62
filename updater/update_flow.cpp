#include "updater/update_flow.h"

#include <cstdlib>
#include <cstring>

#include "fileutil/fileutil.h"
#include "patch/apply_record.h"
#include "res/resource.h"
#include "ui/messages.h"
#include "ui/phase_windows.h"

char InstallPath[kPathSize];

namespace {

const char kAppPathsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\VRNL.exe";

} // namespace

bool FindInstallPath(char* buffer) {
    std::memset(buffer, 0, kPathSize);
    HKEY key = nullptr;
    // Read access is all the query needs; full access is refused to every
    // process that is not elevated.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAppPathsKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    // One byte short of the buffer, so that its last byte stays NUL.
    DWORD capacity = kPathSize - 1;
    LONG result =
        RegQueryValueExA(key, "", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &capacity);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

namespace {

bool IsDirectory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

bool NamesInstalledExecutable(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // A run cut off (killed, or the power lost) while it rebuilt the
        // executable leaves it only under its backup name; this run puts it
        // back or finishes the rebuild, so the installation is still there.
        char backup[kPathSize];
        if (!BackupPathOf(backup, sizeof backup, path)) {
            return false;
        }
        attributes = GetFileAttributesA(backup);
    }
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    char directory[kPathSize];
    if (!CopyText(directory, sizeof directory, path)) {
        return false;
    }
    size_t length = std::strlen(directory);
    CutAtLastBackslash(directory);
    return std::strlen(directory) < length && IsDirectory(directory);
}

bool QueryFileVersion(const char* path, FileVersion* version) {
    DWORD size = GetFileVersionInfoSizeA(path, nullptr);
    if (size == 0) {
        return false;
    }
    void* block = std::malloc(size);
    if (block == nullptr) {
        return false;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedLength = 0;
    if (!GetFileVersionInfoA(path, 0, size, block) ||
        !VerQueryValueA(block, "\\", reinterpret_cast<void**>(&fixed), &fixedLength) ||
        fixed == nullptr) {
        std::free(block);
        return false;
    }
    version->major = HIWORD(fixed->dwFileVersionMS);
    version->minor = LOWORD(fixed->dwFileVersionMS);
    version->build = HIWORD(fixed->dwFileVersionLS);
    version->revision = LOWORD(fixed->dwFileVersionLS);
    std::free(block);
    return true;
}

bool IsVersionOnePointZero(const FileVersion& version) {
    return version.major == 1 && version.minor < 1;
}

void RemoveOldPitData(const char* executablePath) {
    char folder[kPathSize];
    if (!CopyText(folder, sizeof folder, executablePath)) {
        return;
    }
    CutAtLastBackslash(folder);
    if (!AppendText(folder, sizeof folder, "\\save\\pit")) {
        return;
    }
    EnumerateFiles(folder, "*.ptd", DeleteEnumeratedFile, 0);
}

int UpdaterMain(HINSTANCE instance) {
    AppInstance = instance;
    MessageOwner = nullptr;
    // A value that names a folder, a missing executable or no folder at all
    // would have the records applied elsewhere than the installation.
    if (!FindInstallPath(InstallPath) || !NamesInstalledExecutable(InstallPath)) {
        ShowMessage(IDS_NOT_INSTALLED, CaptionError);
        return 0;
    }
    // Cancel, Escape and the close box give 0. A dialog that cannot be made
    // (-1) is no confirmation either.
    INT_PTR confirmed =
        DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_CONFIRM), nullptr, ConfirmDialogProc, 0);
    if (confirmed != 1) {
        return 0;
    }
    char tempPath[kPathSize];
    std::memset(tempPath, 0, sizeof tempPath);
    if (!RunExtraction(tempPath)) {
        return 0;
    }
    FileVersion version;
    if (QueryFileVersion(InstallPath, &version) && IsVersionOnePointZero(version)) {
        RemoveOldPitData(InstallPath);
    }
    CutAtLastBackslash(InstallPath);
    RunPatch(tempPath, InstallPath);
    DeleteFileForced(tempPath);
    return 0;
}
