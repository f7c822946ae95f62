/* Preloaded into vnpatch by the kill tests: counts the file operations the
 * patch engine makes (open for writing, write, close, rename, delete, make
 * directory) and kills the process with SIGKILL just before operation
 * VARNELO_KILL_AT. With VARNELO_KILL_COUNT set, the total is written there
 * at exit. Standard streams are not counted. With VARNELO_KILL_PATH set, only
 * the operations on a path that contains that text are counted (opens,
 * renames from or to it, deletes, directories made; writes and closes name no
 * path and are not counted then). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static atomic_long g_count;
static long g_killAt = -1;
static const char* g_path;

static void Step(void) {
    long n = atomic_fetch_add(&g_count, 1) + 1;
    if (n == g_killAt) {
        raise(SIGKILL);
    }
}

__attribute__((constructor)) static void ShimStart(void) {
    const char* at = getenv("VARNELO_KILL_AT");
    if (at != NULL) {
        g_killAt = atol(at);
    }
    g_path = getenv("VARNELO_KILL_PATH");
}

/* A path operation counts when no path is chosen or when it names the path. */
static void PathStep(const char* first, const char* second) {
    if (g_path == NULL || strstr(first, g_path) != NULL ||
        (second != NULL && strstr(second, g_path) != NULL)) {
        Step();
    }
}

__attribute__((destructor)) static void ShimEnd(void) {
    const char* path = getenv("VARNELO_KILL_COUNT");
    if (path != NULL) {
        static FILE* (*realOpen)(const char*, const char*);
        realOpen = (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "fopen");
        FILE* out = realOpen(path, "w");
        if (out != NULL) {
            fprintf(out, "%ld\n", atomic_load(&g_count));
            fclose(out);
        }
    }
}

static int Counted(FILE* stream) {
    return g_path == NULL && stream != stdout && stream != stderr && stream != stdin;
}

FILE* fopen(const char* path, const char* mode) {
    static FILE* (*real)(const char*, const char*);
    if (real == NULL) {
        real = (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "fopen");
    }
    if (strchr(mode, 'w') != NULL) {
        PathStep(path, NULL);
    }
    return real(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
    return fopen(path, mode);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    static size_t (*real)(const void*, size_t, size_t, FILE*);
    if (real == NULL) {
        real = (size_t(*)(const void*, size_t, size_t, FILE*))dlsym(RTLD_NEXT, "fwrite");
    }
    if (Counted(stream)) {
        Step();
    }
    return real(data, size, count, stream);
}

int fclose(FILE* stream) {
    static int (*real)(FILE*);
    if (real == NULL) {
        real = (int (*)(FILE*))dlsym(RTLD_NEXT, "fclose");
    }
    if (Counted(stream)) {
        Step();
    }
    return real(stream);
}

int renameat2(int oldDir, const char* oldPath, int newDir, const char* newPath, unsigned flags) {
    static int (*real)(int, const char*, int, const char*, unsigned);
    if (real == NULL) {
        real = (int (*)(int, const char*, int, const char*, unsigned))dlsym(RTLD_NEXT, "renameat2");
    }
    PathStep(oldPath, newPath);
    return real(oldDir, oldPath, newDir, newPath, flags);
}

int unlink(const char* path) {
    static int (*real)(const char*);
    if (real == NULL) {
        real = (int (*)(const char*))dlsym(RTLD_NEXT, "unlink");
    }
    PathStep(path, NULL);
    return real(path);
}

int mkdir(const char* path, mode_t mode) {
    static int (*real)(const char*, mode_t);
    if (real == NULL) {
        real = (int (*)(const char*, mode_t))dlsym(RTLD_NEXT, "mkdir");
    }
    PathStep(path, NULL);
    return real(path, mode);
}
