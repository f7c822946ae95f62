#include "tests/reliability/shim_runs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "payload/archive_writer.h"

extern char** environ;

namespace testsupport {

std::string MemoryScratch() {
    static ScratchDir root(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
    return root.path;
}

void AddRebuild(ByteVector* record, const ByteVector& oldVersion, ByteVector* newVersion,
                unsigned seed) {
    size_t n = oldVersion.size();
    size_t quarter = n / 4;
    ByteVector fresh = RandomBytes(n / 16 + 100, seed);
    struct Piece {
        size_t offset;
        size_t length;
    };
    const Piece pieces[] = {{2 * quarter, quarter}, {0, quarter}, {3 * quarter, n - 3 * quarter}};
    newVersion->clear();
    for (int i = 0; i < 3; ++i) {
        AppendCopyChunk(record, static_cast<uint32_t>(pieces[i].offset),
                        static_cast<uint32_t>(pieces[i].length));
        newVersion->insert(
            newVersion->end(), oldVersion.begin() + static_cast<long>(pieces[i].offset),
            oldVersion.begin() + static_cast<long>(pieces[i].offset + pieces[i].length));
        size_t literal = fresh.size() / 3;
        AppendLiteralChunk(record, fresh.data() + i * literal, static_cast<uint32_t>(literal));
        newVersion->insert(newVersion->end(), fresh.begin() + static_cast<long>(i * literal),
                           fresh.begin() + static_cast<long>((i + 1) * literal));
    }
}

bool ShimAvailable() {
    return std::string(VARNELO_KILL_SHIM).size() > 0;
}

ApplyRun RunUnderShim(const std::vector<std::string>& command, const ShimSettings& shim,
                      double delaySeconds) {
    // Everything the child needs is made before the fork: between fork and
    // exec it may not allocate, as other threads may hold the allocator.
    std::map<std::string, std::string> settings;
    if (!shim.empty()) {
        settings["LD_PRELOAD"] = VARNELO_KILL_SHIM;
        settings["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    }
    for (const auto& setting : shim) {
        settings["VARNELO_KILL_" + setting.first] = setting.second;
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        if (settings.count(text.substr(0, text.find('='))) == 0) {
            environment.push_back(text);
        }
    }
    for (const auto& setting : settings) {
        environment.push_back(setting.first + "=" + setting.second);
    }
    std::vector<char*> envp;
    for (std::string& text : environment) {
        envp.push_back(&text[0]);
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = command;
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (delaySeconds >= 0) {
        struct timespec wait = {
            static_cast<time_t>(delaySeconds),
            static_cast<long>((delaySeconds - static_cast<long>(delaySeconds)) * 1e9)};
        nanosleep(&wait, nullptr);
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ApplyRun run;
    run.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

ApplyRun RunApply(const std::string& archive, const std::string& install, const ShimSettings& shim,
                  double delaySeconds) {
    return RunUnderShim({VnpatchPath(), "apply", archive, install}, shim, delaySeconds);
}

bool WriteRecordArchive(const std::string& path, const std::vector<ByteVector>& records) {
    ArchiveWriter writer;
    if (!ArchiveBegin(&writer, path.c_str(), static_cast<int32_t>(records.size()))) {
        return false;
    }
    char name[16];
    for (size_t i = 0; i < records.size(); ++i) {
        std::snprintf(name, sizeof name, "%05u.pat", static_cast<unsigned>(i));
        if (!ArchiveAdd(&writer, name, records[i].data(),
                        static_cast<uint32_t>(records[i].size()))) {
            ArchiveFinish(&writer);
            return false;
        }
    }
    return ArchiveFinish(&writer);
}

} // namespace testsupport
