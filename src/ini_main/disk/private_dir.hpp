// The per-user directory that holds the journals of in-place saves and the
// lock of one user's writers and loaders (rules J1, J2, L4 and J6-J8 of
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

// What a load or a save needs to know of a file, from one statx() where
// the system has it: its stat, and its identity.
struct Status {
    struct stat st {};
    Identity id;
};
int status_of(int fd, Status& out) noexcept;

// The effective user's private directory, held open for the process: a
// descriptor that every name in it is made relative to, so that what the
// path leads to later changes nothing. Found, checked and opened once per
// effective user and environment; -1 where none can be had (J1, J6).
int private_directory() noexcept;

// Opens this process's first description of the lock file in `directory`
// where none is open yet. Called before the target is opened, so that the
// descriptors a process keeps take the lowest numbers free and leave no
// gaps below those it opens and closes later.
void open_lock_file(int directory) noexcept;

// The lock that nobody but this user can take, for one file: a byte of the
// user's one lock file in the private directory, at a hash of the file's
// identity (the portable build: one of a fixed set of lock files, by the
// same hash). Two files that share a byte wait for each other, never more.
// Waits only for this user's own writers and loaders. `key`: Identity::key.
class PrivateLock {
public:
    PrivateLock() = default;
    PrivateLock(const PrivateLock&) = delete;
    PrivateLock& operator=(const PrivateLock&) = delete;
    ~PrivateLock() { release(); }

    // 0 with the lock held; EINTR when a signal came during the wait (ask
    // again with the same `started`); EAGAIN when `bounds` ran out; another
    // errno when it cannot be had.
    int take(int directory, const std::string& key, LockKind kind, Started started, Bounds bounds = {});
    // Turns the held exclusive lock into a shared one without letting go.
    int share() noexcept;
    bool held() const noexcept { return fd_ >= 0; }
    void release() noexcept;

private:
    int fd_ = -1;
    int directory_ = -1;
    LockByte byte_{};
    unsigned generation_ = 0;
};

}  // namespace ini::posix
