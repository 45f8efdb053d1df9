// The save's file dance in plain POSIX: no Python, errno out. The rules it
// keeps, and the tests that prove each, are in disk/PROTOCOL.md.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "disk/file_lock.hpp"
#include "disk/posix_io.hpp"
#include "disk/private_dir.hpp"

namespace ini::posix {

// What an edit read of the file it saves: the save goes ahead only while the
// file still is exactly that (L7). A missing file is `exists` false.
struct Seen {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string_view bytes;
};

// Not an errno: the file is no longer what the edit saw; nothing written.
constexpr int overtaken = -5;

// Makes the file at `target` hold exactly `content`; 0 or an errno (EINTR
// only when a signal came while it waited for another writer: ask again with
// the same `started`). A regular file is replaced by a synced new file
// renamed over it, or, where it has other hard links, where its owner could
// not be kept, where the directory takes no new file or the disk has no
// room for a second copy, written over in place (see disk/journal.hpp).
// Anything else (a device, a FIFO) is written as open(path, "w+") would.
// On failure the target is as it was and nothing of the save is left.
// Given `seen`, `overtaken` where the file is not what it describes.
int save_file(std::string target, const Content& content, Started started, const Seen* seen = nullptr) noexcept;

// What a load keeps until it has read the file: the file, with a shared
// lock that holds off writers of other users briefly, and this user's
// private lock, which holds off this user's in-place saves.
struct LoadHold {
    Fd file;        // open for reading: the load reads this open, not another
    off_t size = 0;  // the file's size as found (recovery may have completed it since)
    PrivateLock lock;
};

// Before a load of `path`: waits for an in-place save in progress on that
// file, puts back what this user's killed in-place save left (see
// disk/journal.hpp), and keeps in `hold` the locks that hold off writers
// until the load ends. Where the file cannot be written, `text` gets what
// to read instead of the torn file. 0 also when there was nothing to do or
// nothing could be held; EINTR when a signal came during a wait.
int recover_file(std::string path, LoadHold& hold, std::optional<std::string>& text, Started started) noexcept;

}  // namespace ini::posix
