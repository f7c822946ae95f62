// varnelo_demo: host-side generator of the sample installation and its patch
// archive, and the check of an installation after an update.
//
//   varnelo_demo install DIR VRNL_EXE [--large]   write the 1.0 tree
//   varnelo_demo archive OUT [--large] [--bad]    write the plain archive
//   varnelo_demo check DIR --pit removed|kept [--large] [--bad]
//   varnelo_demo list DIR                         checksum, size, path
//   varnelo_demo versions DIR VRNL_1_0_5_2 VRNL_1_1_0_0 VRNL_1_1_0_3
//                 three release trees of the sample (no pit data): DIR/1.0.5.2,
//                 DIR/1.1.0.0 and DIR/1.1.0.3, each with its VRNL.exe
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fileutil/fileutil.h"
#include "patch/crc32_stream.h"
#include "payload/archive_writer.h"
#include "tools/demo/demo_data.h"

namespace {

bool HasFlag(int argc, char** argv, const char* flag) {
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) {
            return true;
        }
    }
    return false;
}

const char* FlagValue(int argc, char** argv, const char* flag) {
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) {
            return argv[i + 1];
        }
    }
    return nullptr;
}

DemoOptions ReadOptions(int argc, char** argv) {
    DemoOptions options;
    options.large = HasFlag(argc, argv, "--large");
    options.badRecord = HasFlag(argc, argv, "--bad");
    return options;
}

bool WriteBytes(const char* path, const unsigned char* bytes, size_t size) {
    DeleteFileForced(path);
    FILE* file = OpenForWrite(path, "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(bytes, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

bool CopyProgram(const char* directory, const char* executable) {
    unsigned char* program = nullptr;
    int32_t size = ReadWholeFile(&program, executable);
    if (size < 0) {
        std::fprintf(stderr, "varnelo_demo: cannot read %s\n", executable);
        return false;
    }
    char path[kPathSize];
    bool ok = JoinPath(directory, "VRNL.exe", path) &&
              WriteBytes(path, program, static_cast<size_t>(size));
    std::free(program);
    if (!ok) {
        std::fprintf(stderr, "varnelo_demo: cannot write %s/VRNL.exe\n", directory);
    }
    return ok;
}

int Install(const char* directory, const char* executable, const DemoOptions& options) {
    DemoModel model;
    BuildDemoModel(options, &model);
    char path[kPathSize];
    for (const DemoFile& file : model.files) {
        if (!file.installed) {
            continue;
        }
        if (!JoinPath(directory, file.name, path) ||
            !WriteBytes(path, file.before.data(), file.before.size())) {
            std::fprintf(stderr, "varnelo_demo: cannot write %s\n", file.name);
            return 1;
        }
        if (file.readOnly) {
            PlatformSetReadOnly(path);
        }
    }
    return CopyProgram(directory, executable) ? 0 : 1;
}

int Archive(const char* out, const DemoOptions& options) {
    DemoModel model;
    BuildDemoModel(options, &model);
    std::vector<ArchiveEntry> entries;
    for (const DemoRecord& record : model.records) {
        entries.push_back({record.name, &record.bytes});
    }
    ByteVector archive = BuildArchive(entries);
    if (!WriteBytes(out, archive.data(), archive.size())) {
        std::fprintf(stderr, "varnelo_demo: cannot write %s\n", out);
        return 1;
    }
    return 0;
}

// Every regular file under root, as "\" separated paths relative to it.
void Walk(const std::string& root, const std::string& relative, std::vector<std::string>* out) {
    std::string here = relative.empty() ? root : root + "/" + relative;
    DIR* dir = opendir(here.c_str());
    if (dir == nullptr) {
        return;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string child = relative.empty() ? name : relative + "\\" + name;
        std::string full = here + "/" + name;
        struct stat info;
        if (stat(full.c_str(), &info) != 0) {
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            std::string nested = child;
            std::replace(nested.begin(), nested.end(), '\\', '/');
            Walk(root, nested, out);
        } else {
            std::replace(child.begin(), child.end(), '/', '\\');
            out->push_back(child);
        }
    }
    closedir(dir);
    std::sort(out->begin(), out->end());
}

int List(const char* directory) {
    std::vector<std::string> files;
    Walk(directory, "", &files);
    char path[kPathSize];
    for (const std::string& name : files) {
        unsigned char* bytes = nullptr;
        int32_t size = JoinPath(directory, name.c_str(), path) ? ReadWholeFile(&bytes, path) : -1;
        uint32_t crc = size >= 0 ? CrcOfBytes(bytes, static_cast<size_t>(size)) : 0;
        std::free(bytes);
        std::printf("%08x %9d %s\n", static_cast<unsigned>(crc), static_cast<int>(size),
                    name.c_str());
    }
    return 0;
}

int Check(const char* directory, bool pitRemoved, const DemoOptions& options) {
    DemoModel model;
    BuildDemoModel(options, &model);
    int faults = 0;
    std::vector<std::string> known = {"VRNL.exe"};
    char path[kPathSize];
    for (const DemoFile& file : model.files) {
        known.push_back(file.name);
        bool applied = file.record >= 0 && (model.badRecord < 0 || file.record < model.badRecord);
        const ByteVector* expected = &file.before;
        bool present = file.installed;
        switch (file.kind) {
        case KindKept:
            break;
        case KindPatched:
            expected = applied ? &file.after : &file.before;
            break;
        case KindWritten:
            if (applied) {
                expected = &file.after;
                present = true;
            }
            break;
        case KindDeleted:
            present = !applied;
            break;
        case KindPit:
            present = !pitRemoved;
            break;
        }
        if (!JoinPath(directory, file.name, path)) {
            return 2;
        }
        unsigned char* bytes = nullptr;
        int32_t size = ReadWholeFile(&bytes, path);
        uint32_t crc = size >= 0 ? CrcOfBytes(bytes, static_cast<size_t>(size)) : 0;
        std::free(bytes);
        if (!present && size >= 0) {
            std::printf("FAULT %s: present, expected absent\n", file.name);
            ++faults;
        } else if (present && size < 0) {
            std::printf("FAULT %s: absent, expected %08x\n", file.name,
                        static_cast<unsigned>(CrcOf(*expected)));
            ++faults;
        } else if (present && crc != CrcOf(*expected)) {
            std::printf("FAULT %s: %08x, expected %08x\n", file.name, static_cast<unsigned>(crc),
                        static_cast<unsigned>(CrcOf(*expected)));
            ++faults;
        }
    }
    std::vector<std::string> files;
    Walk(directory, "", &files);
    for (const std::string& name : files) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            std::printf("FAULT %s: not expected in the tree\n", name.c_str());
            ++faults;
        }
    }
    if (faults == 0) {
        std::printf("installation as expected (%d files checked)\n",
                    static_cast<int>(model.files.size()));
    }
    return faults == 0 ? 0 : 1;
}

