// The save's file dance in plain POSIX: no Python, errno out.
#pragma once

#include <string>

#include "disk/posix_io.hpp"

namespace ini::posix {

// Makes the file at `target` hold exactly `content`; 0 or an errno. A
// regular file is replaced by a synced new file renamed over it, or, where
// it has other hard links, where its owner could not be kept or where the
// directory takes no new file, written over in place (see disk/journal.hpp).
// Anything else (a device, a FIFO) is written as open(path, "w+") would.
// On failure the target is as it was and nothing of the save is left.
int save_file(std::string target, const Content& content) noexcept;

// Finishes what an interrupted in-place save of `target` left (see
// disk/journal.hpp); 0 when there was nothing to do.
int recover_file(std::string target) noexcept;

}  // namespace ini::posix
