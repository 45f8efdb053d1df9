#include "disk/save.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <mutex>
#include <set>
#include <utility>
#include <string_view>

#include "disk/file_lock.hpp"
#include "disk/journal.hpp"
#include "disk/private_dir.hpp"

// Linux-only features; the portable build does without them.
#if defined(O_TMPFILE) && !defined(KESTRA_PORTABLE)
#define KESTRA_UNNAMED_TEMPORARY 1
#endif
#if defined(__linux__) && !defined(KESTRA_PORTABLE) && __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#define KESTRA_EXTENDED_ATTRIBUTES 1
#endif

namespace ini::posix {

namespace {

constexpr int max_attempts = 8;
constexpr size_t random_hex_digits = 16;
constexpr std::string_view temporary_suffix = ".ini-tmp";
constexpr size_t temporary_tail_size = 1 + random_hex_digits + temporary_suffix.size();
// Not errnos: a new file could not keep the owner, so the save goes in
// place; the unnamed temporary cannot be named without /proc.
constexpr int keep_in_place = -2;
constexpr int no_proc = -3;

std::string temporary_tail() {
    std::string tail = ".";
    tail += random_hex();
    tail += temporary_suffix;
    return tail;
}

// What the target is before the save.
struct Existing {
    bool exists = false;
    struct stat st {};
};

#ifdef KESTRA_EXTENDED_ATTRIBUTES
// The names of a file's extended attributes, each ended by a NUL.
std::string attribute_names(const std::string* path, int fd) {
    const auto list = [&](char* out, size_t size) {
        return again([&] { return path ? ::listxattr(path->c_str(), out, size) : ::flistxattr(fd, out, size); });
    };
    const ssize_t size = list(nullptr, 0);
    if (size <= 0) return {};
    std::string names(static_cast<size_t>(size), '\0');
    const ssize_t got = list(names.data(), names.size());
    names.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return names;
}

bool listed(const std::string& names, std::string_view name) {
    for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
        if (name == names.c_str() + at) return true;
    }
    return false;
}
#endif

// Best effort: user attributes, POSIX ACLs and security labels that the
// file system or our privileges refuse are left out, and the save goes on.
// What the new file got from its directory (a default ACL) and the old file
// did not have is taken off again.
void copy_extended_attributes([[maybe_unused]] const std::string& from, [[maybe_unused]] int to) {
#ifdef KESTRA_EXTENDED_ATTRIBUTES
    const std::string names = attribute_names(&from, -1);
    const std::string added = attribute_names(nullptr, to);
    for (size_t at = 0; at < added.size(); at = added.find('\0', at) + 1) {
        const char* name = added.c_str() + at;
        if (!listed(names, name)) again([&] { return ::fremovexattr(to, name); });
    }
    std::string value;
    for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
        const char* name = names.c_str() + at;
        const ssize_t length = again([&] { return ::getxattr(from.c_str(), name, nullptr, 0); });
        if (length < 0) continue;
        value.resize(static_cast<size_t>(length));
        const ssize_t got_value = again([&] { return ::getxattr(from.c_str(), name, value.data(), value.size()); });
        if (got_value < 0) continue;
        again([&] { return ::fsetxattr(to, name, value.data(), static_cast<size_t>(got_value), 0); });
    }
#endif
}

// Owner first (a change of owner drops set-id bits that the mode then puts
// back), then the mode, then the attributes: an ACL carries the group bits.
int copy_attributes(int fd, const Existing& existing, const std::string& target) {
    if (!existing.exists) return 0;
    const struct stat& st = existing.st;
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
        if (again([&] { return ::fchown(fd, st.st_uid, st.st_gid); }) != 0) {
            // EINVAL: an owner or group that this user namespace does not
            // map; a new file cannot keep it any more than in EPERM's case.
            return errno == EPERM || errno == EINVAL ? keep_in_place : errno;
        }
    }
    if (again([&] { return ::fchmod(fd, st.st_mode & 07777); }) != 0) return errno;
    copy_extended_attributes(target, fd);
    return 0;
}

