// vnpatch stamp UPDATER ARCHIVE -o OUT: a built updater with the archive as
// its RCDATA 103, so that a release compiles nothing. The PE work is in
// tools/pe; this is the file work around it.
#include <cstdio>
#include <cstring>
#include <string>

#include "fileutil/platform.h"
#include "tools/pe/pe_stamp.h"
#include "tools/vnpatch/commands.h"
#include "tools/vnpatch/file_bytes.h"

namespace {

bool WriteAll(const std::string& path, const pe::Bytes& bytes) {
    FILE* out = PlatformOpenStream(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    ok = PlatformFlushStream(out) && ok;
    return std::fclose(out) == 0 && ok;
}

// Puts the finished file in OUT's place. A rename never replaces a file
// here, so an OUT that exists steps aside first and comes back if the new
// one cannot take its name: OUT is either the new file or as it was. OUT may
// be the updater itself, which is read whole before.
bool Replace(const std::string& finished, const std::string& out) {
    std::string aside = out + ".stamp-old";
    PlatformDeleteFile(aside.c_str());
    bool moved = PlatformRename(out.c_str(), aside.c_str());
    if (!PlatformRename(finished.c_str(), out.c_str())) {
        if (moved) {
            PlatformRename(aside.c_str(), out.c_str());
        }
        return false;
    }
    PlatformDeleteFile(aside.c_str());
    return true;
}

} // namespace

int CommandStamp(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[2], "-o") != 0) {
        std::fprintf(stderr, "usage: vnpatch stamp UPDATER ARCHIVE -o OUT\n");
        return 2;
    }
    const char* updaterPath = argv[0];
    const char* archivePath = argv[1];
    std::string out = argv[3];
    pe::Bytes updater;
    pe::Bytes archive;
    std::string error;
    for (const char* path : {updaterPath, archivePath}) {
        if (!vnpatch::ReadFileBytes(path, path == updaterPath ? &updater : &archive, &error)) {
            std::fprintf(stderr, "vnpatch: %s\n", error.c_str());
            return 1;
        }
    }
    pe::Bytes stamped;
    if (!pe::StampArchive(updater, archive, &stamped, &error)) {
        std::fprintf(stderr, "vnpatch: cannot stamp %s into %s: %s\n", archivePath, updaterPath,
                     error.c_str());
        return 1;
    }
    // Written under a name of its own beside OUT, so that no half-written
    // OUT is ever left.
    std::string finished = out + ".stamp-new";
    PlatformDeleteFile(finished.c_str());
    if (!WriteAll(finished, stamped) || !Replace(finished, out)) {
        PlatformDeleteFile(finished.c_str());
        std::fprintf(stderr, "vnpatch: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
