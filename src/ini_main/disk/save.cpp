#include "disk/save.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string_view>

#include "disk/journal.hpp"

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

// The checks that the plain open(path, "w+") would have failed on.
int inspect_target(const std::string& target, Existing& existing) {
    if (target.empty()) return ENOENT;
    if (target.back() == '/') return EISDIR;
    if (again([&] { return ::stat(target.c_str(), &existing.st); }) != 0) return errno == ENOENT ? 0 : errno;
    existing.exists = true;
    if (S_ISDIR(existing.st.st_mode)) return EISDIR;
    if (again([&] { return ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS); }) != 0) return errno;
    return 0;
}

// Best effort: user attributes, POSIX ACLs and security labels that the
// file system or our privileges refuse are left out, and the save goes on.
void copy_extended_attributes([[maybe_unused]] const std::string& from, [[maybe_unused]] int to) {
#ifdef KESTRA_EXTENDED_ATTRIBUTES
    const ssize_t size = again([&] { return ::listxattr(from.c_str(), nullptr, 0); });
    if (size <= 0) return;
    std::string names(static_cast<size_t>(size), '\0');
    const ssize_t got = again([&] { return ::listxattr(from.c_str(), names.data(), names.size()); });
    if (got <= 0) return;
    names.resize(static_cast<size_t>(got));
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
            return errno == EPERM ? keep_in_place : errno;
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
// belongs to no running save and is removed; leftovers never pile up.
void remove_stale_temporaries(const std::string& target) {
    constexpr time_t stale_after_seconds = 60;
    DIR* dir = ::opendir(directory_of(target).c_str());
    if (dir == nullptr) return;
    const std::string stem = sibling_stem(base_name_of(target), temporary_tail_size);
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

// The new file of a save by rename, like git's lock file: created beside the
// target with the target's owner, mode and attributes before any byte of
// text, then committed by a rename or rolled back.
class Temporary {
public:
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    Temporary() = default;
    ~Temporary() { rollback(); }

    // Readable by the owner alone until it has the target's mode, so that
    // nobody else reads a private file's text from it.
    int create(const std::string& target, const Existing& existing, bool unnamed) {
        const mode_t mode = existing.exists ? 0600 : 0666;
        if (unnamed) {
            const int err = create_unnamed(target, mode);
            if (err != no_proc) return err == 0 ? attributes(existing, target) : err;
        }
        for (int attempt = 0; attempt < max_attempts && !fd_.valid(); ++attempt) {
            const std::string name = sibling_name(target, temporary_tail());
            fd_.reset(again([&] { return ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode); }));
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

    int commit(const std::string& target) {
        if (name_.empty()) {
            if (int err = name_unnamed(target)) return err;
        }
        if (int err = fd_.close()) return err;
        if (again([&] { return ::rename(name_.c_str(), target.c_str()); }) != 0) return errno;
        name_.clear();
        remove_stale_temporaries(target);
        sync_directory_of(target);  // the new text is in place either way
        return 0;
    }

    void rollback() noexcept {
        if (!name_.empty()) again([&] { return ::unlink(name_.c_str()); });
        name_.clear();
        fd_.close();
    }

private:
    int attributes(const Existing& existing, const std::string& target) {
        const int err = copy_attributes(fd_.get(), existing, target);
        if (err != 0) rollback();
        return err;
    }

    // A file without a name (O_TMPFILE): a crash while it is written leaves
    // nothing behind. no_proc where the file system cannot do it.
    int create_unnamed([[maybe_unused]] const std::string& target, [[maybe_unused]] mode_t mode) {
#ifdef KESTRA_UNNAMED_TEMPORARY
        const std::string directory = directory_of(target);
        fd_.reset(again([&] { return ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode); }));
        if (fd_.valid()) return 0;
        return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? no_proc : errno;
#else
        return no_proc;
#endif
    }

    // Names the unnamed file only now, just before the rename.
    int name_unnamed([[maybe_unused]] const std::string& target) {
#ifdef KESTRA_UNNAMED_TEMPORARY
        const std::string proc_path = "/proc/self/fd/" + std::to_string(fd_.get());
        for (int attempt = 0; attempt < max_attempts; ++attempt) {
            const std::string name = sibling_name(target, temporary_tail());
            if (again([&] {
                    return ::linkat(AT_FDCWD, proc_path.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
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

    Fd fd_;
    std::string name_;  // empty while the file has no name
};

int save_by_rename(const std::string& target, const Existing& existing, const Content& content) {
    for (const bool unnamed : {true, false}) {
        Temporary temporary;
        int err = temporary.create(target, existing, unnamed);
        if (err == 0) err = temporary.fill(content, existing);
        if (err == 0) err = temporary.commit(target);
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

}  // namespace

int save_file(std::string target, const Content& content) noexcept {
    try {
        if (int err = resolve_links(target)) return err;
        Existing existing;
        if (int err = inspect_target(target, existing)) return err;
        if (existing.exists && !S_ISREG(existing.st.st_mode)) return write_special(target, content);
        if (existing.exists && existing.st.st_nlink > 1) return save_in_place(target, content);
        const int err = save_by_rename(target, existing, content);
        if (err == keep_in_place || (existing.exists && directory_refused(err))) {
            return save_in_place(target, content);
        }
        return err;
    } catch (...) {
        return ENOMEM;
    }
}

int recover_file(std::string target) noexcept {
    try {
        // A path that does not resolve is the engine's to report, or not.
        if (resolve_links(target) != 0) return 0;
        return recover_in_place_save(target);
    } catch (...) {
        return ENOMEM;
    }
}

}  // namespace ini::posix
