#include <cstdio>

#include "fileutil/platform_process.h"
#include "tools/vnpatch/commands.h"

namespace {

bool OnTerminal() {
    return PlatformIsTerminal(stderr);
}

bool g_drawn = false;

} // namespace

void DrawProgress(const char* label, int64_t done, int64_t total) {
    if (!OnTerminal()) {
        return;
    }
    constexpr int kWidth = 40;
    int filled = total > 0 ? static_cast<int>(done * kWidth / total) : 0;
    if (filled > kWidth) {
        filled = kWidth;
    }
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) {
        bar[i] = i < filled ? '#' : '.';
    }
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %lld/%lld %s\x1b[K", bar, static_cast<long long>(done),
                 static_cast<long long>(total), label);
    std::fflush(stderr);
    g_drawn = true;
}

void EndProgress() {
    if (g_drawn) {
        std::fputc('\n', stderr);
        g_drawn = false;
    }
}
