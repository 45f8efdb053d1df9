#include "disk/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "disk/posix_io.hpp"

#if defined(F_OFD_SETLK) && !defined(KESTRA_PORTABLE)
#define KESTRA_OFD_LOCKS 1
#endif

namespace ini::posix {

namespace {

constexpr int64_t nanoseconds_per_millisecond = 1000000;
constexpr int64_t last_resort_factor = 6;

int set_flock(int fd, int operation) noexcept {
    if (again([&] { return ::flock(fd, operation | LOCK_NB); }) == 0) return 0;
    return errno == EWOULDBLOCK ? EAGAIN : errno;
}

#ifdef KESTRA_OFD_LOCKS
struct flock lock_request(short type, LockByte byte) noexcept {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = static_cast<off_t>(byte);
    request.l_len = 1;
    return request;
}

int set_lock(int fd, short type, LockByte byte) noexcept {
    if (byte == LockByte::whole) {
        return set_flock(fd, type == F_UNLCK ? LOCK_UN : type == F_WRLCK ? LOCK_EX : LOCK_SH);
    }
    struct flock request = lock_request(type, byte);
    if (again([&] { return ::fcntl(fd, F_OFD_SETLK, &request); }) == 0) return 0;
    return errno == EACCES ? EAGAIN : errno;
}

// 0 when taken, EAGAIN while someone else holds a conflicting lock.
int try_lock(int fd, LockKind kind, LockByte byte) noexcept {
    return set_lock(fd, kind == LockKind::exclusive ? F_WRLCK : F_RDLCK, byte);
}

LockOutcome who_holds(int fd, LockKind kind, LockByte byte) noexcept {
    if (byte == LockByte::whole) return LockOutcome::held_by_reader;
    struct flock request = lock_request(kind == LockKind::exclusive ? F_WRLCK : F_RDLCK, byte);
    if (again([&] { return ::fcntl(fd, F_OFD_GETLK, &request); }) != 0) return LockOutcome::held_by_reader;
    return request.l_type == F_WRLCK ? LockOutcome::held_by_writer : LockOutcome::held_by_reader;
}
#else
int try_lock(int fd, LockKind kind, LockByte) noexcept {
    return set_flock(fd, kind == LockKind::exclusive ? LOCK_EX : LOCK_SH);
}

LockOutcome who_holds(int, LockKind, LockByte) noexcept { return LockOutcome::held_by_reader; }
#endif

// How long ago the file open as `fd` last changed (its status change time,
// which every write moves), in milliseconds; `waited` where that is longer
// or cannot be told.
int64_t unchanged_for(int fd, int64_t waited) noexcept {
    struct stat st;
    timespec now{};
    if (again([&] { return ::fstat(fd, &st); }) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0) return waited;
#ifdef __APPLE__
    const timespec changed = st.st_ctimespec;
#else
    const timespec changed = st.st_ctim;
#endif
    const int64_t ago = (static_cast<int64_t>(now.tv_sec) - changed.tv_sec) * 1000 +
                        (now.tv_nsec - changed.tv_nsec) / nanoseconds_per_millisecond;
    return std::clamp<int64_t>(ago, 0, waited);
}

// Sleeps, or returns EINTR when a signal comes first.
int pause_for(int64_t milliseconds) noexcept {
    const timespec delay{static_cast<time_t>(milliseconds / 1000),
                         static_cast<long>((milliseconds % 1000) * nanoseconds_per_millisecond)};
    return ::nanosleep(&delay, nullptr) == 0 ? 0 : errno;
}

}  // namespace

Started Started::now() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return Started{static_cast<int64_t>(now.tv_sec) * 1000 * nanoseconds_per_millisecond + now.tv_nsec};
}

int64_t Started::elapsed_milliseconds() const noexcept {
    return (now().nanoseconds - nanoseconds) / nanoseconds_per_millisecond;
}

int wait_for_lock(int fd, LockKind kind, LockByte byte, Started started, LockOutcome& outcome,
                  Holders holders, Bounds bounds) noexcept {
    // A signal that lands outside the sleep interrupts nothing: the caller
    // is asked again after each slice, to run the handlers it has missed.
    constexpr int64_t slice_milliseconds = 50;
    const int64_t slice_ends = started.elapsed_milliseconds() + slice_milliseconds;
    for (int64_t step = 1;; step = std::min<int64_t>(2 * step, 16)) {
        const int err = try_lock(fd, kind, byte);
        if (err == 0) {
            outcome = LockOutcome::locked;
            return 0;
        }
        if (err != EAGAIN) return err;
        const int64_t waited = started.elapsed_milliseconds();
        const LockOutcome holder = who_holds(fd, kind, byte);
        const bool writer = holder == LockOutcome::held_by_writer;
        const int64_t bound = holders == Holders::this_user || writer ? bounds.writers : bounds.readers;
        // L3: writers who keep changing the file are saving, one after the
        // other, however slowly; only one that holds the lock over an
        // unchanged file for the whole bound is given up on, and nobody is
        // waited for past the last resort.
        const bool on_target = writer && holders == Holders::anyone;
        const int64_t held = on_target ? unchanged_for(fd, waited) : waited;
        if (held >= bound || waited >= last_resort_factor * bound) {
            outcome = holder;
            return 0;
        }
        if (waited >= slice_ends || pause_for(std::min(step, bound - held)) == EINTR) return EINTR;
    }
}

int lock_at_once(int fd, LockKind kind, LockByte byte) noexcept { return try_lock(fd, kind, byte); }

int share_lock([[maybe_unused]] int fd, [[maybe_unused]] LockByte byte) noexcept {
#ifdef KESTRA_OFD_LOCKS
    return set_lock(fd, F_RDLCK, byte);
#else
    return set_flock(fd, LOCK_SH);
#endif
}

void unlock([[maybe_unused]] int fd, [[maybe_unused]] LockByte byte) noexcept {
#ifdef KESTRA_OFD_LOCKS
    set_lock(fd, F_UNLCK, byte);
#else
    again([&] { return ::flock(fd, LOCK_UN); });
#endif
}

}  // namespace ini::posix
