/* Preloaded into vnpatch by the kill and power-cut tests. Counts the
 * operations that change files (opens for writing, writes, flushes, fsyncs,
 * closes of streams, renames, links, deletes, directories made, mode
 * changes) and kills the process with SIGKILL just before operation
 * VARNELO_KILL_AT. Standard streams are never counted.
 *
 * Which operations count:
 *   - by default all of them (the close of any stream, read ones too);
 *   - with VARNELO_KILL_PATH, those on a path that contains that text (a
 *     stream is known by the path it was opened for writing under);
 *   - with VARNELO_KILL_ROOT, those on files under that directory.
 * VARNELO_KILL_COUNT names a file that receives the total at exit, and
 * VARNELO_KILL_LOG one that receives a line per operation: "N kind path".
 *
 * VARNELO_KILL_LOSS=zero|short (with VARNELO_KILL_ROOT) turns the kill into
 * a power cut. Every file under the root that was written since its last
 * fsync loses what it received since then, while creations, renames and
 * deletes stand as made, as a journaled file system orders them: "zero"
 * keeps the length and the lost bytes read as zeros (NTFS's valid data
 * length), "short" cuts the file back to its length at its last fsync (ext4's
 * delayed allocation). Data still in a stream's buffer dies with the process.
 * A kill point past the last operation cuts as the process exits. Files are
 * followed by inode across renames; only data beyond the synced length is
 * modelled, as the engine never rewrites a file in place. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum Scope { ScopeAll, ScopePath, ScopeRoot };
enum Loss { LossNone, LossZero, LossShort };

static atomic_long g_count;
static long g_killAt = -1;
static enum Scope g_scope = ScopeAll;
static enum Loss g_loss = LossNone;
static const char* g_path;
static char g_root[PATH_MAX];
static char g_rootReal[PATH_MAX];
static int g_log = -1;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

/* Streams open for writing, and what their data has reached. */
#define kStreams 64
#define kInodes 4096
#define kNameSize PATH_MAX

struct Stream {
    FILE* file;
    dev_t dev;
    ino_t ino;
    int inScope;
    char path[kNameSize];
};

struct Inode {
    dev_t dev;
    ino_t ino;
    off_t synced; /* length at the last fsync, or when first seen */
    int written;  /* written since then */
    int used;
};

static struct Stream g_streams[kStreams];
static struct Inode g_inodes[kInodes];

static void* Next(const char* name) {
    void* real = dlsym(RTLD_NEXT, name);
    if (real == NULL) {
        abort();
    }
    return real;
}

static void Fail(const char* why) {
    static const char prefix[] = "kill_shim: ";
    ssize_t ignored = write(2, prefix, sizeof prefix - 1);
    ignored = write(2, why, strlen(why));
    ignored = write(2, "\n", 1);
    (void)ignored;
    _exit(125);
}

/* ---- Paths -------------------------------------------------------------- */

static int FdPath(int fd, char* out, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size - 1);
    if (n < 0) {
        return 0;
    }
    out[n] = '\0';
    return 1;
}

/* path relative to dir (AT_FDCWD or a directory's descriptor) made absolute. */
static int Absolute(int dir, const char* path, char* out, size_t size) {
    if (path[0] == '/') {
        return snprintf(out, size, "%s", path) < (int)size;
    }
    char base[PATH_MAX];
    if (dir == AT_FDCWD ? getcwd(base, sizeof base) == NULL : !FdPath(dir, base, sizeof base)) {
        return 0;
    }
    return snprintf(out, size, "%s/%s", base, path) < (int)size;
}

static int Below(const char* path, const char* root) {
    size_t n = strlen(root);
    return n > 0 && strncmp(path, root, n) == 0 && (path[n] == '/' || path[n] == '\0');
}

static int AbsoluteInScope(const char* absolute) {
    switch (g_scope) {
    case ScopePath:
        return strstr(absolute, g_path) != NULL;
    case ScopeRoot:
        return Below(absolute, g_root) || Below(absolute, g_rootReal);
    default:
        return 1;
    }
}

