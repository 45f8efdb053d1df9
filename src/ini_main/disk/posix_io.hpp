// Small POSIX helpers for the save: no Python here, errors travel as errno
// return values (0 for success).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace ini::posix {

// Repeats a system call that a signal interrupted. Every call of the save
// goes through here, close() excepted (see Fd::close).
template <class Call>
auto again(Call call) noexcept {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

// File descriptor closed on scope exit.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }
    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    void reset(int fd) noexcept {
        close();
        fd_ = fd;
    }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closing can report a deferred write error, so a commit asks. Linux
    // releases the descriptor even when close() says EINTR, so retrying it
    // could close another thread's file: EINTR counts as closed.
    int close() noexcept;

private:
    int fd_;
};

// The bytes of a save: a prefix (the byte-order mark) and the text.
struct Content {
    std::string_view head;
    std::string_view body;
    size_t size() const noexcept { return head.size() + body.size(); }
};

// The errors of a directory that takes no new file, where a save must write
// over the file itself.
inline bool directory_refused(int err) noexcept { return err == EACCES || err == EPERM || err == EROFS; }

std::string directory_of(const std::string& path);
std::string base_name_of(const std::string& path);

// Follows symbolic links at the end of `path` so that the save replaces the
// file a link points at, not the link. A missing final target is fine. Only
// where the kernel cannot say (see file_path): it walks around the kernel's
// protected_symlinks rule, so the file must have been opened through the
// path first.
int resolve_links(std::string& path);

// The path at which `fd`, opened through `path`, can be replaced: the one
// the kernel itself reached (/proc/self/fd), else `path` with its final
// links resolved. `exact` false when that name no longer leads to the open file (it
// was renamed or replaced meanwhile): the caller then works on the
// descriptor alone. `opened` is the descriptor's fstat.
int file_path(int fd, const struct stat& opened, const std::string& path, std::string& target, bool& exact);

// The name of the file `base`, cut so that "." + it + a tail of `tail_size`
// bytes fits the file system's limit on one name: a long name keeps a
// prefix and a digest of the whole name, so two long names sharing a
// prefix still get different siblings.
std::string sibling_stem(std::string_view base, size_t tail_size);

// Sixteen random lower-case hex digits.
std::string random_hex();

int read_all(int fd, std::string& out);
int pwrite_all(int fd, std::string_view data, off_t offset) noexcept;
// Writes at the current position; for devices and FIFOs, which cannot seek.
int write_all(int fd, std::string_view data) noexcept;
int write_from_start(int fd, const Content& content) noexcept;

// Makes the file's data reach the disk. On macOS fsync() only hands the
// data to the drive, which may hold it in its cache; F_FULLFSYNC asks the
// drive to write it out.
int sync_file(int fd) noexcept;

}  // namespace ini::posix
