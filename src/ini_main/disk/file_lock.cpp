#include "disk/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <ctime>

#include "disk/posix_io.hpp"

#if defined(F_OFD_SETLK) && !defined(KESTRA_PORTABLE)
#define KESTRA_OFD_LOCKS 1
#endif

namespace ini::posix {

namespace {

#ifdef KESTRA_OFD_LOCKS
struct flock lock_request(short type, LockByte byte) noexcept {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = static_cast<off_t>(byte);
    request.l_len = 1;
    return request;
}

// 0 when taken, EAGAIN while someone else holds a conflicting lock.
int try_lock(int fd, LockKind kind, LockByte byte) noexcept {
    struct flock request = lock_request(kind == LockKind::exclusive ? F_WRLCK : F_RDLCK, byte);
    if (again([&] { return ::fcntl(fd, F_OFD_SETLK, &request); }) == 0) return 0;
    return errno == EACCES ? EAGAIN : errno;
}

LockOutcome who_holds(int fd, LockKind kind, LockByte byte) noexcept {
    struct flock request = lock_request(kind == LockKind::exclusive ? F_WRLCK : F_RDLCK, byte);
    if (again([&] { return ::fcntl(fd, F_OFD_GETLK, &request); }) != 0) return LockOutcome::held_by_reader;
    return request.l_type == F_WRLCK ? LockOutcome::held_by_writer : LockOutcome::held_by_reader;
}
#else
int try_lock(int fd, LockKind kind, LockByte) noexcept {
    if (again([&] { return ::flock(fd, (kind == LockKind::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB); }) == 0) {
        return 0;
    }
    return errno == EWOULDBLOCK ? EAGAIN : errno;
}

LockOutcome who_holds(int, LockKind, LockByte) noexcept { return LockOutcome::held_by_reader; }
#endif

// Sleeps, or returns EINTR when a signal comes first.
int pause_for(long milliseconds) noexcept {
    const timespec delay{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    return ::nanosleep(&delay, nullptr) == 0 ? 0 : errno;
}

}  // namespace

int wait_for_lock(int fd, LockKind kind, LockByte byte, LockOutcome& outcome) noexcept {
    long waited = 0;
    for (long step = 1;; step = step < 64 ? 2 * step : step) {
        const int err = try_lock(fd, kind, byte);
        if (err == 0) {
            outcome = LockOutcome::locked;
            return 0;
        }
        if (err != EAGAIN) return err;
        if (waited >= lock_wait_milliseconds) {
            outcome = who_holds(fd, kind, byte);
            return 0;
        }
        if (pause_for(step) == EINTR) return EINTR;
        waited += step;
    }
}

int share_lock([[maybe_unused]] int fd, [[maybe_unused]] LockByte byte) noexcept {
#ifdef KESTRA_OFD_LOCKS
    struct flock request = lock_request(F_RDLCK, byte);
    return again([&] { return ::fcntl(fd, F_OFD_SETLK, &request); }) == 0 ? 0 : errno;
#else
    return again([&] { return ::flock(fd, LOCK_SH | LOCK_NB); }) == 0 ? 0 : errno;
#endif
}

}  // namespace ini::posix
