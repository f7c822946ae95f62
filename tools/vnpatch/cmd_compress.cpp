// vnpatch compress IN OUT / vnpatch expand IN OUT: the SZDD envelope.
#include <cstdio>
#include <vector>

#include "fileutil/platform.h"
#include "payload/szdd.h"
#include "payload/szdd_writer.h"
#include "tools/vnpatch/commands.h"

int CommandCompress(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vnpatch compress IN OUT\n");
        return 2;
    }
    if (!SzddCompressFile(argv[0], argv[1])) {
        std::fprintf(stderr,
                     "vnpatch: cannot compress %s to %s (unreadable input, over 4 GB, "
                     "or the output cannot be written)\n",
                     argv[0], argv[1]);
        return 1;
    }
    return 0;
}

int CommandExpand(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vnpatch expand IN OUT\n");
        return 2;
    }
    SzddReader* reader = new SzddReader;
    if (!SzddOpen(reader, argv[0])) {
        std::fprintf(stderr, "vnpatch: cannot open %s (missing, or a damaged SZDD header)\n",
                     argv[0]);
        delete reader;
        return 1;
    }
    FILE* out = PlatformOpenStream(argv[1], "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "vnpatch: cannot create %s\n", argv[1]);
        SzddClose(reader);
        delete reader;
        return 1;
    }
    std::vector<unsigned char> buffer(1 << 16);
    uint32_t total = 0;
    bool ok = true;
    for (;;) {
        int32_t got = SzddRead(reader, buffer.data(), static_cast<int32_t>(buffer.size()));
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        ok = std::fwrite(buffer.data(), 1, static_cast<size_t>(got), out) ==
             static_cast<size_t>(got);
        total += static_cast<uint32_t>(got);
        if (!ok) {
            break;
        }
    }
    bool complete = ok && total == reader->length;
    SzddClose(reader);
    delete reader;
    ok = std::fclose(out) == 0 && complete;
    if (!ok) {
        std::fprintf(stderr, "vnpatch: %s is cut short or damaged; nothing written\n", argv[0]);
        PlatformDeleteFile(argv[1]);
        return 1;
    }
    return 0;
}
