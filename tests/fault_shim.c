/* Fault injection for the save, loaded with LD_PRELOAD into a test's child
 * process. While armed (shim_arm), the calls of the arming thread are
 * logged in order, a call named by a rule fails at its Nth occurrence with
 * the rule's errno instead of running, and the process is killed with
 * SIGKILL right after the Kth call, as a crash would stop it.
 *
 * Rules: "name:nth:errno,name:nth:errno"; a negative errno delays the call
 * by that many milliseconds instead, and then runs it. The log has one line per call:
 * "name|path|detail", where path is the file the call works on (for a
 * descriptor, what /proc/self/fd says) and detail is what a test checks:
 * an open's flags and mode, a write's file mode and owner, a rename's
 * destination. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#define MAX_RULES 8

struct rule {
    char name[32];
    long nth;
    int err;
    long seen;
};

static struct rule rules[MAX_RULES];
static int rule_count;
static long armed_thread;
static long crash_after;
static long calls;
static char log_text[1 << 18];
static size_t log_length;

#define REAL(name) \
    static __typeof__(name)* real_##name; \
    if (!real_##name) real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

static long this_thread(void) { return syscall(SYS_gettid); }

void shim_arm(const char* spec, long crash) {
    rule_count = 0;
    char copy[512];
    snprintf(copy, sizeof copy, "%s", spec);
    for (char* item = strtok(copy, ","); item && rule_count < MAX_RULES; item = strtok(NULL, ",")) {
        struct rule* r = &rules[rule_count];
        if (sscanf(item, "%31[^:]:%ld:%d", r->name, &r->nth, &r->err) == 3) {
            r->seen = 0;
            ++rule_count;
        }
    }
    crash_after = crash;
    calls = 0;
    log_length = 0;
    log_text[0] = '\0';
    armed_thread = this_thread();
}

const char* shim_disarm(void) {
    armed_thread = 0;
    return log_text;
}

static int armed(void) { return armed_thread != 0 && armed_thread == this_thread(); }

static void fd_path(int fd, char* out, size_t size) {
    REAL(readlink);
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    ssize_t n = real_readlink(proc, out, size - 1);
    out[n < 0 ? 0 : n] = '\0';
}

static void record(const char* name, const char* path, const char* detail) {
    int n = snprintf(log_text + log_length, sizeof log_text - log_length, "%s|%s|%s\n", name, path ? path : "",
                     detail ? detail : "");
    if (n > 0 && (size_t)n < sizeof log_text - log_length) log_length += (size_t)n;
}

/* Logs the call; returns the errno to fail it with, or 0 to run it. */
static int before(const char* name, const char* path, const char* detail) {
    record(name, path, detail);
    ++calls;
    int err = 0;
    for (int i = 0; i < rule_count; ++i) {
        if (strcmp(rules[i].name, name) == 0 && ++rules[i].seen == rules[i].nth && err == 0) err = rules[i].err;
    }
    return err;
}

/* A rule's delay: a race with another process, held open at one call. */
static int delayed(int err) {
    if (err >= 0) return err;
    usleep((useconds_t)(-err) * 1000);
    return 0;
}

static void after(void) {
    if (crash_after > 0 && calls == crash_after) kill(getpid(), SIGKILL);
}

static void fd_detail(int fd, char* detail, size_t size) {
    REAL(fstat);
    struct stat st;
    if (real_fstat(fd, &st) == 0) {
        snprintf(detail, size, "mode=%o uid=%d gid=%d", (unsigned)(st.st_mode & 07777), (int)st.st_uid,
                 (int)st.st_gid);
    } else {
        detail[0] = '\0';
    }
}

