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

// Writes what the body holds, as LZExpand's LZCopy and Windows' expand do,
// also when the header's length says otherwise (files like that exist); the
// difference is reported on stderr. A file without the SZDD signature is
// copied as it is.
int CommandExpand(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vnpatch expand IN OUT\n");
        return 2;
    }
    SzddReader* reader = new SzddReader;
    if (!SzddOpen(reader, argv[0])) {
        std::fprintf(stderr,
                     "vnpatch: cannot open %s (missing or unreadable, a short SZDD header, or "
                     "an SZDD compression mode other than 'A')\n",
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
    uint64_t total = 0;
    bool readable = true;
    bool written = true;
    for (;;) {
        int32_t got = SzddReadBody(reader, buffer.data(), static_cast<int32_t>(buffer.size()));
        if (got <= 0) {
            readable = got == 0;
            break;
        }
        written = std::fwrite(buffer.data(), 1, static_cast<size_t>(got), out) ==
                  static_cast<size_t>(got);
        total += static_cast<uint64_t>(got);
        if (!written) {
            break;
        }
    }
    bool compressed = reader->compressed;
    uint32_t declared = reader->length;
    SzddClose(reader);
    delete reader;
    written = std::fclose(out) == 0 && written;
    if (!readable || !written) {
        std::fprintf(stderr, "vnpatch: cannot %s %s; nothing written\n",
                     !readable ? "read" : "write", !readable ? argv[0] : argv[1]);
        PlatformDeleteFile(argv[1]);
        return 1;
    }
    if (compressed && total != declared) {
        std::fprintf(stderr,
                     "vnpatch: warning: the header of %s declares %u bytes, its body holds %llu; "
                     "wrote what the body holds\n",
                     argv[0], declared, static_cast<unsigned long long>(total));
    }
    return 0;
}