static int PathInScope(int dir, const char* path) {
    if (g_scope == ScopePath) {
        return strstr(path, g_path) != NULL;
    }
    char absolute[PATH_MAX];
    return g_scope == ScopeAll ||
           (Absolute(dir, path, absolute, sizeof absolute) && AbsoluteInScope(absolute));
}

static int FdInScope(int fd) {
    char path[PATH_MAX];
    if (g_scope == ScopeAll) {
        return fd > 2;
    }
    return FdPath(fd, path, sizeof path) && AbsoluteInScope(path);
}

/* ---- Tables (under g_lock) ---------------------------------------------- */

static struct Stream* FindStream(FILE* file) {
    for (int i = 0; i < kStreams; ++i) {
        if (g_streams[i].file == file) {
            return &g_streams[i];
        }
    }
    return NULL;
}

static struct Inode* FindInode(dev_t dev, ino_t ino) {
    for (int i = 0; i < kInodes; ++i) {
        if (g_inodes[i].used && g_inodes[i].dev == dev && g_inodes[i].ino == ino) {
            return &g_inodes[i];
        }
    }
    return NULL;
}

/* A file opened for writing: what it holds now counts as on disk the first
 * time it is seen; a truncating open cuts that back. */
static void TrackOpen(FILE* file, const char* path, int inScope) {
    struct stat info;
    if (fstat(fileno(file), &info) != 0) {
        return;
    }
    struct Inode* inode = FindInode(info.st_dev, info.st_ino);
    if (inode == NULL) {
        for (int i = 0; inode == NULL && i < kInodes; ++i) {
            if (!g_inodes[i].used) {
                inode = &g_inodes[i];
            }
        }
        if (inode == NULL) {
            Fail("too many files written");
        }
        inode->used = 1;
        inode->dev = info.st_dev;
        inode->ino = info.st_ino;
        inode->synced = info.st_size;
        inode->written = 0;
    } else if (info.st_size < inode->synced) {
        inode->synced = info.st_size;
    }
    struct Stream* stream = FindStream(NULL);
    if (stream == NULL) {
        Fail("too many streams open for writing");
    }
    stream->file = file;
    stream->dev = info.st_dev;
    stream->ino = info.st_ino;
    stream->inScope = inScope;
    snprintf(stream->path, sizeof stream->path, "%s", path);
}

static void MarkWritten(FILE* file) {
    struct Stream* stream = FindStream(file);
    struct Inode* inode = stream != NULL ? FindInode(stream->dev, stream->ino) : NULL;
    if (inode != NULL) {
        inode->written = 1;
    }
}

static void MarkSynced(int fd) {
    struct stat info;
    pthread_mutex_lock(&g_lock);
    struct Inode* inode = fstat(fd, &info) == 0 ? FindInode(info.st_dev, info.st_ino) : NULL;
    if (inode != NULL) {
        inode->synced = info.st_size;
        inode->written = 0;
    }
    pthread_mutex_unlock(&g_lock);
}

/* The inode of a name about to go; forgotten once its last name has. */
static void Forget(const struct stat* info) {
    pthread_mutex_lock(&g_lock);
    struct Inode* inode = FindInode(info->st_dev, info->st_ino);
    if (inode != NULL && info->st_nlink <= 1) {
        inode->used = 0;
    }
    pthread_mutex_unlock(&g_lock);
}

/* ---- The power cut ------------------------------------------------------ */

static void Lose(const char* path, const struct stat* info, off_t synced) {
    static int (*realChmod)(const char*, mode_t);
    if (realChmod == NULL) {
        realChmod = (int (*)(const char*, mode_t))Next("chmod");
    }
    int fd = open(path, O_WRONLY);
    int madeWritable = 0;
    if (fd < 0 && errno == EACCES && realChmod(path, info->st_mode | S_IWUSR) == 0) {
        madeWritable = 1;
        fd = open(path, O_WRONLY);
    }
    if (fd < 0) {
        Fail("cannot open a file to cut its unsynced data");
    }
    int ok = 1;
    if (g_loss == LossShort) {
        ok = ftruncate(fd, synced) == 0;
    } else {
        static const char zeros[65536];
        for (off_t at = synced; ok && at < info->st_size;) {
            off_t left = info->st_size - at;
            size_t n = left < (off_t)sizeof zeros ? (size_t)left : sizeof zeros;
            ssize_t put = pwrite(fd, zeros, n, at);
            ok = put > 0;
            at += put > 0 ? put : 0;
        }
    }
    close(fd);
    if (madeWritable) {
        realChmod(path, info->st_mode & 07777);
    }
    if (!ok) {
        Fail("cannot cut a file's unsynced data");
    }
}

