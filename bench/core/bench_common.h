// Small helpers shared by the benchmarks.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

inline double NowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Best wall time of runs of a shell command, in seconds; negative on failure.
inline double TimeCommand(const std::string& command, int runs) {
    double best = -1;
    for (int i = 0; i < runs; ++i) {
        double start = NowSeconds();
        if (std::system(command.c_str()) != 0) {
            return -1;
        }
        double elapsed = NowSeconds() - start;
        if (best < 0 || elapsed < best) {
            best = elapsed;
        }
    }
    return best;
}

// Size of a file in bytes; -1 when it cannot be opened.
inline long FileSize(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return -1;
    }
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fclose(f);
    return size;
}

// A path as one shell word (the benchmarks' own temporary paths).
inline std::string Quote(const std::string& text) {
    return "'" + text + "'";
}
