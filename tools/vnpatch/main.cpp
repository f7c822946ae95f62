// vnpatch: builds, inspects, verifies and applies Varnelo patch archives.
#include <cstdio>
#include <cstring>

#include "tools/vnpatch/commands.h"

namespace {

struct Command {
    const char* name;
    int (*run)(int, char**);
    const char* usage;
};

const Command kCommands[] = {
    {"apply", CommandApply, "apply ARCHIVE INSTALLDIR   apply every record to an installation"},
    {"inspect", CommandInspect,
     "inspect ARCHIVE [INSTALLDIR]  list the entries, flag those apply would refuse"},
    {"build", CommandBuild,
     "build --old DIR [--old DIR ...] --new DIR -o ARCHIVE   archive from old trees to new"},
    {"verify", CommandVerify, "verify ARCHIVE INSTALLDIR  what apply would do, changing nothing"},
    {"compress", CommandCompress, "compress IN OUT            SZDD-compress a file"},
    {"expand", CommandExpand, "expand IN OUT              expand an SZDD (or plain) file"},
    {"version", CommandVersion, "version EXE                an executable's fixed file version"},
    {"stamp", CommandStamp,
     "stamp UPDATER ARCHIVE -o OUT  the built updater with ARCHIVE as its RCDATA 103"},
    {"resources", CommandResources,
     "resources EXE              an executable's resources: TYPE NAME LANGUAGE SIZE a line"},
};

int Usage() {
    std::fprintf(stderr, "usage: vnpatch COMMAND ...\n");
    for (const Command& command : kCommands) {
        std::fprintf(stderr, "  vnpatch %s\n", command.usage);
    }
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    for (const Command& command : kCommands) {
        if (std::strcmp(argv[1], command.name) == 0) {
            return command.run(argc - 2, argv + 2);
        }
    }
    return Usage();
}
