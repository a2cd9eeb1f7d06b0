// The undo journal beside the image. Before a cycle first changes a region,
// the region's bytes are appended to the journal and made durable; only
// then is the region written. A command that completes removes the journal
// once its output is out, one that fails once its undo is synced. A journal
// found at the start therefore holds the bytes an interrupted command
// replaced: a writer puts them back, a reader shows the image with them.
//
// Format, little-endian: a header of 40 bytes (magic, the image's inode,
// size and digest before the command, 4 zero bytes, a CRC-32 of the rest),
// then records (offset, length, the bytes, a CRC-32 of all three).
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#define JOURNAL_SUFFIX ".norvask-journal"
static const unsigned char MAGIC[8] = {'N', 'V', 'O', 'E', 'M', 'J', '1', '\n'};
enum { HEADER_LEN = 40, RECORD_FIXED = 12, JOURNAL_MAX = 0x10000, CHUNK = 0x10000 };

// CRC-32 (the reflected 0xEDB88320 polynomial), a table built at compile time.
struct crc_table_t {
    uint32_t v[256];
};
static constexpr crc_table_t CRC_TABLE = [] {
    crc_table_t t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
        t.v[i] = c;
    }
    return t;
}();

static uint32_t crc32(const unsigned char *p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    while (n-- > 0)
        crc = (crc >> 8) ^ CRC_TABLE.v[(crc ^ *p++) & 0xFF];
    return ~crc;
}

static void put32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

static void put64(unsigned char *p, uint64_t v)
{
    put32(p, (uint32_t)v);
    put32(p + 4, (uint32_t)(v >> 32));
}

static uint32_t get32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint64_t get64(const unsigned char *p)
{
    return get32(p) | (uint64_t)get32(p + 4) << 32;
}

