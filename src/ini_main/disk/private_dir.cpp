#include "disk/private_dir.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#if __has_include(<sys/sysmacros.h>)
#include <sys/sysmacros.h>  // makedev, for statx
#endif
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

#include "disk/digest.hpp"

#if defined(STATX_BTIME) && !defined(KESTRA_PORTABLE)
#define KESTRA_STATX 1
#endif
#if defined(F_OFD_SETLK) && !defined(KESTRA_PORTABLE)
#define KESTRA_OFD_LOCKS 1
#endif

namespace ini::posix {

namespace {

bool absolute(std::string_view path) noexcept { return !path.empty() && path.front() == '/'; }

// J1: a directory that only this user and root can change. A sticky one of
// root's (/tmp, /var/tmp) counts too: there nobody else can rename or
// remove what this user or root put in it, and the next step is checked.
bool trusted(const struct stat& st, uid_t me) noexcept {
    if (!S_ISDIR(st.st_mode) || (st.st_uid != me && st.st_uid != 0)) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0);
}

// Opens the directory `name` in `at` without following a link, and checks
// it as `accept` asks: the descriptor, or -1.
template <class Accept>
int open_checked(int at, const char* name, Accept accept) noexcept {
    Fd fd(again([&] { return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    struct stat st;
    if (!fd.valid() || again([&] { return ::fstat(fd.get(), &st); }) != 0 || !accept(st)) return -1;
    return fd.release();
}

// J6: walks from "/" one component at a time, each opened without
// following links and checked by its descriptor, so that what is checked is
// what is held. The path is resolved first: links on the way (a home under
// a linked /home) are followed once, by the kernel, and a swap after that
// fails the walk. With `own`, the last directory must be this user's own.
int walk(const std::string& path, uid_t me, bool own = true) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return -1;
    const auto any = [me](const struct stat& st) { return trusted(st, me); };
    Fd at(open_checked(AT_FDCWD, "/", any));
    std::string_view rest = resolved;
    struct stat st;
    while (at.valid()) {
        while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
        if (rest.empty()) break;
        const size_t end = std::min(rest.find('/'), rest.size());
        const std::string name(rest.substr(0, end));
        rest.remove_prefix(end);
        at.reset(open_checked(at.get(), name.c_str(), any));
    }
    if (!at.valid() || again([&] { return ::fstat(at.get(), &st); }) != 0 || (own && st.st_uid != me)) return -1;
    return at.release();
}

// One step down from a directory of this user, made 0700 where missing:
// this user's own, and writable by nobody else.
int step_down(int at, const char* name, uid_t me) noexcept {
    const auto own = [me](const struct stat& st) { return trusted(st, me) && st.st_uid == me; };
    const int fd = open_checked(at, name, own);
    if (fd >= 0 || errno != ENOENT) return fd;
    if (again([&] { return ::mkdirat(at, name, 0700); }) != 0 && errno != EEXIST) return -1;
    return open_checked(at, name, own);
}

// The base directory, held: walked as J6 says, and, with `make`, the part
// of it that does not exist yet made below the deepest part that does, as
// directories of this user's own, 0700.
int open_base(const std::string& base, uid_t me, bool make) {
    std::string existing = base;
    std::vector<std::string> missing;
    while (make && existing != "/" && ::access(existing.c_str(), F_OK) != 0 && errno == ENOENT) {
        missing.push_back(base_name_of(existing));
        existing = directory_of(existing);
    }
    if (missing.empty()) return walk(base, me);
    // Its deepest existing part need not be this user's own, as /tmp is not.
    Fd at(walk(existing, me, false));
    for (auto name = missing.rbegin(); name != missing.rend() && at.valid(); ++name) {
        if (*name == "." || *name == ".." || name->empty()) return -1;
        at.reset(step_down(at.get(), name->c_str(), me));
    }
    return at.release();
}

// `base`/`below`..., from a base directory this user owns.
int open_under(const std::string& base, std::initializer_list<const char*> below, uid_t me, bool make = false) {
    if (!absolute(base)) return -1;
    Fd at(open_base(base, me, make));
    for (const char* name : below) {
        if (!at.valid()) return -1;
        at.reset(step_down(at.get(), name, me));
    }
    return at.release();
}

std::string account_home(uid_t me) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(me, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr) {
        return {};
    }
    return found->pw_dir;
}

// Where no home of this user's own can be had: a directory of its own in
// the system's lasting temporary directory, as tmux and ssh-agent make
// theirs. One that somebody else made first (its owner, its mode, a link)
// is refused, and the saves go on without journals (S6).
int per_user_directory(uid_t me) {
    const std::string name = "kestra-ini-" + std::to_string(me);
    Fd tmp(walk("/var/tmp", me, false));  // root's, not this user's
    if (!tmp.valid()) return -1;
    if (again([&] { return ::mkdirat(tmp.get(), name.c_str(), 0700); }) != 0 && errno != EEXIST) return -1;
    return open_checked(tmp.get(), name.c_str(), [me](const struct stat& st) {
        return S_ISDIR(st.st_mode) && st.st_uid == me && (st.st_mode & 07777) == 0700;
    });
}

// J1: $XDG_STATE_HOME/kestra-ini, else ~/.local/state/kestra-ini of $HOME,
// else of the account's home, each only where the walk above accepts it;
// else the per-user directory.
int find_private_directory(uid_t me, const std::string& state, const std::string& home) {
    // A state home is made where missing, as XDG base directories are; a
    // home never is.
    if (int fd = open_under(state, {"kestra-ini"}, me, true); fd >= 0) return fd;
    if (int fd = open_under(home, {".local", "state", "kestra-ini"}, me); fd >= 0) return fd;
    const std::string account = account_home(me);
    if (account != home) {
        if (int fd = open_under(account, {".local", "state", "kestra-ini"}, me); fd >= 0) return fd;
    }
    return per_user_directory(me);
}

struct Found {
    uid_t uid;
    std::string state, home;
    int fd;
};

std::mutex found_guard;
std::vector<Found> found;

// L4: every lock of this user is a byte of one lock file, at a hash of the
// file's key. Open-file-description locks of one description never conflict
// with each other, so each holder borrows a description of its own from a
// pool, one per thread that holds a lock at one time.
struct Pool {
    int directory;
    std::vector<int> idle;
};

#ifdef KESTRA_OFD_LOCKS
std::mutex pool_guard;
std::vector<Pool> pools;
// A child of fork() shares its parent's descriptions, and with them their
// locks: it starts a pool of its own, and lets its parent's be.
unsigned generation = 0;

void before_fork() noexcept { pool_guard.lock(); }
void parent_after_fork() noexcept { pool_guard.unlock(); }
void child_after_fork() noexcept {
    for (const Pool& pool : pools) {
        for (const int fd : pool.idle) ::close(fd);
    }
    pools.clear();
    ++generation;
    pool_guard.unlock();
}

bool current(unsigned borrowed_generation) noexcept {
    const std::lock_guard<std::mutex> held(pool_guard);
    return borrowed_generation == generation;
}

int borrow(int directory, unsigned& borrowed_generation) {
    // Registered once, by a function-local static rather than std::call_once, whose pthread_once is a
    // glibc 2.34 symbol that the wheels may not need.
    [[maybe_unused]] static const int registered = ::pthread_atfork(before_fork, parent_after_fork, child_after_fork);
    {
        const std::lock_guard<std::mutex> held(pool_guard);
        borrowed_generation = generation;
        for (Pool& pool : pools) {
            if (pool.directory != directory || pool.idle.empty()) continue;
            const int fd = pool.idle.back();
            pool.idle.pop_back();
            return fd;
        }
    }
    return again([&] { return ::openat(directory, "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600); });
}

void give_back(int directory, int fd, unsigned borrowed_generation) noexcept {
    try {
        const std::lock_guard<std::mutex> held(pool_guard);
        if (borrowed_generation == generation) {
            for (Pool& pool : pools) {
                if (pool.directory != directory) continue;
                pool.idle.push_back(fd);
                return;
            }
            pools.push_back(Pool{directory, {fd}});
            return;
        }
    } catch (...) {
    }
    ::close(fd);
}
void warm_pool(int directory) noexcept {
    try {
        {
            const std::lock_guard<std::mutex> held(pool_guard);
            for (const Pool& pool : pools) {
                if (pool.directory == directory) return;
            }
        }
        unsigned borrowed_generation = 0;
        const int fd = borrow(directory, borrowed_generation);
        if (fd >= 0) give_back(directory, fd, borrowed_generation);
    } catch (...) {
    }
}
#else
// The portable build's flock() locks a whole file, for the description
// that took it: one of 64 lock files, chosen by the same hash, each opened
// by its holder.
constexpr uint64_t portable_lock_files = 64;

int borrow_file(int directory, LockByte byte) {
    const std::string name = "lock-" + std::to_string(static_cast<uint64_t>(byte) % portable_lock_files);
    return again([&] { return ::openat(directory, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600); });
}
#endif

constexpr off_t lock_span = off_t{1} << 62;

// The private directories whose leftovers were looked for.
std::mutex tidy_guard;
std::set<int> tidied;

// What a save's journal is called while it is written (disk/journal.cpp),
// and nothing else: a key, then that suffix.
constexpr std::string_view unfinished_suffix = ".journal.new";

bool is_key(std::string_view name) noexcept {
    constexpr size_t hex = 16;
    const auto all_hex = [](std::string_view s) {
        return s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
    };
    if (name.size() != hex + 2 + hex && name.size() != hex + 2 + 2 * hex) return false;
    if (name[hex] != '-' || (name[hex + 1] != 'b' && name[hex + 1] != 'd')) return false;
    if (name[hex + 1] == 'd' && name.size() != hex + 2 + hex) return false;
    return all_hex(name.substr(0, hex)) && all_hex(name.substr(hex + 2));
}

// L4: a process killed while it wrote a journal leaves its second name. A
// journal has that name only while its writer holds the file's lock, so
// one whose lock is free is stale. Looked for once per process and
// directory, when a lock there is first let go of: after the load or save
// that took it, never in its way. Only names of exactly that pattern go,
// through the directory's descriptor.
void remove_leftovers(int directory) {
    {
        const std::lock_guard<std::mutex> held(tidy_guard);
        if (!tidied.insert(directory).second) return;
    }
    const int listed = again([&] { return ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (listed < 0) return;
    DIR* dir = ::fdopendir(listed);
    if (dir == nullptr) {
        ::close(listed);
        return;
    }
    std::vector<std::string> keys;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (!name.ends_with(unfinished_suffix)) continue;
        const std::string_view key = name.substr(0, name.size() - unfinished_suffix.size());
        if (is_key(key)) keys.emplace_back(key);
    }
    ::closedir(dir);
    for (const std::string& key : keys) {
        PrivateLock lock;
        if (lock.take(directory, key, LockKind::exclusive, Started::now(), Bounds{0, 0}) != 0) continue;
        const std::string name = key + std::string(unfinished_suffix);
        again([&] { return ::unlinkat(directory, name.c_str(), 0); });
    }
}

}  // namespace

std::string Identity::key() const {
    std::string key = hex64(inode);
    key += device != 0 ? "-d" + hex64(device) : "-b" + hex64(birth_seconds) + hex64(birth_nanoseconds);
    return key;
}

int status_of(int fd, Status& out) noexcept {
    out.id = Identity{};
#ifdef KESTRA_STATX
    struct statx sx;
    if (again([&] { return ::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx); }) == 0) {
        struct stat& st = out.st;
        st = {};
        st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        st.st_ino = static_cast<ino_t>(sx.stx_ino);
        st.st_mode = sx.stx_mode;
        st.st_nlink = sx.stx_nlink;
        st.st_uid = sx.stx_uid;
        st.st_gid = sx.stx_gid;
        st.st_size = static_cast<off_t>(sx.stx_size);
        st.st_mtim = {static_cast<time_t>(sx.stx_mtime.tv_sec), sx.stx_mtime.tv_nsec};
        st.st_ctim = {static_cast<time_t>(sx.stx_ctime.tv_sec), sx.stx_ctime.tv_nsec};
        out.id.inode = sx.stx_ino;
        if ((sx.stx_mask & STATX_BTIME) != 0) {
            out.id.birth_seconds = static_cast<uint64_t>(sx.stx_btime.tv_sec);
            out.id.birth_nanoseconds = sx.stx_btime.tv_nsec;
        } else {
            out.id.device = static_cast<uint64_t>(st.st_dev) | 1ULL << 63;  // never 0
        }
        return 0;
    }
    if (errno != ENOSYS && errno != EPERM) return errno;  // a seccomp filter may refuse statx
#endif
    if (again([&] { return ::fstat(fd, &out.st); }) != 0) return errno;
    out.id.inode = static_cast<uint64_t>(out.st.st_ino);
    out.id.device = static_cast<uint64_t>(out.st.st_dev) | 1ULL << 63;
    return 0;
}

int private_directory() noexcept {
    try {
        // J7: whose directory is decided at each use: a process that took
        // another uid finds that account's own.
        const uid_t me = ::geteuid();
        const char* state = std::getenv("XDG_STATE_HOME");
        const char* home = std::getenv("HOME");
        Found key{me, state != nullptr ? state : "", home != nullptr ? home : "", -1};
        const std::lock_guard<std::mutex> held(found_guard);
        for (const Found& f : found) {
            if (f.uid == key.uid && f.state == key.state && f.home == key.home) return f.fd;
        }
        key.fd = find_private_directory(me, key.state, key.home);
        // Out of descriptors or memory for now: looked for again next time.
        if (key.fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOMEM)) return -1;
        found.push_back(std::move(key));
        return found.back().fd;
    } catch (...) {
        return -1;
    }
}

void open_lock_file([[maybe_unused]] int directory) noexcept {
#ifdef KESTRA_OFD_LOCKS
    if (directory >= 0) warm_pool(directory);
#endif
}

int PrivateLock::take(int directory, const std::string& key, LockKind kind, Started started, Bounds bounds) {
    release();
    byte_ = static_cast<LockByte>(static_cast<off_t>(fnv1a(key) % static_cast<uint64_t>(lock_span)));
#ifdef KESTRA_OFD_LOCKS
    const int fd = borrow(directory, generation_);
#else
    const int fd = borrow_file(directory, byte_);
#endif
    if (fd < 0) return errno;
    LockOutcome outcome = LockOutcome::locked;
    int err = wait_for_lock(fd, kind, byte_, started, outcome, Holders::this_user, bounds);
    if (err == 0 && outcome != LockOutcome::locked) err = EAGAIN;
    fd_ = fd;
    directory_ = directory;
    if (err != 0) release();
    return err;
}

int PrivateLock::share() noexcept { return share_lock(fd_, byte_); }

void PrivateLock::release() noexcept {
    if (fd_ < 0) return;
    const int directory = directory_;
#ifdef KESTRA_OFD_LOCKS
    // A child of fork() must not let go of its parent's lock.
    if (current(generation_)) unlock(fd_, byte_);
    give_back(directory, fd_, generation_);
#else
    ::close(fd_);
#endif
    fd_ = -1;
    try {
        remove_leftovers(directory);
    } catch (...) {
        // Tidying only: the next process looks again.
    }
}

}  // namespace ini::posix
