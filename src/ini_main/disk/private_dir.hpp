// The per-user directory that holds the journals of in-place saves and the
// locks of one user's writers and loaders (rules J1, J2 and L4 of
// disk/PROTOCOL.md): nobody else can put anything there, so nothing found
// there can make us write what someone else chose.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "disk/file_lock.hpp"
#include "disk/posix_io.hpp"

namespace ini::posix {

// Which file a journal or a lock belongs to, by what a reboot keeps: the
// inode number and, where the system records it, the file's birth time,
// which tells a file from a later one that got the same inode. The device
// number changes across reboots (btrfs, NFS, device-mapper), so it stands
// in only where no birth time is recorded.
struct Identity {
    uint64_t inode = 0;
    uint64_t birth_seconds = 0;
    uint64_t birth_nanoseconds = 0;
    uint64_t device = 0;  // 0 where the birth time is known
    bool operator==(const Identity&) const = default;
    // The file name part for this file in the private directory.
    std::string key() const;
};

Identity identity_of(int fd, const struct stat& st) noexcept;

// $XDG_STATE_HOME/kestra-ini, else ~/.local/state/kestra-ini, made 0700
// where missing and checked as OpenSSH's StrictModes checks ~/.ssh: it and
// every directory above it up to one owned by root are owned by the
// effective user or root and writable by nobody else. An errno where no
// such directory can be had (no home, a read-only one, a check failed).
int private_directory(std::string& out);

// A lock that nobody but this user can take, for one file: a lock file in
// the private directory, made for the occasion and removed by whoever lets
// go of it last. Waits only for this user's own writers and loaders.
class PrivateLock {
public:
    PrivateLock() = default;
    PrivateLock(const PrivateLock&) = delete;
    PrivateLock& operator=(const PrivateLock&) = delete;
    ~PrivateLock() { release(); }

    // 0 with the lock held; EINTR when a signal came during the wait (ask
    // again with the same `started`); another errno when it cannot be had.
    int take(const std::string& directory, const Identity& file, LockKind kind, Started started);
    // As take, for the file whose key (Identity::key) is `key`, within `bounds`.
    int take_key(const std::string& directory, const std::string& key, LockKind kind, Started started,
                 Bounds bounds);
    // Turns the held exclusive lock into a shared one without letting go.
    int share() noexcept;
    bool held() const noexcept { return fd_.valid(); }
    void release() noexcept;

private:
    Fd fd_;
    std::string name_;
};

}  // namespace ini::posix
