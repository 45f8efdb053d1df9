// Writing a file over itself so that a crash at any moment leaves the old
// text or the new one: the old text first goes to a rollback journal beside
// the file, as SQLite does for a database.
//
//   no journal --begin--> journal synced --overwrite+sync--> new text synced
//        ^                     |                                   |
//        +---- rollback -------+ (crash here: the next load       commit:
//              (old text back)   restores the old text)           journal removed
//
// The writer holds an exclusive flock() on the journal for its whole life;
// a journal nobody holds is hot: its writer has gone.
#pragma once

#include <string>

#include "disk/posix_io.hpp"

namespace ini::posix {

// The journal's name for a file whose links are already resolved.
std::string journal_name(const std::string& target);

// Overwrites the existing regular file `target` with `content`. Where the
// directory refuses the journal (no write permission, read-only), the file
// is overwritten without one: never extended with zeros, but a crash can
// leave the new text's first part over the old text.
int save_in_place(const std::string& target, const Content& content) noexcept;

// Puts back the old text of an in-place save whose writer died before it
// finished, and removes the journal. 0 when done or when there is nothing
// to do (no journal, or one whose writer still runs).
int recover_in_place_save(const std::string& target) noexcept;

}  // namespace ini::posix
