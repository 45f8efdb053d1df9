#include "durable_write.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "ref.hpp"

namespace ini {

namespace {

constexpr int max_symlink_hops = 40;
constexpr size_t random_bytes = 8;
constexpr size_t random_hex_digits = 2 * random_bytes;
constexpr const char* temporary_suffix = ".ini-tmp";

// File descriptor closed on scope exit.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    void reset(int fd) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closing can report a deferred write error, so the commit path asks.
    int close() noexcept {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links at the end of `path` so the save replaces the file
// a link points at, not the link. A missing final target is fine: the save
// creates it. Returns 0 or an errno.
int resolve_links(std::string& path) {
    for (int hop = 0; hop < max_symlink_hops; ++hop) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0) return errno;
        if (static_cast<size_t>(length) >= target.size()) continue;  // grew meanwhile; retry
        target.resize(static_cast<size_t>(length));
        path = target.front() == '/' ? target : directory_of(path) + "/" + target;
    }
    return ELOOP;
}

int pwrite_all(int fd, std::string_view data, off_t offset) noexcept {
    while (!data.empty()) {
        const ssize_t written = ::pwrite(fd, data.data(), data.size(), offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data.remove_prefix(static_cast<size_t>(written));
        offset += written;
    }
    return 0;
}

struct Content {
    std::string_view head;
    std::string_view body;
};

// Writes the content from the file's first byte on.
int write_from_start(int fd, const Content& content) noexcept {
    if (int err = pwrite_all(fd, content.head, 0)) return err;
    return pwrite_all(fd, content.body, static_cast<off_t>(content.head.size()));
}

int write_content(int fd, const Content& content) noexcept {
    if (int err = write_from_start(fd, content)) return err;
    return ::fsync(fd) == 0 ? 0 : errno;
}

// A name beside the target that no reader can take for the settings file:
// hidden, with a random part and a fixed suffix.
std::string temporary_name(const std::string& target) {
    unsigned char random[random_bytes];
    if (::getrandom(random, sizeof random, GRND_NONBLOCK) != sizeof random) {
        const auto seed = static_cast<unsigned long long>(::getpid()) ^
                          reinterpret_cast<unsigned long long>(&random);
        for (size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<unsigned char>(seed >> (8 * i));
    }
    char hex[random_hex_digits + 1];
    for (size_t i = 0; i < sizeof random; ++i) std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
    return directory_of(target) + "/." + base_name_of(target) + "." + hex + temporary_suffix;
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
    if (::stat(target.c_str(), &existing.st) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    existing.exists = true;
    if (S_ISDIR(existing.st.st_mode)) return EISDIR;
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return errno;
    return 0;
}

// Gives the new file the old one's permission bits and, where allowed, its
// owner; a new file keeps what 0666 & ~umask gave it at creation.
void copy_ownership(int fd, const Existing& existing) noexcept {
    if (!existing.exists) return;
    // Owner first: a change of owner may drop set-id bits that the mode
    // then restores.
    if (existing.st.st_uid != ::geteuid() || existing.st.st_gid != ::getegid()) {
        if (::fchown(fd, existing.st.st_uid, existing.st.st_gid) != 0) {
            ::fchown(fd, static_cast<uid_t>(-1), existing.st.st_gid);
        }
    }
    ::fchmod(fd, existing.st.st_mode & 07777);
}

void sync_directory(const std::string& target) noexcept {
    Fd dir(::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

// Whether `name` is one of our temporary names for the file `base`.
bool is_temporary_of(std::string_view name, std::string_view base) noexcept {
    const std::string_view suffix = temporary_suffix;
    if (name.size() != 1 + base.size() + 1 + random_hex_digits + suffix.size()) return false;
    if (name[0] != '.' || name.substr(1, base.size()) != base || name[1 + base.size()] != '.') {
        return false;
    }
    if (!name.ends_with(suffix)) return false;
    const std::string_view hex = name.substr(2 + base.size(), random_hex_digits);
    return hex.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// A process killed between naming its temporary file and the rename leaves
// that file behind. A save holds a name for no longer than one rename (or,
// without O_TMPFILE, one write and fsync), so a leftover older than a minute
// belongs to no running save and is removed; leftovers never pile up.
void remove_stale_temporaries(const std::string& target) noexcept {
    constexpr time_t stale_after_seconds = 60;
    DIR* dir = ::opendir(directory_of(target).c_str());
    if (dir == nullptr) return;
    const std::string base = base_name_of(target);
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        if (!is_temporary_of(entry->d_name, base)) continue;
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && now - st.st_mtime > stale_after_seconds) {
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

int rename_into_place(const std::string& temporary, const std::string& target) {
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(temporary.c_str());
        return err;
    }
    remove_stale_temporaries(target);
    sync_directory(target);
    return 0;
}

// The temporary file is created without a name (O_TMPFILE), so a crash
// while it is written leaves nothing behind; it is named only just before
// the rename. Returns -1 when the file system cannot do this, so the caller
// falls back to a named temporary file.
int save_through_unnamed(const std::string& target, const Existing& existing,
                         const Content& content) {
    Fd fd(::open(directory_of(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        const int err = errno;
        return (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) ? -1 : err;
    }
    if (int err = write_content(fd.get(), content)) return err;
    copy_ownership(fd.get(), existing);
    const std::string proc_path = "/proc/self/fd/" + std::to_string(fd.get());
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string temporary = temporary_name(target);
        if (::linkat(AT_FDCWD, proc_path.c_str(), AT_FDCWD, temporary.c_str(),
                     AT_SYMLINK_FOLLOW) == 0) {
            if (fd.close() != 0) {
                const int err = errno;
                ::unlink(temporary.c_str());
                return err;
            }
            return rename_into_place(temporary, target);
        }
        if (errno != EEXIST) return -1;  // no /proc: name it the ordinary way
    }
    return EEXIST;
}

int save_through_named(const std::string& target, const Existing& existing,
                       const Content& content) {
    std::string temporary;
    Fd fd;
    for (int attempt = 0; attempt < 8 && fd.get() < 0; ++attempt) {
        temporary = temporary_name(target);
        fd.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.get() < 0 && errno != EEXIST) return errno;
    }
    if (fd.get() < 0) return EEXIST;
    int err = write_content(fd.get(), content);
    if (err == 0) copy_ownership(fd.get(), existing);
    if (fd.close() != 0 && err == 0) err = errno;
    if (err != 0) {
        ::unlink(temporary.c_str());
        return err;
    }
    return rename_into_place(temporary, target);
}

int read_all(int fd, std::string& out) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    out.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    out.resize(done);
    return 0;
}

int overwrite(int fd, const Content& content) noexcept {
    const auto length = static_cast<off_t>(content.head.size() + content.body.size());
    if (int err = write_from_start(fd, content)) return err;
    if (::ftruncate(fd, length) != 0 || ::fsync(fd) != 0) return errno;
    return 0;
}

// Where the file must stay the same inode, it is overwritten as the plain
// save does. The old bytes are kept in memory and the new length reserved
// first, so that a write that fails part way (a full disk, a size limit)
// puts the old text back instead of leaving a mixture of both.
int save_in_place(const std::string& target, const Content& content) {
    Fd fd(::open(target.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() < 0) return errno;
    std::string old;
    if (int err = read_all(fd.get(), old)) return err;
    const auto old_length = static_cast<off_t>(old.size());
    const auto length = static_cast<off_t>(content.head.size() + content.body.size());
    if (length > old_length) {
        if (int err = ::posix_fallocate(fd.get(), 0, length)) {
            ::ftruncate(fd.get(), old_length);
            return err;
        }
    }
    if (int err = overwrite(fd.get(), content)) {
        overwrite(fd.get(), Content{{}, old});
        return err;
    }
    return fd.close() == 0 ? 0 : errno;
}

bool directory_refused(int err) noexcept {
    return err == EACCES || err == EPERM || err == EROFS;
}

int save(std::string target, const Content& content) noexcept {
    try {
        if (int err = resolve_links(target)) return err;
        Existing existing;
        if (int err = inspect_target(target, existing)) return err;
        if (existing.exists && existing.st.st_nlink > 1) return save_in_place(target, content);
        int err = save_through_unnamed(target, existing, content);
        if (err == -1) err = save_through_named(target, existing, content);
        if (directory_refused(err)) return save_in_place(target, content);
        return err;
    } catch (...) {
        return ENOMEM;
    }
}

}  // namespace

bool replace_file(PyObject* path, std::string_view head, std::string_view body) noexcept {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) return false;
    Ref held = Ref::steal(encoded);
    std::string target;
    try {
        target.assign(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    int err;
    Py_BEGIN_ALLOW_THREADS
    err = save(std::move(target), Content{head, body});
    Py_END_ALLOW_THREADS
    if (err == 0) return true;
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return false;
}

}  // namespace ini
