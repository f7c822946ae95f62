// scanner: behaves towards a folder as a virus scanner or the search indexer
// does. It watches DIR and its subfolders, and opens every file that is
// added, renamed (under its new name) or written, sharing reads and writes
// but not deletion, and keeps it HOLD_MS milliseconds; meanwhile nobody can
// rename or delete that file. Several files are held at once.
//
//   scanner DIR HOLD_MS READY_FILE
//
// READY_FILE is written once the watch is armed. The scanner stops when
// READY_FILE.stop appears, or on Ctrl+C / Ctrl+Break, and then prints
// "scanner: held N files" (each opening counts).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Hold {
    HANDLE file;
    DWORD release; // GetTickCount() when it is let go
};

// How often the stop file is looked for while nothing else happens.
constexpr DWORD kStopPollMilliseconds = 50;

HANDLE stopEvent = nullptr;

BOOL WINAPI OnConsoleSignal(DWORD) {
    SetEvent(stopEvent);
    return TRUE;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteReady(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    ::WriteFile(file, "ready\r\n", 7, &written, nullptr);
    CloseHandle(file);
    return true;
}

class Scanner {
  public:
    Scanner(std::string directory, DWORD holdMs)
        : directory_(std::move(directory)), hold_(holdMs) {}

    int held() const { return held_; }

    // Opens the file named in one change record, as a scanner would.
    void Take(const FILE_NOTIFY_INFORMATION& change) {
        if (change.Action != FILE_ACTION_ADDED && change.Action != FILE_ACTION_RENAMED_NEW_NAME &&
            change.Action != FILE_ACTION_MODIFIED) {
            return;
        }
        int units = static_cast<int>(change.FileNameLength / sizeof(WCHAR));
        char name[MAX_PATH];
        int length = WideCharToMultiByte(CP_ACP, 0, change.FileName, units, name, sizeof name - 1,
                                         nullptr, nullptr);
        if (length <= 0) {
            return;
        }
        std::string path = directory_ + "\\" + std::string(name, static_cast<size_t>(length));
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return;
        }
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return; // gone already, or its writer shares nothing
        }
        // A scanner reads what it opened.
        char head[512];
        DWORD got = 0;
        ReadFile(file, head, sizeof head, &got, nullptr);
        holds_.push_back({file, GetTickCount() + hold_});
        ++held_;
    }

    // Lets go of the files whose time is up; the milliseconds until the next
    // release, or INFINITE.
    DWORD Release() {
        DWORD now = GetTickCount();
        DWORD next = INFINITE;
        for (size_t i = 0; i < holds_.size();) {
            DWORD left = holds_[i].release - now;
            if (static_cast<LONG>(left) <= 0) {
                CloseHandle(holds_[i].file);
                holds_[i] = holds_.back();
                holds_.pop_back();
                continue;
            }
            next = left < next ? left : next;
            ++i;
        }
        return next;
    }

    void ReleaseAll() {
        for (const Hold& hold : holds_) {
            CloseHandle(hold.file);
        }
        holds_.clear();
    }

  private:
    std::string directory_;
    DWORD hold_;
    std::vector<Hold> holds_;
    int held_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: scanner DIR HOLD_MS READY_FILE\n");
        return 2;
    }
    std::string directory = argv[1];
    while (directory.size() > 3 && (directory.back() == '\\' || directory.back() == '/')) {
        directory.pop_back();
    }
    DWORD holdMs = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
    std::string ready = argv[3];
    std::string stop = ready + ".stop";

    HANDLE watched =
        CreateFileA(directory.c_str(), FILE_LIST_DIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (watched == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "scanner: cannot open %s (error %lu)\n", directory.c_str(),
                     GetLastError());
        return 1;
    }
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleSignal, TRUE);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // DWORD-aligned, as ReadDirectoryChangesW needs.
    std::vector<DWORD> buffer(16384);
    const DWORD filter =
        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;
    auto arm = [&] {
        ResetEvent(overlapped.hEvent);
        return ReadDirectoryChangesW(watched, buffer.data(),
                                     static_cast<DWORD>(buffer.size() * sizeof(DWORD)), TRUE,
                                     filter, nullptr, &overlapped, nullptr) != 0;
    };
    if (!arm()) {
        std::fprintf(stderr, "scanner: cannot watch %s (error %lu)\n", directory.c_str(),
                     GetLastError());
        return 1;
    }
    if (!WriteReady(ready)) {
        std::fprintf(stderr, "scanner: cannot write %s\n", ready.c_str());
        return 1;
    }

    Scanner scanner(directory, holdMs);
    int result = 0;
    for (;;) {
        DWORD next = scanner.Release();
        DWORD timeout = next < kStopPollMilliseconds ? next : kStopPollMilliseconds;
        HANDLE events[2] = {overlapped.hEvent, stopEvent};
        DWORD woke = WaitForMultipleObjects(2, events, FALSE, timeout);
        if (woke == WAIT_OBJECT_0 + 1 || Exists(stop)) {
            break;
        }
        if (woke != WAIT_OBJECT_0) {
            continue;
        }
        DWORD bytes = 0;
        if (!GetOverlappedResult(watched, &overlapped, &bytes, FALSE)) {
            std::fprintf(stderr, "scanner: watch failed (error %lu)\n", GetLastError());
            result = 1;
            break;
        }
        // No bytes: more changes than the buffer held; those are missed.
        const char* at = reinterpret_cast<const char*>(buffer.data());
        for (DWORD offset = 0; bytes > 0;) {
            const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at + offset);
            scanner.Take(*change);
            if (change->NextEntryOffset == 0) {
                break;
            }
            offset += change->NextEntryOffset;
        }
        if (!arm()) {
            std::fprintf(stderr, "scanner: cannot watch again (error %lu)\n", GetLastError());
            result = 1;
            break;
        }
    }
    DWORD ignored = 0;
    if (CancelIo(watched)) {
        GetOverlappedResult(watched, &overlapped, &ignored, TRUE);
    }
    scanner.ReleaseAll();
    CloseHandle(watched);
    std::printf("scanner: held %d files\n", scanner.held());
    std::fflush(stdout);
    return result;
}
