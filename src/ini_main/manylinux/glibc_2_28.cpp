// Linked into the wheels' modules only (KESTRA_MANYLINUX), which must load on any x86_64 glibc since 2.28.
// The headers of the glibc we build with bind a few calls to symbols that 2.28 lacks; each gets a definition
// here, which the module's own references take before the C library's (the export map keeps them local).
// tools/check-wheels names any symbol newer than 2.28 that a change brings in.
//
// <sys/stat.h> is left out on purpose: it would rename these definitions to the 64-bit names, which are
// defined here too, and its `struct stat` would share a name with the function. On x86_64 `struct stat` and
// `struct stat64` are one layout, so the buffer passes through untyped.

namespace {

// glibc 2.33 made stat, fstat, lstat and fstatat functions of their own (GLIBC_2.33). Until then they were
// inline wrappers around these, which still export them under their first version; the first argument is the
// layout of `struct stat` the caller was built for (1 on x86_64).
constexpr int stat_layout = 1;

}  // namespace

extern "C" {

int kestra_xstat(int layout, const char* path, void* buf);
int kestra_lxstat(int layout, const char* path, void* buf);
int kestra_fxstat(int layout, int fd, void* buf);
int kestra_fxstatat(int layout, int dir, const char* path, void* buf, int flags);
__asm__(".symver kestra_xstat, __xstat@GLIBC_2.2.5");
__asm__(".symver kestra_lxstat, __lxstat@GLIBC_2.2.5");
__asm__(".symver kestra_fxstat, __fxstat@GLIBC_2.2.5");
__asm__(".symver kestra_fxstatat, __fxstatat@GLIBC_2.4");

int stat(const char* path, void* buf) { return kestra_xstat(stat_layout, path, buf); }
int stat64(const char* path, void* buf) { return kestra_xstat(stat_layout, path, buf); }
int lstat(const char* path, void* buf) { return kestra_lxstat(stat_layout, path, buf); }
int lstat64(const char* path, void* buf) { return kestra_lxstat(stat_layout, path, buf); }
int fstat(int fd, void* buf) { return kestra_fxstat(stat_layout, fd, buf); }
int fstat64(int fd, void* buf) { return kestra_fxstat(stat_layout, fd, buf); }
int fstatat(int dir, const char* path, void* buf, int flags) {
    return kestra_fxstatat(stat_layout, dir, path, buf, flags);
}
int fstatat64(int dir, const char* path, void* buf, int flags) {
    return kestra_fxstatat(stat_layout, dir, path, buf, flags);
}

// libstdc++ (its headers and its static archive) reads this flag, new in glibc 2.32, to skip atomic reference
// counts while a process has one thread. Never set, it says "perhaps several threads": always atomic, always right.
char __libc_single_threaded = 0;

}  // extern "C"
