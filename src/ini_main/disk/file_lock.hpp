// Locks tied to a file itself, so that every name of it and every process
// agree on them, held by descriptor and dropped when it closes (rules L1-L5
// of disk/PROTOCOL.md).
//
// On Linux they are open-file-description locks on one byte far beyond any
// real file's end: a write lock there needs a descriptor open for writing,
// so only those who may write the file can take it. Anyone who can read the
// file can still take a read lock on that byte, so a lock that only readers
// hold is waited for briefly and then passed over. Other systems use
// flock(), which anyone who can open the file may hold: there every lock is
// passed over after the brief wait.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace ini::posix {

enum class LockKind { shared, exclusive };

// Which byte a lock sits on: the store's in-place writers and the command
// line's edits take different ones, so that an edit can save while it holds
// its own lock; the edits that a reader kept off the edit byte take turns on
// the next one. `whole` is an flock() of the whole file, for a directory,
// which cannot be opened for writing.
enum class LockByte : off_t {
    writer = 0x7fffffffffff0000,
    edit = 0x7fffffffffff0001,
    turn = 0x7fffffffffff0002,
    whole = -1,
};

// When an operation began, on CLOCK_MONOTONIC: its waits end at fixed times
// after it however often a signal interrupts them and the operation is
// started again.
struct Started {
    int64_t nanoseconds = 0;
    static Started now() noexcept;
    int64_t elapsed_milliseconds() const noexcept;
};

// How long a lock that only readers hold is waited for (L2), and how long
// one that a writer of the file holds over the file unchanged (L3): a
// writer can only hold it for its own save, however slow.
constexpr int64_t reader_wait_milliseconds = 100;
constexpr int64_t writer_wait_milliseconds = 10000;

enum class LockOutcome {
    locked,
    // Still held by someone who may write the file when the writers' wait
    // ran out: they could as well be writing it now.
    held_by_writer,
    // Held past the readers' wait by someone who may only read it, or by
    // nobody we can tell: not a reason to fail or to wait longer.
    held_by_reader,
};

// Whose locks a wait may meet: anyone's on the target itself, or only this
// user's on a lock file of the private directory, all of them waited for
// as long as a writer's.
enum class Holders { anyone, this_user };

// Waits for the lock until the deadlines above, counted from `started`
// (`bounds` puts others in their place); a writer's lock on the target until
// the file has gone unchanged that long, and six times that at most.
// EINTR (with `outcome` untouched) when a signal arrived during the wait,
// and after every 50 ms of waiting, so that the caller can run the handlers
// and ask again with the same `started`; another errno when the lock cannot
// be asked for.
struct Bounds {
    int64_t readers = reader_wait_milliseconds;
    int64_t writers = writer_wait_milliseconds;
};
int wait_for_lock(int fd, LockKind kind, LockByte byte, Started started, LockOutcome& outcome,
                  Holders holders = Holders::anyone, Bounds bounds = {}) noexcept;

// Takes the lock only if nobody else holds a conflicting one: 0 or EAGAIN.
int lock_at_once(int fd, LockKind kind, LockByte byte) noexcept;

// Turns a held exclusive lock into a shared one without letting go.
int share_lock(int fd, LockByte byte) noexcept;

// Lets go of the lock on `byte` and nothing else of the descriptor.
void unlock(int fd, LockByte byte) noexcept;

}  // namespace ini::posix