bool WriteTreeFile(const std::string& directory, const char* name, const ByteVector& bytes,
                   bool readOnly) {
    char path[kPathSize];
    if (!JoinPath(directory.c_str(), name, path) || !WriteBytes(path, bytes.data(), bytes.size())) {
        std::fprintf(stderr, "varnelo_demo: cannot write %s in %s\n", name, directory.c_str());
        return false;
    }
    return !readOnly || PlatformSetReadOnly(path);
}

// The sample at three versions. 1.0.5.2 is the installed tree of the model
// and 1.1.0.3 the tree after its archive; 1.1.0.0 lies between: some files
// already new, some still old, some at a version of their own, the 1.0-only
// file gone and a file of its own that 1.1.0.3 no longer has.
int Versions(const char* root, const char* exe10, const char* exe11, const char* exeNew) {
    DemoModel model;
    BuildDemoModel(DemoOptions{false, false}, &model);
    const std::string dirs[3] = {std::string(root) + "/1.0.5.2", std::string(root) + "/1.1.0.0",
                                 std::string(root) + "/1.1.0.3"};
    const char* programs[3] = {exe10, exe11, exeNew};
    int patched = 0;
    for (const DemoFile& file : model.files) {
        if (file.kind == KindPit) {
            continue;
        }
        const ByteVector* v10 = file.installed ? &file.before : nullptr;
        const ByteVector* vNew = file.kind == KindDeleted ? nullptr
                                 : file.kind == KindKept  ? &file.before
                                                          : &file.after;
        const ByteVector* v11 = v10;
        ByteVector own;
        if (file.kind == KindPatched) {
            int turn = patched++ % 3;
            if (turn == 0) {
                v11 = &file.after;
            } else if (turn == 2) {
                own = file.before;
                size_t at = own.size() / 3;
                for (size_t i = 0; i < 64 && at + i < own.size(); ++i) {
                    own[at + i] = static_cast<unsigned char>(own[at + i] ^ (0x5A + i));
                }
                v11 = &own;
            }
        } else if (file.kind == KindWritten && !file.installed) {
            v11 = &file.after;
        } else if (file.kind == KindDeleted) {
            v11 = nullptr;
        }
        const ByteVector* contents[3] = {v10, v11, vNew};
        for (int t = 0; t < 3; ++t) {
            if (contents[t] != nullptr &&
                !WriteTreeFile(dirs[t], file.name, *contents[t], file.readOnly)) {
                return 1;
            }
        }
    }
    ByteVector beta(4000);
    for (size_t i = 0; i < beta.size(); ++i) {
        beta[i] = static_cast<unsigned char>('a' + (i * 7) % 26);
    }
    if (!WriteTreeFile(dirs[1], "course\\beta_layout.dat", beta, false)) {
        return 1;
    }
    for (int t = 0; t < 3; ++t) {
        if (!CopyProgram(dirs[t].c_str(), programs[t])) {
            return 1;
        }
    }
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: varnelo_demo install DIR VRNL_EXE [--large]\n"
                 "       varnelo_demo archive OUT [--large] [--bad]\n"
                 "       varnelo_demo check DIR --pit removed|kept [--large] [--bad]\n"
                 "       varnelo_demo list DIR\n"
                 "       varnelo_demo versions DIR VRNL_1_0_5_2 VRNL_1_1_0_0 VRNL_1_1_0_3\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    DemoOptions options = ReadOptions(argc, argv);
    if (std::strcmp(argv[1], "install") == 0 && argc >= 4) {
        return Install(argv[2], argv[3], options);
    }
    if (std::strcmp(argv[1], "archive") == 0) {
        return Archive(argv[2], options);
    }
    if (std::strcmp(argv[1], "check") == 0) {
        const char* pit = FlagValue(argc, argv, "--pit");
        if (pit == nullptr || (std::strcmp(pit, "removed") != 0 && std::strcmp(pit, "kept") != 0)) {
            return Usage();
        }
        return Check(argv[2], std::strcmp(pit, "removed") == 0, options);
    }
    if (std::strcmp(argv[1], "list") == 0) {
        return List(argv[2]);
    }
    if (std::strcmp(argv[1], "versions") == 0 && argc == 6) {
        return Versions(argv[2], argv[3], argv[4], argv[5]);
    }
    return Usage();
}
