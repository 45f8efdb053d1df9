// Locks tied to a file itself, so that every name of it and every process
// agree on them, held by descriptor and dropped when it closes.
//
// On Linux they are open-file-description locks on one byte far beyond any
// real file's end: a write lock there needs a descriptor open for writing,
// so only those who may write the file can take it. Anyone who can read the
// file can still take a read lock on that byte; waits are therefore bounded,
// and a lock that a mere reader holds past the bound is passed over rather
// than obeyed. Other systems use flock(), which anyone who can open the
// file may hold: there every lock is passed over after the bound.
#pragma once

#include <sys/types.h>

namespace ini::posix {

enum class LockKind { shared, exclusive };

// Which byte a lock sits on: the store's in-place writers and the command
// line's edits take different ones, so that an edit can save while it holds
// its own lock.
enum class LockByte : off_t { writer = 0x7fffffffffff0000, edit = 0x7fffffffffff0001 };

// How long a save or a load waits for another writer of the file.
constexpr int lock_wait_milliseconds = 2000;

enum class LockOutcome {
    locked,
    // Held past the bound by someone who may write the file (they hold the
    // exclusive lock): they could as well be writing it now.
    held_by_writer,
    // Held past the bound by someone who may only read it, or by nobody we
    // can tell: not a reason to fail or to wait longer.
    held_by_reader,
};

// Waits up to `lock_wait_milliseconds` for the lock. EINTR (with `outcome`
// untouched) when a signal arrived during the wait, so that the caller can
// run the handlers at once; another errno when the lock cannot be asked for.
int wait_for_lock(int fd, LockKind kind, LockByte byte, LockOutcome& outcome) noexcept;

// Turns a held exclusive lock into a shared one without letting go.
int share_lock(int fd, LockByte byte) noexcept;

}  // namespace ini::posix