static void LoseUnder(char* path, size_t length) {
    DIR* dir = opendir(path);
    if (dir == NULL) {
        return;
    }
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        size_t nameLength = strlen(entry->d_name);
        if (length + 1 + nameLength >= PATH_MAX) {
            Fail("path too long");
        }
        path[length] = '/';
        memcpy(path + length + 1, entry->d_name, nameLength + 1);
        struct stat info;
        if (lstat(path, &info) == 0) {
            if (S_ISDIR(info.st_mode)) {
                LoseUnder(path, length + 1 + nameLength);
            } else if (S_ISREG(info.st_mode)) {
                struct Inode* inode = FindInode(info.st_dev, info.st_ino);
                if (inode != NULL && inode->written && info.st_size > inode->synced) {
                    Lose(path, &info, inode->synced);
                }
            }
        }
        path[length] = '\0';
    }
    closedir(dir);
}

/* Holds the lock to the end, so that no other thread changes a file. */
static void PowerCutAndDie(void) {
    pthread_mutex_lock(&g_lock);
    if (g_loss != LossNone) {
        char path[PATH_MAX];
        memcpy(path, g_root, strlen(g_root) + 1);
        LoseUnder(path, strlen(path));
    }
    raise(SIGKILL);
}

/* ---- Counting ----------------------------------------------------------- */

static void Step(const char* kind, const char* path) {
    long n = atomic_fetch_add(&g_count, 1) + 1;
    if (g_log >= 0) {
        char line[kNameSize + 64];
        int length = snprintf(line, sizeof line, "%ld %s %s\n", n, kind, path);
        if (length > (int)sizeof line - 1) {
            length = (int)sizeof line - 1;
            line[length - 1] = '\n';
        }
        ssize_t ignored = write(g_log, line, (size_t)length);
        (void)ignored;
    }
    if (n == g_killAt) {
        PowerCutAndDie();
    }
}

static void PathStep(const char* kind, int dir, const char* path, int otherDir, const char* other) {
    if (PathInScope(dir, path) || (other != NULL && PathInScope(otherDir, other))) {
        Step(kind, path);
    }
}

static void FdStep(const char* kind, int fd) {
    if (FdInScope(fd)) {
        char path[PATH_MAX];
        Step(kind, FdPath(fd, path, sizeof path) ? path : "?");
    }
}

/* Counts an operation on a stream; true when the stream is one written. */
static int StreamStep(const char* kind, FILE* file) {
    if (file == NULL || file == stdin || file == stdout || file == stderr) {
        return 0;
    }
    char path[kNameSize] = "?";
    pthread_mutex_lock(&g_lock);
    struct Stream* stream = FindStream(file);
    int counted = g_scope == ScopeAll || (stream != NULL && stream->inScope);
    if (stream != NULL) {
        memcpy(path, stream->path, sizeof path);
    }
    pthread_mutex_unlock(&g_lock);
    if (counted) {
        Step(kind, path);
    }
    return stream != NULL;
}

