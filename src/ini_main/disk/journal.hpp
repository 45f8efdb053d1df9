// Writing a file over itself so that a kill at any moment leaves a whole
// state: the old and the new text first go to a journal in the writer's
// private directory (disk/private_dir.hpp), named by the file's identity,
// never beside the file. The rules and their tests are in disk/PROTOCOL.md
// (J1-J8, R1-R8).
//
//   no journal --J3--> journal synced --overwrite+cut+sync--> new text synced
//                           |                                      |
//                           +-- a kill here: the next load of this  J5: journal
//                               user completes the new text (R1)    removed
//
// The journal records the write plan: its new text written from offset 0,
// then the file cut to its length. The states a kill can leave are then
// exactly known, and recovery writes only over one of them, and only
// forward, to the text the plan was writing (R1).
#pragma once

#include <optional>
#include <string>

#include "disk/file_lock.hpp"
#include "disk/posix_io.hpp"
#include "disk/private_dir.hpp"

namespace ini::posix {

// Overwrites the regular file open as `file` (read and write), whose
// identity and status are `status`, with `content`. Where no private
// directory or journal can be had the file is overwritten without one, as
// open(path, "w+") would: never extended with zeros, but a kill can leave
// the new text's first part over the old text. `held`, if given, is the
// file's private lock, which the caller holds exclusively already.
int save_in_place(int file, const Status& status, const Content& content, Started started,
                  PrivateLock* held = nullptr) noexcept;

// Whether a journal of this user stands for the file `id`.
bool journal_exists(int directory, const Identity& id) noexcept;

// Who settles a journal: the holder of the file's private lock, who may
// complete the file and remove the journal, or a load that found the lock
// held by this user's own save in progress, which only reads.
enum class Settler { holder, onlooker };

// Settles the journal of the file `id`, open for reading as `file` (R1-R3,
// R7, R8). A file that holds a whole state the journal knows (the new text,
// or the old one where it was whole) is kept and the journal dropped. A
// file torn as the journal's plan tears it is completed to the new text
// through `writable` (the same file open for writing) when given; where
// that cannot be written, `text` gets the whole state to read instead and
// the journal stays. Anything else means someone changed the file since:
// it is left alone and the journal dropped. An onlooker writes and removes
// nothing, and gets in `text` the whole state to read, the file's own
// where it is whole; nothing where the journal does not fit the file.
int settle_journal(int directory, const Identity& id, int file, int writable, std::optional<std::string>& text,
                   Settler settler = Settler::holder) noexcept;

}  // namespace ini::posix
