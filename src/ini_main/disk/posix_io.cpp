#include "disk/posix_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>  // getentropy() on macOS
#endif

#include <atomic>
#include <climits>
#include <cstdint>
#include <ctime>

#include "disk/digest.hpp"

namespace ini::posix {

namespace {

#ifdef NAME_MAX
constexpr size_t name_max = NAME_MAX;
#else
constexpr size_t name_max = 255;
#endif
constexpr int max_symlink_hops = 40;
constexpr size_t max_link_length = 1 << 20;

// Reads one link whatever its length: lstat() reports a size that the
// kernel's own links (/proc/self/fd/N) do not keep to, so the buffer grows
// until the text fits. EINVAL: not a link.
int read_link(const std::string& path, std::string& target) {
    target.resize(256);
    while (target.size() <= max_link_length) {
        const ssize_t length = again([&] { return ::readlink(path.c_str(), target.data(), target.size()); });
        if (length < 0) return errno;
        if (static_cast<size_t>(length) < target.size()) {
            target.resize(static_cast<size_t>(length));
            return 0;
        }
        target.resize(2 * target.size());
    }
    return ENAMETOOLONG;
}

// Where a multi-byte UTF-8 character starts at or before `at`, so that a cut
// name stays readable text.
size_t character_start(std::string_view text, size_t at) noexcept {
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
    return at;
}

}  // namespace

int Fd::close() noexcept {
    if (fd_ < 0) return 0;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 || errno == EINTR ? 0 : errno;
}

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

int resolve_links(std::string& path) {
    std::string target;
    for (int hop = 0; hop < max_symlink_hops; ++hop) {
        const int err = read_link(path, target);
        // Not a link, or nothing there yet; a path through a file is left for
        // the target's own checks, which answer as open() would.
        if (err == EINVAL || err == ENOENT || err == ENOTDIR) return 0;
        if (err != 0) return err;
        path = !target.empty() && target.front() == '/' ? target : directory_of(path) + "/" + target;
    }
    return ELOOP;
}

int file_path(int fd, const struct stat& opened, const std::string& path, std::string& target, bool& exact) {
    exact = false;
    // 0 with `exact` set when `target` names the open file; ENOENT-like
    // errors mean that it does not.
    const auto check = [&] {
        struct stat named;
        if (again([&] { return ::stat(target.c_str(), &named); }) != 0) {
            return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? 0 : errno;
        }
        exact = opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
        return 0;
    };
    // The common case: the path names the file itself, not a link. Links on
    // the way to its directory do not matter: siblings are reached the same way.
    struct stat own;
    if (again([&] { return ::lstat(path.c_str(), &own); }) == 0 && S_ISREG(own.st_mode) &&
        own.st_dev == opened.st_dev && own.st_ino == opened.st_ino) {
        target = path;
        exact = true;
        return 0;
    }
#if defined(__linux__) && !defined(KESTRA_PORTABLE)
    // Without /proc (not mounted, or hidden) the path is resolved by hand.
    const int asked = read_link("/proc/self/fd/" + std::to_string(fd), target);
    if (asked != 0 && asked != ENOENT && asked != EACCES) return asked;
    if (asked == 0 && !target.empty() && target.front() == '/') {
        if (int checked = check()) return checked;
        if (exact) return 0;
    }
#else
    (void)fd;
#endif
    target = path;
    if (int err = resolve_links(target)) return err;
    return check();
}

std::string sibling_stem(std::string_view base, size_t tail_size) {
    if (1 + base.size() + tail_size <= name_max) return std::string(base);
    std::string digest = "~";
    digest += hex64(fnv1a(base));
    const size_t room = name_max - 1 - tail_size - digest.size();
    return std::string(base.substr(0, character_start(base, room))) + digest;
}

std::string random_hex() {
    uint64_t value = 0;
    if (::getentropy(&value, sizeof value) != 0) {
        // No entropy source: names need only differ between the saves that
        // can run at one time, which pid, clock and a counter ensure.
        static std::atomic<uint64_t> counter{0};
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        value = fnv1a(std::to_string(::getpid()) + "/" + std::to_string(now.tv_nsec) + "/" +
                      std::to_string(now.tv_sec) + "/" + std::to_string(counter++));
    }
    return hex64(value);
}

int read_all(int fd, std::string& out) {
    struct stat st;
    if (again([&] { return ::fstat(fd, &st); }) != 0) return errno;
    // A size of 0 is what pseudo files (/proc/PID/cmdline) report whatever
    // they hold: those are read to their end, as read() reads them.
    constexpr size_t block = 65536;
    const bool to_the_end = st.st_size == 0;
    out.resize(to_the_end ? block : static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = again(
            [&] { return ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done)); });
        if (got < 0) return errno;
        if (got == 0) break;
        done += static_cast<size_t>(got);
        if (to_the_end && done == out.size()) out.resize(out.size() + block);
    }
    out.resize(done);
    return 0;
}

int pwrite_all(int fd, std::string_view data, off_t offset) noexcept {
    while (!data.empty()) {
        const ssize_t written = again([&] { return ::pwrite(fd, data.data(), data.size(), offset); });
        if (written < 0) return errno;
        data.remove_prefix(static_cast<size_t>(written));
        offset += written;
    }
    return 0;
}

int write_all(int fd, std::string_view data) noexcept {
    while (!data.empty()) {
        const ssize_t written = again([&] { return ::write(fd, data.data(), data.size()); });
        if (written < 0) return errno;
        data.remove_prefix(static_cast<size_t>(written));
    }
    return 0;
}

int write_from_start(int fd, const Content& content) noexcept {
    if (int err = pwrite_all(fd, content.head, 0)) return err;
    return pwrite_all(fd, content.body, static_cast<off_t>(content.head.size()));
}

int sync_file(int fd) noexcept {
#ifdef F_FULLFSYNC
    if (again([&] { return ::fcntl(fd, F_FULLFSYNC); }) == 0) return 0;
    // Some file systems (network ones) refuse it: fsync is the best left.
#endif
    return again([&] { return ::fsync(fd); }) == 0 ? 0 : errno;
}

}  // namespace ini::posix
