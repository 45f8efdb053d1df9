// Writing a file over itself so that a kill at any moment leaves the old
// text or the new one: the old text first goes to a rollback journal, as
// SQLite does for a database, but in the writer's private directory
// (disk/private_dir.hpp), named by the file's identity, never beside the
// file. The rules and their tests are in disk/PROTOCOL.md (J1-J6, R1-R5).
//
//   no journal --J3--> journal synced --overwrite+cut+sync--> new text synced
//        ^                  |                                      |
//        +-- R2: back to ---+ (a kill here: the next load of this  J5: journal
//            the old text     user puts the old text back)          removed
//
// The journal records the write plan: its text written from offset 0, then
// the file cut to its length. The states a kill can leave are then exactly
// known, and recovery writes only over one of them (R1).
#pragma once

#include <optional>
#include <string>

#include "disk/file_lock.hpp"
#include "disk/posix_io.hpp"
#include "disk/private_dir.hpp"

namespace ini::posix {

// Overwrites the regular file open as `file` (read and write) with `content`. Where no private directory or journal can be
// had the file is overwritten without one, as open(path, "w+") would: never
// extended with zeros, but a kill can leave the new text's first part over
// the old text.
// `held`, if given, is the file's private lock, which the caller holds
// exclusively already.
int save_in_place(int file, const Content& content, Started started, PrivateLock* held = nullptr) noexcept;

// Whether a journal of this user stands for the file `id`.
bool journal_exists(const std::string& directory, const Identity& id) noexcept;

// Settles the journal of the file `id`, open for reading as `file`, whose
// private lock the caller holds exclusively. Where the file is exactly one
// of the states the journal's write plan can leave part way (neither whole
// text), the journal's text goes back: written through `writable` (the same file open for writing) when
// given, else handed over in `text` for the caller to read, the journal
// kept. Anything else means someone changed the file since: the journal is
// removed and the file left alone (R3).
int settle_journal(const std::string& directory, const Identity& id, int file, int writable,
                   std::optional<std::string>& text) noexcept;

}  // namespace ini::posix