// The digest of an image is a sum over its words of a mix of each word with
// its index, so that a write changes it by its words alone: the bytes the
// tool never writes are read once per run, not at every command.
uint64_t img_word_digest(uint64_t index, uint32_t word)
{
    uint64_t z = (index << 32 | word) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Lays the found journal's old bytes over bytes [start, start + len).
void img_overlay(const img_t *img, uint32_t start, unsigned char *bytes, uint32_t len)
{
    for (int i = 0; i < img->nrecords; i++) {
        const img_record_t *r = &img->records[i];
        for (uint32_t k = 0; k < r->len; k++)
            if (r->start + k >= start && r->start + k - start < len)
                bytes[r->start + k - start] = r->bytes[k];
    }
}

// The digest of the whole file, with the found journal laid over it.
static bool digest_file(img_t *img, uint64_t *digest)
{
    unsigned char buf[CHUNK];
    *digest = 0;
    for (uint64_t at = 0; at < img->size; at += CHUNK) {
        size_t n = img->size - at < CHUNK ? (size_t)(img->size - at) : (size_t)CHUNK;
        if (sys_pread(img->fd, buf, n, (off_t)at) != (ssize_t)n)
            return false;
        img_overlay(img, (uint32_t)at, buf, (uint32_t)n);
        memset(buf + n, 0, (4 - n % 4) % 4);
        for (size_t i = 0; i < n; i += 4)
            *digest += img_word_digest((at + i) / 4, get32(buf + i));
    }
    return true;
}

// ---------------------------------------------------------------- found at the start
static bool is_region(uint32_t start, uint32_t len)
{
    return len > 0 && len <= IMG_REGION_CAP && img_region_of(start, len) && start % IMG_WORD_SIZE == 0;
}

// The records after the header, up to the first that is cut off or fails
// its checksum: its write never happened, since each record is synced
// before the write it covers.
static bool read_records(img_t *img, const unsigned char *j, size_t n)
{
    img->nrecords = 0;
    for (size_t at = HEADER_LEN; n - at >= RECORD_FIXED && img->nrecords < IMG_MAX_REGIONS;) {
        uint32_t start = get32(j + at), len = get32(j + at + 4);
        if (len > IMG_REGION_CAP || n - at - RECORD_FIXED < len ||
            get32(j + at + 8 + len) != crc32(j + at, 8 + (size_t)len))
            break;
        if (!is_region(start, len) || (uint64_t)start + len > img->size)
            return false;  // whole, but of no image this tool writes
        img_record_t *r = &img->records[img->nrecords++];
        r->start = start;
        r->len = len;
        memcpy(r->bytes, j + at + 8, len);
        at += RECORD_FIXED + len;
    }
    return true;
}

static img_journal_t judge(img_t *img, const unsigned char *j, size_t n, uid_t image_owner, const struct stat *st)
{
    if (!S_ISREG(st->st_mode) || st->st_nlink != 1 || (st->st_uid != geteuid() && st->st_uid != image_owner) ||
        n > JOURNAL_MAX || memcmp(j, MAGIC, n < sizeof MAGIC ? n : sizeof MAGIC) != 0)
        return JOURNAL_FOREIGN;
    if (n < HEADER_LEN || get32(j + HEADER_LEN - 4) != crc32(j, HEADER_LEN - 4))
        return JOURNAL_TORN;  // cut off before its first record: nothing was written
    if (!read_records(img, j, n))
        return JOURNAL_FOREIGN;
    uint64_t digest;
    if (!digest_file(img, &digest)) {
        img->why = strerror(errno);
        return JOURNAL_UNREADABLE;
    }
    bool same = get64(j + 8) == img->ino && get64(j + 16) == img->size && get64(j + 24) == digest;
    return same ? JOURNAL_PENDING : JOURNAL_MISMATCH;
}

static img_journal_t read_journal(img_t *img, uid_t image_owner)
{
    unsigned char j[JOURNAL_MAX + 1];
    struct stat st;
    if (sys_lstat(img->jpath, &st) != 0) {
        img->why = strerror(errno);
        return errno == ENOENT ? JOURNAL_NONE : JOURNAL_UNREADABLE;
    }
    ssize_t n = 0;
    if (S_ISREG(st.st_mode)) {
        int fd = sys_open(img->jpath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
        n = fd < 0 ? -1 : sys_pread(fd, j, sizeof j, 0);
        img->why = strerror(errno);
        if (fd >= 0)
            sys_close(fd);
        if (n < 0)
            return JOURNAL_UNREADABLE;
    }
    return judge(img, j, (size_t)n, image_owner, &st);
}

// Removes the journal and syncs its directory, so that it stays removed.
static bool unlink_journal(img_t *img)
{
    bool ok = sys_unlink(img->jpath) == 0 && sys_fsync(img->dir_fd) == 0;
    img->why = ok ? nullptr : strerror(errno);
    return ok;
}

// A writer puts the journal's bytes back, syncs, and only then removes it.
static img_journal_t recover(img_t *img, img_journal_t found)
{
    if (found == JOURNAL_PENDING) {
        for (int i = 0; i < img->nrecords; i++) {
            const img_record_t *r = &img->records[i];
            if (sys_pwrite(img->fd, r->bytes, r->len, r->start) != (ssize_t)r->len) {
                img->why = strerror(errno);
                return JOURNAL_STUCK;
            }
        }
        if (sys_fsync(img->fd) != 0) {
            img->why = strerror(errno);
            return JOURNAL_STUCK;
        }
    }
    img->nrecords = 0;
    return unlink_journal(img) ? (found == JOURNAL_PENDING ? JOURNAL_UNDONE : JOURNAL_TORN) : JOURNAL_STUCK;
}

// The journal's name: beside the file the descriptor holds, found through
// the path with its symbolic links followed; dir is its directory. False
// when the file cannot be found there.
static bool journal_path(img_t *img, char *dir, size_t cap)
{
    char resolved[PATH_MAX];  // on the stack: the tool allocates nothing
    char *real = realpath(img->path, resolved);
    bool ok = real != nullptr && strlen(real) + sizeof JOURNAL_SUFFIX <= sizeof img->jpath && strlen(real) < cap;
    img->no_journal = ok ? nullptr : real == nullptr ? strerror(errno) : "its path is too long";
    if (ok) {
        snprintf(img->jpath, sizeof img->jpath, "%s" JOURNAL_SUFFIX, real);
        snprintf(dir, cap, "%s", real);
        char *slash = strrchr(dir, '/');
        slash[slash == dir ? 1 : 0] = '\0';
    }
    return ok;
}

// Errors that say no journal can be made here, as opposed to a failing device.
static bool cannot_keep(img_t *img, int err)
{
    if (err != EACCES && err != EPERM && err != EROFS && err != EINVAL && err != ENOTSUP)
        return false;
    img->no_journal = err == EINVAL || err == ENOTSUP ? "its file system cannot sync a directory" : strerror(err);
    img->jpath[0] = '\0';
    return true;
}

// At the start, the image locked: where the journal lives, what was found
// there (a writer recovers from it), and for a writer whether one can be
// kept at all. False when a call failed: the run does not start.
bool img_journal_setup(img_t *img, img_mode_t mode, bool block_device, uid_t image_owner)
{
    char dir[PATH_MAX];
    struct stat st;
    img->jpath[0] = '\0';
    img->dir_fd = img->jfd = -1;
    img->journaled = false;
    img->nrecords = 0;
    img->digest_known = false;
    img->journal = JOURNAL_NONE;
    img->no_journal = "the image is a block device";
    if (block_device || !journal_path(img, dir, sizeof dir))
        return true;
    // The path followed must lead to the locked file itself.
    std::string_view real(img->jpath, strlen(img->jpath) - strlen(JOURNAL_SUFFIX));
    char file[sizeof img->jpath];
    snprintf(file, sizeof file, "%.*s", (int)real.size(), real.data());
    if (sys_stat(file, &st) != 0)
        return img->why = strerror(errno), false;
    if ((uint64_t)st.st_dev != img->dev || (uint64_t)st.st_ino != img->ino) {
        img->no_journal = "its path changed";
        img->jpath[0] = '\0';
        return true;
    }
    if (mode == IMG_UPDATE && (img->dir_fd = sys_open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0)) < 0)
        return cannot_keep(img, errno) || (img->why = strerror(errno), false);
    img->journal = read_journal(img, image_owner);
    if (mode == IMG_UPDATE && (img->journal == JOURNAL_PENDING || img->journal == JOURNAL_TORN))
        img->journal = recover(img, img->journal);
    else if (mode == IMG_UPDATE && img->journal == JOURNAL_NONE &&
             (sys_access(dir, W_OK) != 0 || sys_fsync(img->dir_fd) != 0))
        return cannot_keep(img, errno) || (img->why = strerror(errno), false);
    return true;
}

// ---------------------------------------------------------------- written by a cycle
// Before the cycle's first write into region r: its bytes as they are, in
// a record made durable, the journal (and its directory entry) first when
// this is the cycle's first.
bool img_journal_cover(img_t *img, const img_region_t *r)
{
    if (img->jpath[0] == '\0' || img->dry_run)
        return true;
    unsigned char buf[HEADER_LEN + RECORD_FIXED + IMG_REGION_CAP];
    size_t n = 0;
    bool created = img->jfd < 0;
    if (created) {
        if (!img->digest_known && !digest_file(img, &img->digest)) {
            img_mark_failed(img, IMG_READ_FAIL);
            return false;
        }
        img->digest_known = true;
        img->jfd = sys_open(img->jpath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, img->mode);
        if (img->jfd < 0)
            return false;
        img->journaled = true;
        img->jsize = 0;
        memcpy(buf, MAGIC, sizeof MAGIC);
        put64(buf + 8, img->ino);
        put64(buf + 16, img->size);
        put64(buf + 24, img->digest);
        put32(buf + 32, 0);
        put32(buf + 36, crc32(buf, HEADER_LEN - 4));
        n = HEADER_LEN;
    }
    put32(buf + n, r->start);
    put32(buf + n + 4, r->len);
    memcpy(buf + n + 8, r->cur, r->len);
    put32(buf + n + 8 + r->len, crc32(buf + n, 8 + (size_t)r->len));
    n += RECORD_FIXED + r->len;
    if (sys_pwrite(img->jfd, buf, n, (off_t)img->jsize) != (ssize_t)n || sys_fsync(img->jfd) != 0 ||
        (created && sys_fsync(img->dir_fd) != 0))
        return false;
    img->jsize += n;
    return true;
}

// The cycle's journal is no longer needed: its command completed, or its
// undo is synced.
bool img_journal_remove(img_t *img)
{
    img_journal_close(img);
    if (!img->journaled)
        return true;
    img->journaled = false;
    return unlink_journal(img);
}

// Closes the cycle's journal, whose records are synced already. False when
// the close fails: a journal that may not be whole fails its command.
bool img_journal_close(img_t *img)
{
    int fd = img->jfd;
    img->jfd = -1;
    return fd < 0 || sys_close(fd) == 0;
}
