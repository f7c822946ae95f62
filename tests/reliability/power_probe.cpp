// A writer with a known sequence of file operations, for the tests of the
// power-cut shim: power_probe INSIDE OUTSIDE. OUTSIDE is written and closed
// first, never synced; then INSIDE: open, write 1000 'a', flush, fsync,
// write 100 'b' (left in the stream's buffer), close, rename to INSIDE.moved.
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: power_probe INSIDE OUTSIDE\n");
        return 2;
    }
    const std::string a(1000, 'a');
    const std::string b(100, 'b');
    FILE* outside = std::fopen(argv[2], "wb");
    if (outside == nullptr) {
        return 1;
    }
    std::fwrite(a.data(), 1, a.size(), outside);
    std::fclose(outside);

    FILE* inside = std::fopen(argv[1], "wb");
    if (inside == nullptr) {
        return 1;
    }
    std::fwrite(a.data(), 1, a.size(), inside);
    std::fflush(inside);
    fsync(fileno(inside));
    std::fwrite(b.data(), 1, b.size(), inside);
    std::fclose(inside);
    return std::rename(argv[1], (std::string(argv[1]) + ".moved").c_str()) == 0 ? 0 : 1;
}
