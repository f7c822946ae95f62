// Small helpers for the core benchmarks.
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
