// The save's file dance in plain POSIX: no Python, errno out.
#pragma once

#include <optional>
#include <string>

#include "disk/posix_io.hpp"

namespace ini::posix {

// Makes the file at `target` hold exactly `content`; 0 or an errno (EINTR
// only when a signal came while it waited for another writer). A
// regular file is replaced by a synced new file renamed over it, or, where
// it has other hard links, where its owner could not be kept or where the
// directory takes no new file, written over in place (see disk/journal.hpp).
// Anything else (a device, a FIFO) is written as open(path, "w+") would.
// On failure the target is as it was and nothing of the save is left.
int save_file(std::string target, const Content& content) noexcept;

// Before a load of `path`: waits for a save of ours in progress on that
// file, puts back what an interrupted in-place save left (see
// disk/journal.hpp), and keeps in `hold` a lock that holds off our writers
// of the file until the load ends. A reader who may not write the file
// mends nothing; `old` gets the text to read instead of the torn file where
// the journal gives it. 0 also when there was nothing to do or nothing
// could be held; EINTR when a signal came during a wait.
int recover_file(std::string path, Fd& hold, std::optional<std::string>& old) noexcept;

}  // namespace ini::posix
