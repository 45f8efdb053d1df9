#include "disk/private_dir.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <dirent.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

#include "disk/digest.hpp"

#if defined(STATX_BTIME) && !defined(KESTRA_PORTABLE)
#define KESTRA_BIRTH_TIME 1
#endif

namespace ini::posix {

namespace {

constexpr const char* folder_name = "/kestra-ini";

bool absolute(const char* path) noexcept { return path != nullptr && path[0] == '/'; }

// The user's home: $HOME, else the password database's entry.
std::string home() {
    if (const char* env = std::getenv("HOME"); absolute(env)) return env;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        !absolute(found->pw_dir)) {
        return {};
    }
    return found->pw_dir;
}

// Makes the directory and the missing ones above it, each 0700.
int make_directories(const std::string& path) {
    struct stat st;
    if (again([&] { return ::stat(path.c_str(), &st); }) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT) return errno;
    const std::string parent = directory_of(path);
    if (parent != path) {
        if (int err = make_directories(parent)) return err;
    }
    if (again([&] { return ::mkdir(path.c_str(), 0700); }) != 0 && errno != EEXIST) return errno;
    return 0;
}

// StrictModes: from the directory up to the first one owned by root, each
// is a directory of the effective user or root that nobody else may write.
// ACL entries that grant writing show in the group bits (the mask).
int check_components(const std::string& directory) {
    char resolved[PATH_MAX];
    if (::realpath(directory.c_str(), resolved) == nullptr) return errno;
    std::string at = resolved;
    const uid_t me = ::geteuid();
    for (;;) {
        struct stat st;
        if (again([&] { return ::stat(at.c_str(), &st); }) != 0) return errno;
        if (!S_ISDIR(st.st_mode)) return ENOTDIR;
        if ((st.st_uid != me && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return EPERM;
        if (st.st_uid == 0 || at == "/") return 0;
        at = directory_of(at);
    }
}

bool same_file(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

constexpr std::string_view lock_suffix = ".lock";
// A journal's second name while it is written (disk/journal.cpp).
constexpr std::string_view unfinished_journal_suffix = ".journal.new";

// L4: a process killed while it held a file's private lock leaves the lock
// file, and one killed while it wrote a journal the journal's second name.
// A live holder keeps its lock file locked, and a journal has its second
// name only while its writer holds that lock: whatever of these nobody holds
// the lock of is stale. Looked for once per process and directory, as the
// stale temporaries beside a target are (S7), when a lock there is first let
// go of: after the load or save that took it, never in its way.
void remove_leftovers(const std::string& directory) {
    static std::mutex guard;
    static std::set<std::string> looked_at;
    {
        const std::lock_guard<std::mutex> held(guard);
        if (!looked_at.insert(directory).second) return;
    }
    std::set<std::string> keys;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        for (const std::string_view suffix : {lock_suffix, unfinished_journal_suffix}) {
            if (name.size() > suffix.size() && name.ends_with(suffix)) {
                keys.emplace(name.substr(0, name.size() - suffix.size()));
            }
        }
    }
    ::closedir(dir);
    for (const std::string& key : keys) {
        PrivateLock lock;
        if (lock.take_key(directory, key, LockKind::exclusive, Started::now(), Bounds{0, 0}) != 0) continue;
        const std::string unfinished = directory + "/" + key + std::string(unfinished_journal_suffix);
        again([&] { return ::unlink(unfinished.c_str()); });
    }  // letting go of the lock removes its file
}

}  // namespace

std::string Identity::key() const {
    std::string key = hex64(inode);
    key += device != 0 ? "-d" + hex64(device) : "-b" + hex64(birth_seconds) + hex64(birth_nanoseconds);
    return key;
}

Identity identity_of(int fd, const struct stat& st) noexcept {
    Identity id;
    id.inode = static_cast<uint64_t>(st.st_ino);
#ifdef KESTRA_BIRTH_TIME
    struct statx sx;
    if (again([&] { return ::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx); }) == 0 &&
        (sx.stx_mask & STATX_BTIME) != 0) {
        id.birth_seconds = static_cast<uint64_t>(sx.stx_btime.tv_sec);
        id.birth_nanoseconds = sx.stx_btime.tv_nsec;
        return id;
    }
#else
    (void)fd;
#endif
    id.device = static_cast<uint64_t>(st.st_dev) | 1ULL << 63;  // never 0
    return id;
}

int private_directory(std::string& out) {
    try {
        const char* state = std::getenv("XDG_STATE_HOME");
        std::string base = absolute(state) ? std::string(state) : home();
        if (base.empty()) return ENOENT;
        if (!absolute(state)) base += "/.local/state";
        out = base + folder_name;
        if (int err = make_directories(out)) return err;
        return check_components(out);
    } catch (...) {
        return ENOMEM;
    }
}

int PrivateLock::take(const std::string& directory, const Identity& file, LockKind kind, Started started) {
    return take_key(directory, file.key(), kind, started, Bounds{});
}

int PrivateLock::take_key(const std::string& directory, const std::string& key, LockKind kind, Started started,
                          Bounds bounds) {
    release();
    name_ = directory + "/" + key + std::string(lock_suffix);
    for (;;) {
        fd_.reset(again([&] { return ::open(name_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600); }));
        if (!fd_.valid()) return errno;
        LockOutcome outcome;
        if (int err = wait_for_lock(fd_.get(), kind, LockByte::writer, started, outcome, Holders::this_user,
                                    bounds)) {
            fd_.close();
            return err;
        }
        if (outcome != LockOutcome::locked) {
            fd_.close();
            return EAGAIN;
        }
        // Whoever let go last may have removed the lock file meanwhile: a
        // lock on a file without that name holds off nobody.
        struct stat opened, named;
        if (again([&] { return ::fstat(fd_.get(), &opened); }) != 0) return errno;
        if (again([&] { return ::lstat(name_.c_str(), &named); }) == 0 && same_file(opened, named)) return 0;
    }
}

int PrivateLock::share() noexcept { return share_lock(fd_.get(), LockByte::writer); }

void PrivateLock::release() noexcept {
    if (!fd_.valid()) return;
    // The last holder removes the file; those waiting on it then find that
    // its name leads elsewhere and start again.
    if (lock_at_once(fd_.get(), LockKind::exclusive, LockByte::writer) == 0) {
        again([&] { return ::unlink(name_.c_str()); });
    }
    fd_.close();
    try {
        remove_leftovers(directory_of(name_));
    } catch (...) {
        // Tidying only: the next process looks again.
    }
}

}  // namespace ini::posix
