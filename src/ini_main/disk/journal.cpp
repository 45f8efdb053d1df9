#include "disk/journal.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string_view>

#include "disk/digest.hpp"

namespace ini::posix {

namespace {

constexpr std::string_view journal_tail = ".ini-journal";
constexpr std::string_view magic = "KINIJRN1";
constexpr size_t header_size = magic.size() + 4 * sizeof(uint64_t);
constexpr int max_attempts = 8;

// The file a journal belongs to and the text to put back. The inode ties a
// journal to one file: a file replaced since (by a rename) is not the one
// whose text the journal holds.
struct Saved {
    uint64_t device = 0;
    uint64_t inode = 0;
    std::string text;
};

void put_u64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint64_t get_u64(std::string_view in) noexcept {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(in[static_cast<size_t>(i)]);
    return value;
}

uint64_t checksum(uint64_t device, uint64_t inode, std::string_view text) {
    std::string ids;
    put_u64(ids, device);
    put_u64(ids, inode);
    put_u64(ids, text.size());
    return fnv1a(text, fnv1a(ids));
}

// magic, device, inode, length, checksum, then the old text.
std::string encode(const Saved& saved) {
    std::string out(magic);
    put_u64(out, saved.device);
    put_u64(out, saved.inode);
    put_u64(out, saved.text.size());
    put_u64(out, checksum(saved.device, saved.inode, saved.text));
    out += saved.text;
    return out;
}

// False for a journal cut short by a crash while it was written: the file it
// belongs to was not touched yet.
bool decode(std::string_view data, Saved& saved) {
    if (data.size() < header_size || data.substr(0, magic.size()) != magic) return false;
    const std::string_view fields = data.substr(magic.size());
    saved.device = get_u64(fields.substr(0, 8));
    saved.inode = get_u64(fields.substr(8, 8));
    const uint64_t length = get_u64(fields.substr(16, 8));
    if (length != data.size() - header_size) return false;
    saved.text.assign(data.substr(header_size));
    return get_u64(fields.substr(24, 8)) == checksum(saved.device, saved.inode, saved.text);
}

bool same_file(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

constexpr int renamed = -1;

// 0 when `name` still names the open file `fd`, `renamed` when another
// process removed it (and maybe made a new one) between our open and our
// lock, or an errno.
int still_named(int fd, const std::string& name) noexcept {
    struct stat opened, named;
    if (again([&] { return ::fstat(fd, &opened); }) != 0) return errno;
    if (again([&] { return ::stat(name.c_str(), &named); }) != 0) return errno == ENOENT ? renamed : errno;
    return same_file(opened, named) ? 0 : renamed;
}

int overwrite(int fd, const Content& content) noexcept {
    if (int err = write_from_start(fd, content)) return err;
    // Only a shorter text needs the cut; the writes above extended the file
    // with real bytes, never with zeros.
    if (again([&] { return ::ftruncate(fd, static_cast<off_t>(content.size())); }) != 0) return errno;
    return sync_file(fd);
}

int put_back(int fd, std::string_view old) noexcept { return overwrite(fd, Content{{}, old}); }

int unlink_journal(const std::string& name) noexcept {
    return again([&] { return ::unlink(name.c_str()); }) == 0 ? 0 : errno;
}

// No journal, or none that this process may see: a file it cannot read
// either is the engine's to report, or to pass over. With no descriptor
// left, the engine's read of the file fails the same way, and the store
// then refuses to replace the file it could not read.
int unopened_journal(const std::string& target, int err) noexcept {
    if (err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG || err == ELOOP) return 0;
    if (err == EMFILE || err == ENFILE) return 0;
    if (err == EACCES && again([&] { return ::access(target.c_str(), R_OK); }) != 0) return 0;
    return err;
}

// A journal whose writer has gone: its old text goes back into the file, then
// the journal goes. With `wait`, waits for a live writer to finish.
int roll_back_hot(const std::string& target, const std::string& name, bool wait) {
    Fd journal(again([&] { return ::open(name.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!journal.valid()) return unopened_journal(target, errno);
    if (again([&] { return ::flock(journal.get(), wait ? LOCK_EX : LOCK_EX | LOCK_NB); }) != 0) {
        return errno == EWOULDBLOCK ? 0 : errno;
    }
    if (const int named = still_named(journal.get(), name)) return named == renamed ? 0 : named;  // finished meanwhile
    std::string data;
    if (int err = read_all(journal.get(), data)) return err;
    Saved saved;
    if (!decode(data, saved)) return unlink_journal(name);
    Fd file(again([&] { return ::open(target.c_str(), O_WRONLY | O_CLOEXEC); }));
    if (!file.valid() && errno != ENOENT) return errno;
    struct stat st;
    const bool belongs = file.valid() && again([&] { return ::fstat(file.get(), &st); }) == 0 &&
                         static_cast<uint64_t>(st.st_dev) == saved.device &&
                         static_cast<uint64_t>(st.st_ino) == saved.inode;
    if (belongs) {
        if (int err = put_back(file.get(), saved.text)) return err;
    }
    if (int err = unlink_journal(name)) return err;
    return sync_directory_of(target);
}

// The journal of one in-place save, held (locked) from creation to commit.
class Journal {
public:
    explicit Journal(std::string name) : name_(std::move(name)) {}

    // Creates and locks the journal, copies the file's text into it (read
    // only now: a journal found hot may just have put older text back, and
    // another writer may have finished meanwhile), and makes it durable
    // (data and directory entry) before the caller touches the file.
    int begin(const std::string& target, int file, std::string& old) {
        if (int err = create(target)) return err;
        int err = copy(file, old);
        if (err == 0) err = sync_file(fd_.get());
        if (err == 0) err = sync_directory_of(target);
        if (err != 0) rollback();
        return err;
    }

    // The new text is synced: the journal is no longer needed. A journal
    // that cannot be removed would undo the save at the next load.
    int commit(const std::string& target) noexcept {
        if (int err = unlink_journal(name_)) return err;
        fd_.close();
        sync_directory_of(target);  // the new text is durable either way
        return 0;
    }

    void rollback() noexcept {
        unlink_journal(name_);
        fd_.close();
    }

private:
    int copy(int file, std::string& old) {
        struct stat st;
        if (again([&] { return ::fstat(file, &st); }) != 0) return errno;
        if (int err = read_all(file, old)) return err;
        // Readable by whoever may read the file, so that they can recover it.
        if (again([&] { return ::fchmod(fd_.get(), (st.st_mode & 0666) | 0600); }) != 0) return errno;
        const Saved saved{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), old};
        return pwrite_all(fd_.get(), encode(saved), 0);
    }

    int create(const std::string& target) {
        for (int attempt = 0; attempt < max_attempts; ++attempt) {
            fd_.reset(again([&] { return ::open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }));
            if (!fd_.valid()) {
                if (errno != EEXIST) return errno;
                if (int err = roll_back_hot(target, name_, true)) return err;
                continue;
            }
            if (again([&] { return ::flock(fd_.get(), LOCK_EX); }) != 0) {
                const int err = errno;
                rollback();
                return err;
            }
            // A loader may have taken our still empty, unlocked journal for
            // a torn one and removed it.
            const int named = still_named(fd_.get(), name_);
            if (named == 0) return 0;
            if (named != renamed) {
                rollback();
                return named;
            }
        }
        fd_.close();
        return EBUSY;
    }

    std::string name_;
    Fd fd_;
};

int save_unjournaled(int fd, const Content& content) {
    std::string old;
    if (int err = read_all(fd, old)) return err;
    if (int err = overwrite(fd, content)) {
        put_back(fd, old);
        return err;
    }
    return 0;
}

}  // namespace

std::string journal_name(const std::string& target) { return sibling_name(target, journal_tail); }

int save_in_place(const std::string& target, const Content& content) noexcept {
    try {
        Fd file(again([&] { return ::open(target.c_str(), O_RDWR | O_CLOEXEC); }));
        if (!file.valid()) return errno;
        std::string old;
        Journal journal(journal_name(target));
        if (int err = journal.begin(target, file.get(), old)) {
            return directory_refused(err) ? save_unjournaled(file.get(), content) : err;
        }
        int err = overwrite(file.get(), content);
        if (err == 0) err = journal.commit(target);
        if (err == 0) {
            file.close();  // after the sync and the commit, nothing left to report
            return 0;
        }
        // Failed part way: the old text goes back at once. Should that fail
        // too, the journal stays, and the next load puts the old text back.
        if (put_back(file.get(), old) == 0) journal.rollback();
        return err;
    } catch (...) {
        return ENOMEM;
    }
}

int recover_in_place_save(const std::string& target) noexcept {
    try {
        return roll_back_hot(target, journal_name(target), false);
    } catch (...) {
        return ENOMEM;
    }
}

}  // namespace ini::posix