/* One wrapper per call: log, maybe fail, run, maybe crash. */
#define WRAP(ret, name, path, detail, call)  \
    REAL(name);                              \
    if (!armed()) return real_##name call;   \
    int injected = delayed(before(#name, path, detail)); \
    if (injected) {                          \
        after();                             \
        errno = injected;                    \
        return (ret)-1;                      \
    }                                        \
    ret result = real_##name call;           \
    int saved = errno;                       \
    after();                                 \
    errno = saved;                           \
    return result;

#define WRAP_FD(ret, name, fd, call)                       \
    char path[4096] = "", detail[96] = "";                 \
    if (armed()) {                                         \
        fd_path(fd, path, sizeof path);                    \
        fd_detail(fd, detail, sizeof detail);              \
    }                                                      \
    WRAP(ret, name, path, detail, call)

/* The mode an open is given, read only where its flags say there is one, and the call's detail for the log. */
#define OPEN_MODE_AND_DETAIL(flags)                                                        \
    mode_t mode = 0;                                                                       \
    if ((flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE) {                       \
        va_list args;                                                                      \
        va_start(args, flags);                                                             \
        mode = va_arg(args, mode_t);                                                       \
        va_end(args);                                                                      \
    }                                                                                      \
    char detail[64];                                                                       \
    snprintf(detail, sizeof detail, "flags=%x mode=%o", (unsigned)flags, (unsigned)mode);

int open(const char* file, int flags, ...) {
    OPEN_MODE_AND_DETAIL(flags)
    WRAP(int, open, file, detail, (file, flags, mode))
}

int close(int fd) { WRAP_FD(int, close, fd, (fd)) }
ssize_t pread(int fd, void* buf, size_t n, off_t at) { WRAP_FD(ssize_t, pread, fd, (fd, buf, n, at)) }
ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) { WRAP_FD(ssize_t, pwrite, fd, (fd, buf, n, at)) }
ssize_t write(int fd, const void* buf, size_t n) { WRAP_FD(ssize_t, write, fd, (fd, buf, n)) }
int fsync(int fd) { WRAP_FD(int, fsync, fd, (fd)) }
int ftruncate(int fd, off_t length) { WRAP_FD(int, ftruncate, fd, (fd, length)) }
int fstat(int fd, struct stat* st) { WRAP_FD(int, fstat, fd, (fd, st)) }
int fchmod(int fd, mode_t mode) { WRAP_FD(int, fchmod, fd, (fd, mode)) }
int fchown(int fd, uid_t uid, gid_t gid) { WRAP_FD(int, fchown, fd, (fd, uid, gid)) }
int flock(int fd, int op) { WRAP_FD(int, flock, fd, (fd, op)) }
int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    WRAP_FD(int, fsetxattr, fd, (fd, name, value, size, flags))
}
/* Every command the save uses takes a pointer or an int, both passed as a machine word. */
int fcntl(int fd, int cmd, ...) {
    va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    WRAP_FD(int, fcntl, fd, (fd, cmd, arg))
}
int stat(const char* file, struct stat* st) { WRAP(int, stat, file, "", (file, st)) }
int access(const char* file, int how) { WRAP(int, access, file, "", (file, how)) }
int faccessat(int dir, const char* file, int how, int flags) {
    WRAP(int, faccessat, file, "", (dir, file, how, flags))
}
ssize_t readlink(const char* file, char* buf, size_t size) { WRAP(ssize_t, readlink, file, "", (file, buf, size)) }
int unlink(const char* file) { WRAP(int, unlink, file, "", (file)) }
int rename(const char* from, const char* to) { WRAP(int, rename, from, to, (from, to)) }
int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    WRAP(int, linkat, to, from, (from_dir, from, to_dir, to, flags))
}
ssize_t listxattr(const char* file, char* list, size_t size) {
    WRAP(ssize_t, listxattr, file, "", (file, list, size))
}
ssize_t getxattr(const char* file, const char* name, void* value, size_t size) {
    WRAP(ssize_t, getxattr, file, name, (file, name, value, size))
}
int getentropy(void* buf, size_t size) { WRAP(int, getentropy, "", "", (buf, size)) }
/* A name relative to a directory's descriptor, logged as the path it stands for. */
static void at_path(int dir, const char* file, char* out, size_t size) {
    if (dir == AT_FDCWD || file[0] == '/') {
        snprintf(out, size, "%s", file);
        return;
    }
    char folder[4096] = "";
    fd_path(dir, folder, sizeof folder);
    snprintf(out, size, strcmp(file, ".") == 0 ? "%s" : "%s/%s", folder, file);
}

#define WRAP_AT(ret, name, dir, file, detail, call) \
    char where[8192] = "";                          \
    if (armed()) at_path(dir, file, where, sizeof where); \
    WRAP(ret, name, where, detail, call)

int unlinkat(int dir, const char* file, int flags) { WRAP_AT(int, unlinkat, dir, file, "", (dir, file, flags)) }
int openat(int dir, const char* file, int flags, ...) {
    OPEN_MODE_AND_DETAIL(flags)
    WRAP_AT(int, openat, dir, file, detail, (dir, file, flags, mode))
}
int renameat(int from_dir, const char* from, int to_dir, const char* to) {
    char source[8192] = "";
    if (armed()) at_path(from_dir, from, source, sizeof source);
    WRAP_AT(int, renameat, to_dir, to, source, (from_dir, from, to_dir, to))
}
int mkdirat(int dir, const char* file, mode_t mode) { WRAP_AT(int, mkdirat, dir, file, "", (dir, file, mode)) }
int fstatat(int dir, const char* file, struct stat* st, int flags) {
    WRAP_AT(int, fstatat, dir, file, "", (dir, file, st, flags))
}

DIR* opendir(const char* file) {
    REAL(opendir);
    if (!armed()) return real_opendir(file);
    int injected = before("opendir", file, "");
    if (injected) {
        after();
        errno = injected;
        return NULL;
    }
    DIR* result = real_opendir(file);
    after();
    return result;
}
