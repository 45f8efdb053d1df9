#include "disk/journal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string_view>

#include "disk/digest.hpp"

namespace ini::posix {

namespace {

constexpr std::string_view magic = "KINIJRN3";
constexpr size_t field_count = 8;
constexpr size_t header_size = magic.size() + field_count * sizeof(uint64_t);

// What a journal records (J2): the file it belongs to, the text the file
// held before the write and the text written over it from offset 0, and
// whether that old text was a whole state: a save's was; that of putting
// a failed save's old text back (R2) was the torn file.
struct Record {
    Identity file;
    bool old_whole = true;
    std::string old_text;
    std::string new_text;
};

void put_u64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint64_t get_u64(std::string_view in) noexcept {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(in[static_cast<size_t>(i)]);
    return value;
}

std::string fields_of(const Record& r) {
    std::string out(magic);
    for (const uint64_t value : {r.file.inode, r.file.birth_seconds, r.file.birth_nanoseconds, r.file.device,
                                 uint64_t{r.old_whole}, uint64_t{r.old_text.size()},
                                 uint64_t{r.new_text.size()}}) {
        put_u64(out, value);
    }
    return out;
}

// The checksum covers everything: a journal cut short or garbled by a kill
// while it was written never counts (the file was not touched yet then).
uint64_t checksum(const std::string& fields, const Record& r) {
    return fnv1a(r.new_text, fnv1a(r.old_text, fnv1a(fields)));
}

std::string encode(const Record& r) {
    std::string out = fields_of(r);
    put_u64(out, checksum(out, r));
    out += r.old_text;
    out += r.new_text;
    return out;
}

bool decode(std::string_view data, Record& r) {
    if (data.size() < header_size || data.substr(0, magic.size()) != magic) return false;
    uint64_t v[field_count];
    for (size_t i = 0; i < field_count; ++i) v[i] = get_u64(data.substr(magic.size() + 8 * i, 8));
    if (v[4] > 1 || v[5] > data.size() || v[6] != data.size() - header_size - v[5]) return false;
    r.file = Identity{v[0], v[1], v[2], v[3]};
    r.old_whole = v[4] == 1;
    r.old_text = data.substr(header_size, static_cast<size_t>(v[5]));
    r.new_text = data.substr(header_size + static_cast<size_t>(v[5]));
    return checksum(fields_of(r), r) == v[7];
}

std::string journal_name(const Identity& id) { return id.key() + ".journal"; }

// J3: the whole journal is durable, data and name, before the caller
// touches the file. Written under another name and renamed, so that a
// journal replaced by the one of putting the old text back (R2) is always
// one or the other; `named` tells whether it replaced it.
int write_journal(int directory, const Record& r, bool& named, Fd& fd) {
    named = false;
    const std::string name = journal_name(r.file);
    const std::string fresh = name + ".new";
    fd.reset(again([&] {
        return ::openat(directory, fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    if (!fd.valid()) return errno;
    int err = pwrite_all(fd.get(), encode(r), 0);
    if (err == 0) err = sync_file(fd.get());
    if (err == 0 && again([&] { return ::renameat(directory, fresh.c_str(), directory, name.c_str()); }) != 0) {
        err = errno;
    }
    if (err != 0) {
        again([&] { return ::unlinkat(directory, fresh.c_str(), 0); });
        fd.close();
        return err;
    }
    named = true;
    return sync_file(directory);
}

// J5: the save's journal is voided, its magic wiped and synced, before it
// is removed, so that one which a crash brings back, or which could not be
// removed, never undoes the save: once this returns 0 the save is durable.
int commit(int journal) noexcept {
    if (int err = pwrite_all(journal, std::string(magic.size(), '\0'), 0)) return err;
    return sync_file(journal);
}

// Best effort. A journal that a crash brings back no longer fits the
// file (R3) and is removed then.
void remove_journal(int directory, const Identity& id) noexcept {
    try {
        const std::string name = journal_name(id);
        if (again([&] { return ::unlinkat(directory, name.c_str(), 0); }) == 0) sync_file(directory);
    } catch (...) {
    }
}

// ENOENT where there is none; `valid` false for one that a kill cut short.
int read_journal(int directory, const Identity& id, Record& r, bool& valid) {
    valid = false;
    const std::string name = journal_name(id);
    Fd fd(again([&] { return ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd.valid()) return errno;
    std::string data;
    if (int err = read_all(fd.get(), data)) return err;
    valid = decode(data, r) && r.file == id;
    return 0;
}

size_t common_prefix(std::string_view a, std::string_view b) noexcept {
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    return at;
}

// R1: whether `file` is what writing `fresh` from offset 0 over `old` and
// then cutting the file to the length of `fresh` leaves when stopped part
// way: fresh[:k] + old[k:] for some k, the written part reaching past the
// old text's end included. A file emptied, cut or otherwise changed by
// anyone else is none of these.
bool torn(std::string_view file, std::string_view old, std::string_view fresh) noexcept {
    if (file == fresh) return false;
    const size_t written = common_prefix(file, fresh);
    if (file.size() > old.size()) return file.size() <= fresh.size() && written == file.size();
    if (file.size() < old.size()) return false;
    size_t old_from = file.size();
    while (old_from > 0 && file[old_from - 1] == old[old_from - 1]) --old_from;
    return old_from <= written;
}

int overwrite(int fd, std::string_view head, std::string_view body) noexcept {
    if (int err = write_from_start(fd, Content{head, body})) return err;
    // Only a shorter text needs the cut; the writes above extended the file
    // with real bytes, never with zeros.
    if (again([&] { return ::ftruncate(fd, static_cast<off_t>(head.size() + body.size())); }) != 0) return errno;
    return sync_file(fd);
}

// R2: a save that failed part way puts the old text back behind a journal
// of its own, whose plan writes the old text over what the file holds now,
// so that a kill while it is written back leaves a state that journal's
// plan knows.
int put_back(int directory, const Record& r, int writable, std::string current) {
    Record back{r.file, false, std::move(current), r.old_text};
    bool named = false;
    Fd journal;
    // Not yet in the save journal's place: that one stays and is obeyed.
    if (int err = write_journal(directory, back, named, journal); err != 0 && !named) return err;
    if (int err = overwrite(writable, {}, back.new_text)) return err;
    remove_journal(directory, back.file);
    return 0;
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

// S6: as open(path, "w+") would, with the old text put back at once where
// the write fails.
int save_unjournaled(int fd, std::string_view old, const Content& content) {
    if (int err = overwrite(fd, content.head, content.body)) {
        overwrite(fd, {}, old);
        return err;
    }
    return 0;
}

// Not an errno: the save goes on without a journal.
constexpr int no_journal = -1;

// Under the file's private lock, held by the caller.
int write_in_place(int directory, int file, const Identity& id, const Content& content) {
    std::optional<std::string> unused;
    if (int err = settle_journal(directory, id, file, file, unused)) return err;
    Record r{id, true, {}, std::string(content.head)};
    if (int err = read_all(file, r.old_text)) return err;
    r.new_text += content.body;
    // J4: a journal that cannot be made durable leaves the save as open()
    // would do it: a journal left behind would undo it.
    bool named = false;
    Fd journal;
    if (write_journal(directory, r, named, journal) != 0) {
        if (named) remove_journal(directory, id);
        return no_journal;
    }
    int err = overwrite(file, content.head, content.body);
    if (err == 0) err = commit(journal.get());
    if (err == 0) {
        remove_journal(directory, id);
        return 0;
    }
    // Failed part way: the old text goes back at once. Should that fail
    // too, the journal stays, and this user's next load puts it back.
    std::string current;
    if (read_all(file, current) == 0) put_back(directory, r, file, std::move(current));
    return err;
}

}  // namespace

bool journal_exists(int directory, const Identity& id) noexcept {
    try {
        struct stat st;
        const std::string name = journal_name(id);
        return again([&] { return ::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW); }) == 0 ||
               errno != ENOENT;
    } catch (...) {
        return true;
    }
}

int settle_journal(int directory, const Identity& id, int file, int writable, std::optional<std::string>& text,
                   Settler settler) noexcept {
    try {
        const bool holder = settler == Settler::holder;
        if (holder) {
            // What a writer killed before its journal's rename left.
            const std::string unfinished = journal_name(id) + ".new";
            again([&] { return ::unlinkat(directory, unfinished.c_str(), 0); });
        }
        Record r;
        bool valid = false;
        if (int err = read_journal(directory, id, r, valid)) return err == ENOENT ? 0 : err;
        std::string current;
        if (int err = read_all(file, current)) return err;
        // R1: a whole state is kept, whoever wrote it; R3: so is anything
        // the plan cannot have left.
        const bool whole = current == r.new_text || (r.old_whole && current == r.old_text);
        const bool mended = valid && !whole && torn(current, r.old_text, r.new_text);
        if (!holder) {
            // R8: the save in progress, seen from outside.
            if (valid && whole) text = std::move(current);
            else if (mended) text = r.old_whole ? r.old_text : r.new_text;
            return 0;
        }
        // R7: forward, writing only the target; a target that cannot be
        // written still gives the load a whole state, the journal kept.
        if (mended && (writable < 0 || overwrite(writable, {}, r.new_text) != 0)) {
            text = r.new_text;
            return 0;
        }
        remove_journal(directory, id);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int save_in_place(int file, const Status& status, const Content& content, Started started,
                  PrivateLock* held) noexcept {
    try {
        // L4: this user's private lock first, then the file's: loads take
        // them in the same order.
        int directory = private_directory();
        PrivateLock own;
        PrivateLock& lock = held != nullptr && held->held() ? *held : own;
        if (directory >= 0 && !lock.held()) {
            const int err = lock.take(directory, status.id.key(), LockKind::exclusive, started);
            if (err == EINTR || err == EAGAIN) return err;
            if (err != 0) directory = -1;
        }
        LockOutcome outcome;
        if (int err = wait_for_lock(file, LockKind::exclusive, LockByte::writer, started, outcome)) {
            if (err == EINTR) return err;
            // A file system without these locks (ENOLCK on some network
            // ones): open(path, "w+") works there, so the save goes on.
            outcome = LockOutcome::held_by_reader;
        }
        // L3: another writer of the file, stuck past the writers' wait:
        // going on would mix our text with theirs.
        if (outcome == LockOutcome::held_by_writer) return EAGAIN;
        int err = directory >= 0 ? write_in_place(directory, file, status.id, content) : no_journal;
        if (err == no_journal) {
            std::string old;
            if (int read_err = read_all(file, old)) return read_err;
            err = save_unjournaled(file, old, content);
        }
        if (err == 0) keep_set_id_bits(file, status.st);
        return err;
    } catch (...) {
        return ENOMEM;
    }
}

}  // namespace ini::posix