__attribute__((constructor)) static void ShimStart(void) {
    const char* at = getenv("VARNELO_KILL_AT");
    if (at != NULL) {
        g_killAt = atol(at);
    }
    g_path = getenv("VARNELO_KILL_PATH");
    const char* root = getenv("VARNELO_KILL_ROOT");
    if (g_path != NULL) {
        g_scope = ScopePath;
    } else if (root != NULL) {
        g_scope = ScopeRoot;
        if (snprintf(g_root, sizeof g_root, "%s", root) >= (int)sizeof g_root) {
            Fail("root too long");
        }
        for (size_t n = strlen(g_root); n > 1 && g_root[n - 1] == '/'; --n) {
            g_root[n - 1] = '\0';
        }
        if (realpath(g_root, g_rootReal) == NULL) {
            g_rootReal[0] = '\0';
        }
    }
    const char* loss = getenv("VARNELO_KILL_LOSS");
    if (loss != NULL) {
        if (g_scope != ScopeRoot) {
            Fail("VARNELO_KILL_LOSS needs VARNELO_KILL_ROOT");
        }
        if (strcmp(loss, "zero") == 0) {
            g_loss = LossZero;
        } else if (strcmp(loss, "short") == 0) {
            g_loss = LossShort;
        } else {
            Fail("VARNELO_KILL_LOSS is zero or short");
        }
    }
    const char* log = getenv("VARNELO_KILL_LOG");
    if (log != NULL) {
        g_log = open(log, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
    }
}

__attribute__((destructor)) static void ShimEnd(void) {
    const char* path = getenv("VARNELO_KILL_COUNT");
    if (path != NULL) {
        FILE* (*realOpen)(const char*, const char*) =
            (FILE * (*)(const char*, const char*)) Next("fopen");
        int (*realClose)(FILE*) = (int (*)(FILE*))Next("fclose");
        FILE* out = realOpen(path, "w");
        if (out != NULL) {
            fprintf(out, "%ld\n", atomic_load(&g_count));
            realClose(out);
        }
    }
    if (g_loss != LossNone && g_killAt > atomic_load(&g_count)) {
        PowerCutAndDie();
    }
}

/* ---- Streams ------------------------------------------------------------ */

FILE* fopen(const char* path, const char* mode) {
    static FILE* (*real)(const char*, const char*);
    if (real == NULL) {
        real = (FILE * (*)(const char*, const char*)) Next("fopen");
    }
    int writes = strpbrk(mode, "wa+") != NULL;
    int inScope = writes && PathInScope(AT_FDCWD, path);
    if (inScope) {
        Step("open", path);
    }
    FILE* file = real(path, mode);
    if (file != NULL && writes) {
        char absolute[PATH_MAX];
        pthread_mutex_lock(&g_lock);
        TrackOpen(file, Absolute(AT_FDCWD, path, absolute, sizeof absolute) ? absolute : path,
                  inScope);
        pthread_mutex_unlock(&g_lock);
    }
    return file;
}

FILE* fopen64(const char* path, const char* mode) {
    return fopen(path, mode);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    static size_t (*real)(const void*, size_t, size_t, FILE*);
    if (real == NULL) {
        real = (size_t(*)(const void*, size_t, size_t, FILE*))Next("fwrite");
    }
    if (StreamStep("write", stream)) {
        pthread_mutex_lock(&g_lock);
        MarkWritten(stream);
        pthread_mutex_unlock(&g_lock);
    }
    return real(data, size, count, stream);
}

int fflush(FILE* stream) {
    static int (*real)(FILE*);
    if (real == NULL) {
        real = (int (*)(FILE*))Next("fflush");
    }
    if (stream != NULL) {
        StreamStep("flush", stream);
    } else {
        /* Every stream: counted when one in scope is open. */
        int any = g_scope == ScopeAll;
        pthread_mutex_lock(&g_lock);
        for (int i = 0; i < kStreams && !any; ++i) {
            any = g_streams[i].file != NULL && g_streams[i].inScope;
        }
        pthread_mutex_unlock(&g_lock);
        if (any) {
            Step("flush", "(all streams)");
        }
    }
    return real(stream);
}

int fclose(FILE* stream) {
    static int (*real)(FILE*);
    if (real == NULL) {
        real = (int (*)(FILE*))Next("fclose");
    }
    if (StreamStep("close", stream)) {
        pthread_mutex_lock(&g_lock);
        FindStream(stream)->file = NULL;
        pthread_mutex_unlock(&g_lock);
    }
    return real(stream);
}

/* ---- Descriptors -------------------------------------------------------- */

int fsync(int fd) {
    static int (*real)(int);
    if (real == NULL) {
        real = (int (*)(int))Next("fsync");
    }
    FdStep("fsync", fd);
    int result = real(fd);
    if (result == 0) {
        MarkSynced(fd);
    }
    return result;
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (real == NULL) {
        real = (int (*)(int))Next("fdatasync");
    }
    FdStep("fdatasync", fd);
    int result = real(fd);
    if (result == 0) {
        MarkSynced(fd);
    }
    return result;
}

int fchmod(int fd, mode_t mode) {
    static int (*real)(int, mode_t);
    if (real == NULL) {
        real = (int (*)(int, mode_t))Next("fchmod");
    }
    FdStep("chmod", fd);
    return real(fd, mode);
}

/* ---- Names -------------------------------------------------------------- */

int renameat2(int oldDir, const char* oldPath, int newDir, const char* newPath, unsigned flags) {
    static int (*real)(int, const char*, int, const char*, unsigned);
    if (real == NULL) {
        real = (int (*)(int, const char*, int, const char*, unsigned))Next("renameat2");
    }
    PathStep("rename", oldDir, oldPath, newDir, newPath);
    struct stat replaced;
    int replaces = (flags & RENAME_NOREPLACE) == 0 &&
                   fstatat(newDir, newPath, &replaced, AT_SYMLINK_NOFOLLOW) == 0;
    int result = real(oldDir, oldPath, newDir, newPath, flags);
    if (result == 0 && replaces) {
        Forget(&replaced);
    }
    return result;
}

int renameat(int oldDir, const char* oldPath, int newDir, const char* newPath) {
    return renameat2(oldDir, oldPath, newDir, newPath, 0);
}

int rename(const char* oldPath, const char* newPath) {
    return renameat2(AT_FDCWD, oldPath, AT_FDCWD, newPath, 0);
}

int linkat(int oldDir, const char* oldPath, int newDir, const char* newPath, int flags) {
    static int (*real)(int, const char*, int, const char*, int);
    if (real == NULL) {
        real = (int (*)(int, const char*, int, const char*, int))Next("linkat");
    }
    PathStep("link", oldDir, oldPath, newDir, newPath);
    return real(oldDir, oldPath, newDir, newPath, flags);
}

int link(const char* oldPath, const char* newPath) {
    return linkat(AT_FDCWD, oldPath, AT_FDCWD, newPath, 0);
}

int unlinkat(int dir, const char* path, int flags) {
    static int (*real)(int, const char*, int);
    if (real == NULL) {
        real = (int (*)(int, const char*, int))Next("unlinkat");
    }
    PathStep("delete", dir, path, 0, NULL);
    struct stat info;
    int known = fstatat(dir, path, &info, AT_SYMLINK_NOFOLLOW) == 0;
    int result = real(dir, path, flags);
    if (result == 0 && known) {
        Forget(&info);
    }
    return result;
}

int unlink(const char* path) {
    return unlinkat(AT_FDCWD, path, 0);
}

int remove(const char* path) {
    struct stat info;
    if (lstat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        return unlinkat(AT_FDCWD, path, AT_REMOVEDIR);
    }
    return unlinkat(AT_FDCWD, path, 0);
}

int mkdirat(int dir, const char* path, mode_t mode) {
    static int (*real)(int, const char*, mode_t);
    if (real == NULL) {
        real = (int (*)(int, const char*, mode_t))Next("mkdirat");
    }
    PathStep("mkdir", dir, path, 0, NULL);
    return real(dir, path, mode);
}

int mkdir(const char* path, mode_t mode) {
    return mkdirat(AT_FDCWD, path, mode);
}

int fchmodat(int dir, const char* path, mode_t mode, int flags) {
    static int (*real)(int, const char*, mode_t, int);
    if (real == NULL) {
        real = (int (*)(int, const char*, mode_t, int))Next("fchmodat");
    }
    PathStep("chmod", dir, path, 0, NULL);
    return real(dir, path, mode, flags);
}

int chmod(const char* path, mode_t mode) {
    return fchmodat(AT_FDCWD, path, mode, 0);
}