// Whether `name` is one of our temporary names for the file whose sibling
// stem is `stem`.
bool is_temporary_of(std::string_view name, std::string_view stem) noexcept {
    if (name.size() != 1 + stem.size() + temporary_tail_size) return false;
    if (name[0] != '.' || name.substr(1, stem.size()) != stem || name[1 + stem.size()] != '.') return false;
    if (!name.ends_with(temporary_suffix)) return false;
    const std::string_view hex = name.substr(2 + stem.size(), random_hex_digits);
    return hex.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// A process killed between naming its temporary file and the rename leaves
// that file behind. A save holds a name for no longer than one rename (or,
// without O_TMPFILE, one write and fsync), so a leftover older than a minute
// belongs to no running save and is removed. S7: the directory is read at
// most once per process, so that a save costs the same beside any number
// of other files.
void remove_stale_temporaries(int directory, const std::string& base) {
    constexpr time_t stale_after_seconds = 60;
    static std::mutex guard;
    // By identity, not by name: "." names another directory after a chdir.
    static std::set<std::pair<dev_t, ino_t>> looked_at;
    struct stat folder;
    if (again([&] { return ::fstat(directory, &folder); }) != 0) return;
    {
        const std::lock_guard<std::mutex> held(guard);
        if (!looked_at.insert({folder.st_dev, folder.st_ino}).second) return;
    }
    const int listed = again([&] { return ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (dir == nullptr) {
        if (listed >= 0) ::close(listed);
        return;
    }
    const std::string stem = sibling_stem(base, temporary_tail_size);
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        if (!is_temporary_of(entry->d_name, stem)) continue;
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            now - st.st_mtime > stale_after_seconds) {
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

// The target's directory, held for the save: every name of the save is
// made relative to it, so that a temporary's name is never longer than a
// name in it can be, however long the path (R9). Opened for reading, to be
// synced; a directory that may only be searched is held without that.
int open_directory_of(const std::string& target, Fd& directory) {
    const std::string path = directory_of(target);
    directory.reset(again([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
#if defined(O_PATH) && !defined(KESTRA_PORTABLE)
    if (!directory.valid() && errno == EACCES) {
        directory.reset(again([&] { return ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    }
#endif
    return directory.valid() ? 0 : errno;
}

// The new file of a save by rename, like git's lock file: created beside the
// target with the target's owner, mode and attributes before any byte of
// text, then committed by a rename or rolled back.
class Temporary {
public:
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    explicit Temporary(int directory, std::string base) : directory_(directory), base_(std::move(base)) {}
    ~Temporary() { rollback(); }

    // Readable by the owner alone until it has the target's mode, so that
    // nobody else reads a private file's text from it.
    int create(const std::string& target, const Existing& existing, bool unnamed) {
        const mode_t mode = existing.exists ? 0600 : 0666;
        if (unnamed) {
            const int err = create_unnamed(mode);
            if (err != no_proc) return err == 0 ? attributes(existing, target) : err;
        }
        for (int attempt = 0; attempt < max_attempts && !fd_.valid(); ++attempt) {
            const std::string name = fresh_name();
            fd_.reset(again(
                [&] { return ::openat(directory_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode); }));
            if (fd_.valid()) name_ = name;
            else if (errno != EEXIST) return errno;
        }
        return fd_.valid() ? attributes(existing, target) : EEXIST;
    }

    int fill(const Content& content, const Existing& existing) noexcept {
        if (int err = write_from_start(fd_.get(), content)) return err;
        // A write by a process without CAP_FSETID clears set-id bits.
        if (existing.exists && (existing.st.st_mode & 06000) != 0 &&
            again([&] { return ::fchmod(fd_.get(), existing.st.st_mode & 07777); }) != 0) {
            return errno;
        }
        return sync_file(fd_.get());
    }

    // `replace` false: only while no file has the target's name (L7).
    int commit(bool replace) {
        if (name_.empty()) {
            if (int err = name_unnamed()) return err;
        }
        if (int err = fd_.close()) return err;
        if (int err = replace ? rename_to_target() : link_to_target()) return err;
        name_.clear();
        remove_stale_temporaries(directory_, base_);
        // Not reported: the new text is the file for every reader now, and
        // an error here would tell the caller that nothing changed. What a
        // failed sync leaves is a weaker promise: after a power cut the old
        // text may come back (docs/reliability.md says so).
        sync_file(directory_);
        return 0;
    }

    void rollback() noexcept {
        if (!name_.empty()) again([&] { return ::unlinkat(directory_, name_.c_str(), 0); });
        name_.clear();
        fd_.close();
    }

private:
    std::string fresh_name() const {
        std::string name(1, '.');
        name += sibling_stem(base_, temporary_tail_size);
        name += temporary_tail();
        return name;
    }

    int rename_to_target() {
        return again([&] { return ::renameat(directory_, name_.c_str(), directory_, base_.c_str()); }) == 0 ? 0
                                                                                                           : errno;
    }

    // A link fails where the name is taken, with no moment between a look
    // and the write; a file system without hard links gets the look alone.
    int link_to_target() {
        if (again([&] { return ::linkat(directory_, name_.c_str(), directory_, base_.c_str(), 0); }) == 0) {
            again([&] { return ::unlinkat(directory_, name_.c_str(), 0); });
            return 0;
        }
        if (errno == EEXIST) return overtaken;
        if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) return errno;
        struct stat st;
        if (again([&] { return ::fstatat(directory_, base_.c_str(), &st, AT_SYMLINK_NOFOLLOW); }) == 0 ||
            errno != ENOENT) {
            return overtaken;
        }
        return rename_to_target();
    }

    int attributes(const Existing& existing, const std::string& target) {
        const int err = copy_attributes(fd_.get(), existing, target);
        if (err != 0) rollback();
        return err;
    }

    // A file without a name (O_TMPFILE): a crash while it is written leaves
    // nothing behind. no_proc where the file system cannot do it.
    int create_unnamed([[maybe_unused]] mode_t mode) {
#ifdef KESTRA_UNNAMED_TEMPORARY
        fd_.reset(again([&] { return ::openat(directory_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode); }));
        if (fd_.valid()) return 0;
        return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? no_proc : errno;
#else
        return no_proc;
#endif
    }

    // Names the unnamed file only now, just before the rename.
    int name_unnamed() {
#ifdef KESTRA_UNNAMED_TEMPORARY
        const std::string proc_path = "/proc/self/fd/" + std::to_string(fd_.get());
        for (int attempt = 0; attempt < max_attempts; ++attempt) {
            const std::string name = fresh_name();
            if (again([&] {
                    return ::linkat(AT_FDCWD, proc_path.c_str(), directory_, name.c_str(), AT_SYMLINK_FOLLOW);
                }) == 0) {
                name_ = name;
                return 0;
            }
            if (errno == ENOENT) return no_proc;  // /proc is not mounted
            if (errno != EEXIST) return errno;
        }
        return EEXIST;
#else
        return no_proc;
#endif
    }

    int directory_;
    std::string base_;
    Fd fd_;
    std::string name_;  // empty while the file has no name
};

int save_by_rename(const std::string& target, const Existing& existing, const Content& content,
                   bool replace = true) {
    Fd directory;
    if (int err = open_directory_of(target, directory)) return err;
    for (const bool unnamed : {true, false}) {
        Temporary temporary(directory.get(), base_name_of(target));
        int err = temporary.create(target, existing, unnamed);
        if (err == 0) err = temporary.fill(content, existing);
        if (err == 0) err = temporary.commit(replace);
        if (err != no_proc) return err;
    }
    return EOPNOTSUPP;
}

// A device or a FIFO is written, not replaced, as open(path, "w+") would:
// O_RDWR does not wait for a FIFO's reader on Linux. A socket gets the
// open's own error.
int write_special(const std::string& target, const Content& content) noexcept {
    Fd fd(again([&] { return ::open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }));
    if (!fd.valid()) return errno;
    if (int err = write_all(fd.get(), content.head)) return err;
    if (int err = write_all(fd.get(), content.body)) return err;
    return fd.close();
}

// A rename that cannot replace the file (a mount point: a single file
// bind-mounted into a container), or a directory that takes no new file:
// open(path, "w+") still works there, and so does a save in place.
bool rename_impossible(int err) noexcept { return directory_refused(err) || err == EBUSY || err == EXDEV; }

// Not an errno: another save replaced the file between our open and our
// look at its name; the save starts again on the file now there.
constexpr int replaced_meanwhile = -4;

// S5: no room for a second copy of the text, where open(path, "w+") and a
// write over the file itself would still succeed.
bool no_room(int err) noexcept { return err == ENOSPC || err == EDQUOT; }

// A regular file that exists, open for reading and writing as `file`.
// `last_try`: a name that no longer leads to the open file gets it written
// in place rather than looked up again.
int save_existing(const std::string& path, int file, const Status& status, const Content& content,
                  bool last_try, Started started, PrivateLock* held = nullptr) {
    const struct stat& st = status.st;
    std::string target;
    bool exact = false;
    if (int err = file_path(file, st, path, target, exact)) return err;
    if (!exact && !last_try) return replaced_meanwhile;
    // More than one name: the file itself is written.
    if (!exact || st.st_nlink > 1) return save_in_place(file, status, content, started, held);
    const Existing existing{true, st};
    const int err = save_by_rename(target, existing, content);
    if (err == keep_in_place || rename_impossible(err) || no_room(err)) {
        return save_in_place(file, status, content, started, held);
    }
    return err;
}

// No file at `path`. A dangling symbolic link is followed as open(path,
// "w+") follows it, with the kernel's own checks, by creating the file it
// names; that empty file goes again if the save fails.
int save_new(const std::string& path, const Content& content, Started started, const Seen* seen) {
    if (seen != nullptr && seen->exists) return overtaken;
    struct stat st;
    if (again([&] { return ::lstat(path.c_str(), &st); }) != 0 || !S_ISLNK(st.st_mode)) {
        return save_by_rename(path, Existing{}, content, seen == nullptr);
    }
    Fd created(again([&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666); }));
    if (!created.valid()) return errno;
    Status status;
    if (int err = status_of(created.get(), status)) return err;
    std::string target;
    bool exact = false;
    if (int err = file_path(created.get(), status.st, path, target, exact)) return err;
    const int err = save_existing(path, created.get(), status, content, true, started);
    if (err != 0 && exact) again([&] { return ::unlink(target.c_str()); });
    return err;
}

// R6, S2: what `path` leads to, reached without opening it: an open of a
// FIFO, even one closed at once, lets a writer waiting for its reader go on,
// and its bytes would then be lost to whoever reads it next. `reached`
// holds it where the system can (O_PATH); `status` is its status, with
// the identity (birth time included) from the same statx().
int reach(const std::string& path, Fd& reached, Status& status) {
#if defined(O_PATH) && defined(__linux__) && !defined(KESTRA_PORTABLE)
    reached.reset(again([&] { return ::open(path.c_str(), O_PATH | O_CLOEXEC); }));
    if (!reached.valid()) return errno;
    return status_of(reached.get(), status);
#else
    (void)reached;
    if (again([&] { return ::stat(path.c_str(), &status.st); }) != 0) return errno;
    status.id = Identity{static_cast<uint64_t>(status.st.st_ino), 0, 0,
                         static_cast<uint64_t>(status.st.st_dev) | 1ULL << 63};
    return 0;
#endif
}

// Opens `path` with `flags`, as the file `st` describes; 0 with `file`
// empty where the path leads elsewhere by now (replaced meanwhile).
int open_same(const std::string& path, const struct stat& st, int flags, Fd& file) {
    file.reset(again([&] { return ::open(path.c_str(), flags, 0666); }));
    if (!file.valid()) return errno;
    struct stat opened;
    if (again([&] { return ::fstat(file.get(), &opened); }) != 0) return errno;
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) file.close();
    return 0;
}

// L7: what an edit saves over must still be what it read, from a moment
// when no other writer who takes these locks can come between until the
// save is done: the file's writer byte (a reader's lock on it only until
// 100 ms after the edit began, L2) and this user's private lock, which
// nobody else can take. `file` is open as `st` through `path`.
int hold_for_edit(const std::string& path, int file, const Status& status, const Seen& seen, Started started,
                  PrivateLock& lock) {
    const struct stat& st = status.st;
    if (!seen.exists || seen.device != st.st_dev || seen.inode != st.st_ino) return overtaken;
    // L4: the private lock first, as loads and in-place saves take it.
    if (const int directory = private_directory(); directory >= 0) {
        const int taken = lock.take(directory, status.id.key(), LockKind::exclusive, started);
        if (taken == EINTR || taken == EAGAIN) return taken;
    }
    LockOutcome outcome = LockOutcome::locked;
    const int err = wait_for_lock(file, LockKind::exclusive, LockByte::writer, started, outcome);
    if (err == EINTR) return err;
    if (outcome == LockOutcome::held_by_writer) return EAGAIN;
    struct stat named;
    if (again([&] { return ::stat(path.c_str(), &named); }) != 0) return errno == ENOENT ? overtaken : errno;
    if (named.st_dev != st.st_dev || named.st_ino != st.st_ino) return overtaken;
    std::string now;
    if (int read_err = read_all(file, now)) return read_err;
    return now == seen.bytes ? 0 : overtaken;
}

// R8: this user's own save holds the file's private lock (stopped, or
// slow): its journal, once there, tells the whole state to read, so the
// load waits no longer than a reader's wait for it. Without a journal the
// save has not begun to write, and the load waits as for any writer,
// looking again at each turn. EAGAIN while nothing can be read yet.
int read_past_own_save(int directory, const Identity& id, int file, std::optional<std::string>& text,
                       Started started) {
    if (journal_exists(directory, id)) {
        if (int err = settle_journal(directory, id, file, -1, text, Settler::onlooker)) return err;
        if (text) return 0;
    }
    return started.elapsed_milliseconds() >= writer_wait_milliseconds ? 0 : EAGAIN;
}

// Settles this user's journal of the file open as `file` before a load
// (R4), and keeps the private lock shared in `lock` so that no in-place
// save of ours starts until the load has read the file (L4).
int settle_for_load(const std::string& path, int file, const Status& status, int directory, PrivateLock& lock,
                    std::optional<std::string>& text, Started started) {
    const std::string key = status.id.key();
    int err = lock.take(directory, key, LockKind::shared, started, Bounds{0, reader_wait_milliseconds});
    if (err == EAGAIN) {
        err = read_past_own_save(directory, status.id, file, text, started);
        if (err != EAGAIN) return err;
        err = lock.take(directory, key, LockKind::shared, started);
    }
    if (err != 0) return err == EINTR ? err : 0;
    if (!journal_exists(directory, status.id)) return 0;
    if (int taken = lock.take(directory, key, LockKind::exclusive, started)) return taken == EINTR ? taken : 0;
    // The path is opened again for writing only now, under the lock, and
    // the file it leads to must be the one the journal is for: a file
    // renamed over the path meanwhile must not get another file's text.
    // A user who may not write it gets the text to read instead.
    Fd writable;
    open_same(path, status.st, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, writable);
    if (int settled = settle_journal(directory, status.id, file, writable.valid() ? writable.get() : -1, text)) {
        return settled;
    }
    lock.share();
    return 0;
}

}  // namespace

int save_file(std::string path, const Content& content, Started started, const Seen* seen) noexcept {
    try {
        if (path.empty()) return ENOENT;
        // What open(path, "w+") answers for any path that ends in a slash.
        if (path.back() == '/') return EISDIR;
        for (int attempt = 1;; ++attempt) {
            // The kernel walks the path, links included, with the same checks
            // as open(path, "w+"): where it refuses, the save fails with its error.
            Fd reached;
            Status status;
            if (int err = reach(path, reached, status)) {
                return err == ENOENT ? save_new(path, content, started, seen) : err;
            }
            const struct stat& st = status.st;
            // S2: anything but a regular file is opened for writing once, by
            // the write itself. An edit compares only what it can read twice.
            if (!S_ISREG(st.st_mode)) return seen != nullptr ? overtaken : write_special(path, content);
            // S1: with O_CREAT, so that the kernel's protected_regular
            // applies as it does to open(path, "w+").
            Fd file;
            if (int err = open_same(path, st, O_RDWR | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, file)) {
                return err;
            }
            if (!file.valid()) continue;
            PrivateLock lock;
            if (seen != nullptr) {
                if (int err = hold_for_edit(path, file.get(), status, *seen, started, lock)) return err;
            }
            const int err =
                save_existing(path, file.get(), status, content, attempt == max_attempts, started, &lock);
            if (err != replaced_meanwhile) return err;
        }
    } catch (...) {
        return ENOMEM;
    }
}

int recover_file(std::string path, LoadHold& hold, std::optional<std::string>& text, Started started) noexcept {
    try {
        if (path.empty()) return 0;
        const int directory = private_directory();
        open_lock_file(directory);
        Fd reached;
        Status status;
        if (reach(path, reached, status) != 0 || !S_ISREG(status.st.st_mode)) return 0;
        Fd file;
        if (open_same(path, status.st, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, file) != 0 || !file.valid()) {
            return 0;
        }
        // L4: this user's private lock first, then the file's own.
        if (directory >= 0) {
            const int err = settle_for_load(path, file.get(), status, directory, hold.lock, text, started);
            if (err != 0 || text) return err;
        }
        // L5: a writer of the file part way through its in-place save (only
        // a writer can hold the lock that keeps this shared one off).
        LockOutcome outcome;
        if (int err = wait_for_lock(file.get(), LockKind::shared, LockByte::writer, started, outcome)) {
            if (err == EINTR) return err;
        }
        hold.file.reset(file.release());
        hold.size = status.st.st_size;
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

}  // namespace ini::posix
