#include "disk/journal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "disk/digest.hpp"
#include "disk/file_lock.hpp"

#if defined(STATX_BTIME) && !defined(KESTRA_PORTABLE)
#define KESTRA_BIRTH_TIME 1
#endif

namespace ini::posix {

namespace {

constexpr std::string_view journal_tail = ".ini-journal";
constexpr std::string_view magic = "KINIJRN2";
constexpr size_t field_count = 7;
constexpr size_t header_size = magic.size() + field_count * sizeof(uint64_t);

// Which file a journal belongs to, by what a reboot keeps: the inode number
// and, where the system records it, the file's birth time, which tells a
// file from a later one that got the same inode. The device number is left
// out: it can change across a reboot (btrfs, NFS, device-mapper).
struct Identity {
    uint64_t inode = 0;
    uint64_t birth_seconds = 0;
    uint64_t birth_nanoseconds = 0;

    bool matches(const Identity& other) const noexcept {
        if (inode != other.inode) return false;
        const bool both_born = (birth_seconds | birth_nanoseconds) != 0 &&
                               (other.birth_seconds | other.birth_nanoseconds) != 0;
        return !both_born ||
               (birth_seconds == other.birth_seconds && birth_nanoseconds == other.birth_nanoseconds);
    }
};

Identity identity_of(int fd, const struct stat& st) noexcept {
    Identity id;
    id.inode = static_cast<uint64_t>(st.st_ino);
#ifdef KESTRA_BIRTH_TIME
    struct statx sx;
    if (again([&] { return ::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx); }) == 0 &&
        (sx.stx_mask & STATX_BTIME) != 0) {
        id.birth_seconds = static_cast<uint64_t>(sx.stx_btime.tv_sec);
        id.birth_nanoseconds = sx.stx_btime.tv_nsec;
    }
#else
    (void)fd;
#endif
    return id;
}

// The journal's header: magic, then the fields below, then the old text and
// the new one. The first checksum covers the other fields and the old text
// (a journal cut short or garbled must never be written into the file); the
// second covers the new text, which recovery compares with the file.
struct Header {
    Identity file;
    uint64_t old_size = 0;
    uint64_t new_size = 0;
    uint64_t old_checksum = 0;
    uint64_t new_checksum = 0;
};

void put_u64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint64_t get_u64(std::string_view in) noexcept {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(in[static_cast<size_t>(i)]);
    return value;
}

std::string fields_of(const Header& h) {
    std::string out;
    for (const uint64_t value : {h.file.inode, h.file.birth_seconds, h.file.birth_nanoseconds, h.old_size,
                                 h.new_size}) {
        put_u64(out, value);
    }
    return out;
}

uint64_t old_checksum(const Header& h, std::string_view old) { return fnv1a(old, fnv1a(fields_of(h))); }

std::string encode(Header h, std::string_view old, const Content& content) {
    h.old_size = old.size();
    h.new_size = content.size();
    h.old_checksum = old_checksum(h, old);
    h.new_checksum = fnv1a(content.body, fnv1a(content.head));
    std::string out(magic);
    out += fields_of(h);
    put_u64(out, h.old_checksum);
    put_u64(out, h.new_checksum);
    out += old;
    out += content.head;
    out += content.body;
    return out;
}

bool decode_header(std::string_view data, Header& h) noexcept {
    if (data.size() != header_size || data.substr(0, magic.size()) != magic) return false;
    uint64_t values[field_count];
    for (size_t i = 0; i < field_count; ++i) values[i] = get_u64(data.substr(magic.size() + 8 * i, 8));
    h.file = {values[0], values[1], values[2]};
    h.old_size = values[3];
    h.new_size = values[4];
    h.old_checksum = values[5];
    h.new_checksum = values[6];
    return true;
}

// Up to `size` bytes at `offset`; fewer only at the end of the file.
int read_range(int fd, uint64_t offset, uint64_t size, std::string& out) {
    out.resize(static_cast<size_t>(size));
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = again([&] {
            return ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        });
        if (got < 0) return errno;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    out.resize(done);
    return 0;
}

// Whether a journal could have been left by someone who may write the
// file anyway: a plain file of one name, owned by the file's owner or root,
// or by a user whom the file's mode lets write it (everyone, or its group
// when the journal has the file's group), and writable by nobody else.
bool trusted(const struct stat& journal, const struct stat& file) noexcept {
    if (!S_ISREG(journal.st_mode) || journal.st_nlink != 1) return false;
    if ((journal.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
    if (journal.st_uid == file.st_uid || journal.st_uid == 0) return true;
    if ((file.st_mode & S_IWOTH) != 0) return true;
    return (file.st_mode & S_IWGRP) != 0 && journal.st_gid == file.st_gid;
}

size_t common_prefix(std::string_view a, std::string_view b, size_t from) noexcept {
    size_t at = from;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    return at;
}

// Whether `file` is what a save of `fresh` over `old` leaves when it stops
// part way, or what putting `old` back leaves when that stops in turn: the
// old text, with one stretch of it overwritten by the new text's bytes at
// the same offsets (at the end, the file may stop within that stretch).
// `fresh` holds the new text's first bytes, as many as the file has.
bool torn_write(std::string_view file, std::string_view old, std::string_view fresh, uint64_t fresh_size) {
    const size_t old_until = common_prefix(file, old, 0);
    const size_t fresh_until = common_prefix(file, fresh, old_until);
    if (fresh_until == file.size()) return file.size() <= std::max<uint64_t>(old.size(), fresh_size);
    return file.size() == old.size() && file.substr(fresh_until) == old.substr(fresh_until);
}

enum class Verdict { absent, stale, untouched, torn };

// How much old text a journal may make recovery read beyond the file's own
// size: a file cut to a short new text still gets a long old one back.
constexpr uint64_t old_text_allowance = 1 << 20;

// Whether a trusted journal records a save that tore the file. `old` is
// filled for `torn`.
int judge(int journal, const struct stat& jst, int file, const struct stat& fst, Verdict& verdict,
          std::string& old) {
    verdict = Verdict::stale;
    std::string raw;
    if (int err = read_range(journal, 0, header_size, raw)) return err;
    Header h;
    // A committed journal has lost its magic; so has one whose writer died
    // before it was whole.
    if (!decode_header(raw, h) || !h.file.matches(identity_of(file, fst))) return 0;
    if (h.old_size > UINT32_MAX || h.new_size > UINT32_MAX ||
        static_cast<uint64_t>(jst.st_size) != header_size + h.old_size + h.new_size) {
        return 0;  // cut short by a crash while it was written: the file was not touched yet
    }
    // Nothing is read far beyond what the file's own size allows: a journal
    // claiming more than that does not fit this file.
    const uint64_t size = static_cast<uint64_t>(fst.st_size);
    if (h.old_size > std::max(size, old_text_allowance)) return 0;
    if (int err = read_range(journal, header_size, h.old_size, old)) return err;
    if (old.size() != h.old_size || old_checksum(h, old) != h.old_checksum) return 0;
    std::string text, fresh;
    if (int err = read_range(file, 0, size, text)) return err;
    if (int err = read_range(journal, header_size + h.old_size, std::min(h.new_size, size), fresh)) return err;
    const bool whole = fresh.size() == h.new_size && fresh == text && fnv1a(fresh) == h.new_checksum;
    if (text == old) verdict = Verdict::untouched;
    else if (whole || torn_write(text, old, fresh, h.new_size)) verdict = Verdict::torn;
    return 0;
}

// Opens the journal at `name` and judges it for the file open as `file`:
// `absent` when nothing stands there that we may obey. Not followed, and
// never waited on (a FIFO): anything but a plain file of the file's writers
// is passed over. Reading needs nothing more than read access to both.
int examine(const std::string& name, int file, Fd& journal, Verdict& verdict, std::string& old) {
    verdict = Verdict::absent;
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    journal.reset(again([&] { return ::open(name.c_str(), flags); }));
    if (!journal.valid()) return 0;
    struct stat jst, fst;
    if (again([&] { return ::fstat(journal.get(), &jst); }) != 0) return 0;
    if (again([&] { return ::fstat(file, &fst); }) != 0) return errno;
    if (!trusted(jst, fst)) return 0;
    return judge(journal.get(), jst, file, fst, verdict, old);
}

int overwrite(int fd, const Content& content) noexcept {
    if (int err = write_from_start(fd, content)) return err;
    // Only a shorter text needs the cut; the writes above extended the file
    // with real bytes, never with zeros.
    if (again([&] { return ::ftruncate(fd, static_cast<off_t>(content.size())); }) != 0) return errno;
    return sync_file(fd);
}

int put_back(int fd, std::string_view old) noexcept { return overwrite(fd, Content{{}, old}); }

bool same_file(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the journal open as `journal` if `name` still names it. Best
// effort: a journal that stays is judged again, and is stale by then.
void remove_journal(const std::string& name, int journal) noexcept {
    struct stat opened, named;
    if (again([&] { return ::fstat(journal, &opened); }) != 0) return;
    if (again([&] { return ::lstat(name.c_str(), &named); }) != 0 || !same_file(opened, named)) return;
    again([&] { return ::unlink(name.c_str()); });
}

// Errors of creating the journal that mean "no journal here", not "the save
// failed": the directory takes no new file, or its place is taken by
// something that is not ours.
bool journal_unavailable(int err) noexcept {
    return directory_refused(err) || err == EEXIST || err == ELOOP || err == EISDIR || err == ENXIO ||
           err == ETXTBSY || err == EMLINK || err == ENAMETOOLONG;
}

// A plain write of a file by a process without CAP_FSETID drops its set-id
// bits; the owner's save puts them back.
void keep_set_id_bits(int fd, const struct stat& before) noexcept {
    if ((before.st_mode & 06000) == 0) return;
    struct stat after;
    if (again([&] { return ::fstat(fd, &after); }) != 0 || (after.st_mode & 07777) == (before.st_mode & 07777)) {
        return;
    }
    again([&] { return ::fchmod(fd, before.st_mode & 07777); });
}

// The journal of one in-place save, from creation to commit.
class Journal {
public:
    explicit Journal(std::string name) : name_(std::move(name)) {}
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Creates the journal readable by its writer alone, gives it the file's
    // owner, group and read bits where allowed, writes the old and the new
    // text, and makes it durable (data and directory entry) before the
    // caller touches the file. On failure no journal is left; the errors of
    // journal_unavailable() let the caller go on without one.
    int begin(const std::string& target, int file, const struct stat& fst, std::string_view old,
              const Content& content) {
        fd_.reset(again([&] {
            return ::open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }));
        if (!fd_.valid()) return errno;
        take_file_permissions(fst);
        int err = pwrite_all(fd_.get(), encode(Header{identity_of(file, fst)}, old, content), 0);
        if (err == 0) err = sync_file(fd_.get());
        if (err == 0) err = sync_directory_of(target);
        if (err != 0) rollback();
        return err;
    }

    // The new text is synced: the journal is no longer needed. Its magic is
    // wiped and synced first, so that a journal which a crash brings back
    // (the directory sync after the removal may fail, or not reach the disk)
    // is stale and never undoes the save: once this returns 0 the save is
    // durable, whatever the directory sync says.
    int commit(const std::string& target) noexcept {
        if (int err = pwrite_all(fd_.get(), std::string(magic.size(), '\0'), 0)) return err;
        if (int err = sync_file(fd_.get())) return err;
        if (again([&] { return ::unlink(name_.c_str()); }) != 0) return errno;
        fd_.close();
        sync_directory_of(target);
        return 0;
    }

    void rollback() noexcept {
        if (fd_.valid()) again([&] { return ::unlink(name_.c_str()); });
        fd_.close();
    }

private:
    // Whoever may read the journal may read the file: others get the file's
    // read bit for others, the group its group read bit only when the
    // journal has the file's group; the rest stays 0600.
    void take_file_permissions(const struct stat& fst) noexcept {
        if (again([&] { return ::fchown(fd_.get(), fst.st_uid, fst.st_gid); }) != 0) {
            again([&] { return ::fchown(fd_.get(), static_cast<uid_t>(-1), fst.st_gid); });
        }
        struct stat jst;
        if (again([&] { return ::fstat(fd_.get(), &jst); }) != 0) return;
        mode_t mode = 0600 | (fst.st_mode & S_IROTH);
        if (jst.st_gid == fst.st_gid) mode |= fst.st_mode & S_IRGRP;
        again([&] { return ::fchmod(fd_.get(), mode); });
    }

    std::string name_;
    Fd fd_;
};

int save_unjournaled(int fd, const struct stat& st, std::string_view old, const Content& content) {
    if (int err = overwrite(fd, content)) {
        put_back(fd, old);
        return err;
    }
    keep_set_id_bits(fd, st);
    return 0;
}

int write_in_place(const std::string& target, int file, const Content& content, bool locked) {
    if (locked) {
        if (int err = recover_in_place_save(target, file)) return err;
    }
    struct stat st;
    if (again([&] { return ::fstat(file, &st); }) != 0) return errno;
    std::string old;
    if (int err = read_all(file, old)) return err;
    Journal journal(journal_name(target));
    if (int err = journal.begin(target, file, st, old, content)) {
        return journal_unavailable(err) ? save_unjournaled(file, st, old, content) : err;
    }
    int err = overwrite(file, content);
    if (err == 0) err = journal.commit(target);
    if (err == 0) {
        keep_set_id_bits(file, st);
        return 0;
    }
    // Failed part way: the old text goes back at once. Should that fail
    // too, the journal stays, and the next load puts the old text back.
    if (put_back(file, old) == 0) journal.rollback();
    return err;
}

}  // namespace

std::string journal_name(const std::string& target) { return sibling_name(target, journal_tail); }

int recover_in_place_save(const std::string& target, int file) noexcept {
    try {
        const std::string name = journal_name(target);
        Fd journal;
        Verdict verdict;
        std::string old;
        if (int err = examine(name, file, journal, verdict, old)) return err;
        if (verdict == Verdict::absent) return 0;
        if (verdict == Verdict::torn) {
            if (int err = put_back(file, old)) return err;
        }
        remove_journal(name, journal.get());
        sync_directory_of(target);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

std::optional<std::string> journaled_old_text(const std::string& target, int file) noexcept {
    try {
        Fd journal;
        Verdict verdict;
        std::string old;
        if (examine(journal_name(target), file, journal, verdict, old) != 0 || verdict != Verdict::torn) {
            return std::nullopt;
        }
        return old;
    } catch (...) {
        return std::nullopt;
    }
}

int save_in_place(const std::string& target, int file, const Content& content) noexcept {
    try {
        LockOutcome outcome;
        if (int err = wait_for_lock(file, LockKind::exclusive, LockByte::writer, outcome)) {
            if (err == EINTR) return err;
            // A file system without these locks (ENOLCK on some network
            // ones): open(path, "w+") works there, so the save goes on.
            outcome = LockOutcome::held_by_reader;
        }
        // Another writer of the file, stuck past the bound: going on would
        // mix our text with theirs.
        if (outcome == LockOutcome::held_by_writer) return EAGAIN;
        return write_in_place(target, file, content, outcome == LockOutcome::locked);
    } catch (...) {
        return ENOMEM;
    }
}

}  // namespace ini::posix
