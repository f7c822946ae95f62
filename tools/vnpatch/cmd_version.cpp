// vnpatch version EXE: the fixed file version of a Windows executable, as
// the updater's version gate reads it ("1.0.5.2").
#include <cstdio>
#include <string>

#include "tools/vnpatch/commands.h"
#include "tools/vnpatch/version_record.h"

int CommandVersion(int argc, char** argv) {
    if (argc != 1) {
        std::fprintf(stderr, "usage: vnpatch version EXE\n");
        return 2;
    }
    vnpatch::FileVersion version;
    std::string error;
    if (!vnpatch::ReadFileVersion(argv[0], &version, &error)) {
        std::fprintf(stderr, "vnpatch: %s: %s\n", argv[0], error.c_str());
        return 1;
    }
    std::printf("%s\n", vnpatch::FormatVersion(version).c_str());
    return 0;
}
