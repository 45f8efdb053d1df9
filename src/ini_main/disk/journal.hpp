// Writing a file over itself so that a crash at any moment leaves the old
// text or the new one: the old text first goes to a rollback journal beside
// the file, as SQLite does for a database.
//
//   no journal --begin--> journal synced --overwrite+sync--> new text synced
//        ^                     |                                   |
//        +---- rollback -------+ (crash here: the next load       commit:
//              (old text back)   restores the old text)           journal removed
//
// Writers hold the file's own writer lock (disk/file_lock.hpp) from before
// the journal exists until it is gone, so a journal found by whoever holds
// that lock belongs to a writer that died. It is obeyed only when it comes
// from someone who could have written the file anyway, and only to undo a
// torn write of the very save it records: it holds the old text and the new,
// and the file must hold the new text's first bytes over the old ones.
#pragma once

#include <optional>
#include <string>

#include "disk/posix_io.hpp"

namespace ini::posix {

// The journal's name for a file whose links are already resolved.
std::string journal_name(const std::string& target);

// Overwrites the regular file open as `file` (read and write), reached at
// `target`, with `content`. Where no journal can be made (a directory that
// refuses new files, or something not ours in the journal's place) the file
// is overwritten without one: never extended with zeros, but a crash can
// leave the new text's first part over the old text.
int save_in_place(const std::string& target, int file, const Content& content) noexcept;

// Settles the journal of the regular file open as `file` (read and write),
// whose writer lock the caller holds: puts back the old text of a save that
// died part way, removes a journal of ours that no longer fits the file,
// and leaves anything else alone. 0 unless a torn file could not be mended.
int recover_in_place_save(const std::string& target, int file) noexcept;

// For a reader who may not mend the file open as `file` (for reading): the
// old text that a journal of its writers records, when the file holds a
// torn write of that save. Nothing is written or removed; nothing comes
// back when there is no such journal or this reader may not read it.
std::optional<std::string> journaled_old_text(const std::string& target, int file) noexcept;

}  // namespace ini::posix
