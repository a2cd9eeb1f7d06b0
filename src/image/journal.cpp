// The undo journal beside the image. Before a write reaches the image, a
// record of it is made durable here: on the cycle's first write into a
// region, the region's bytes as they were, and for every write the bytes it
// puts there. A command that completes removes the journal once its output
// is out, one that fails once its undo is synced. A journal found at the
// start therefore holds what an interrupted command replaced and wrote: a
// writer puts the old bytes back, a reader shows the image with them, and
// both only when every byte is one the command could have left.
#include "journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#define JOURNAL_SUFFIX ".norvask-journal"

// On disk, little-endian: a header, then records. The header and the first
// record go out in one write, synced before the image is touched; each later
// record is synced before the write it covers.
static const unsigned char MAGIC[8] = {'N', 'V', 'O', 'E', 'M', 'J', '2', '\n'};
enum {
    HDR_MAGIC = 0,    // 8 bytes: MAGIC
    HDR_INO = 8,      // 8: the image's inode number
    HDR_SIZE = 16,    // 8: the image's size in bytes
    HDR_DIGEST = 24,  // 8: the digest of the whole image before the command
    HDR_CRC = 32,     // 4: CRC-32 of the header's bytes before it
    HDR_LEN = 36,
    REC_KIND = 0,    // 4: REC_BEFORE or REC_WRITE
    REC_LEN = 4,     // 4: n, the bytes of the record's data
    REC_AT = 8,      // 8: the data's offset in the image
    REC_DATA = 16,   // n: a region as it was, or the bytes a write put there
    REC_FIXED = 20,  // and a CRC-32 of the record's bytes before it
};
enum { REC_BEFORE = 1, REC_WRITE = 2 };
enum { JOURNAL_MAX = 0x20000, MAX_RECORDS = 256, CHUNK = 0x10000 };

typedef struct {
    uint32_t kind, len;
    uint64_t at;
    const unsigned char *data;  // in the found journal's bytes
} record_t;

// The journal's whole state.
static struct {
    int image_fd;
    uint64_t dev, ino, size;
    unsigned mode;  // the image's read and write bits, the journal's mode
    int dir;        // the image's directory (O_PATH), where the journal lives; -1: none kept
    int dir_sync;   // the same directory opened for reading, to sync it
    char base[NAME_MAX + 1];  // the image's name in dir
    char name[NAME_MAX + 1];  // the journal's
    char path[PATH_MAX + sizeof JOURNAL_SUFFIX];
    int fd;               // the cycle's journal, open until the image is synced
    bool exists;          // the cycle's journal is on disk
    uint64_t jdev, jino;  // which file it is
    uint64_t jsize;
    bool digest_known;  // digest is the image's, kept up to date by every write
    uint64_t digest;
    const char *why;
    int nrecords;  // a found journal's records
    record_t records[MAX_RECORDS];
} J = {-1, 0, 0, 0, 0, -1, -1, "", "", "", -1, false, 0, 0, 0, false, 0, nullptr, 0, {}};

static unsigned char s_found[JOURNAL_MAX + 1];  // static: the tool allocates nothing
static unsigned char s_out[HDR_LEN + 2 * IMG_MAX_REGIONS * (REC_FIXED + IMG_REGION_CAP)];

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

static bool fail(const char *why)
{
    J.why = why != nullptr ? why : strerror(errno);
    return false;
}

const char *jrn_why(void)
{
    return J.why;
}

// ---------------------------------------------------------------- the digest
// A sum over the image's words of a mix of each word with its index, so
// that a write changes it by its words alone: the bytes the tool never
// writes are read once per run, not at every command.
static uint64_t word_digest(uint64_t index, uint32_t word)
{
    uint64_t z = (index << 32 | word) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void jrn_overlay(uint64_t at, unsigned char *bytes, size_t n)
{
    for (int i = 0; i < J.nrecords; i++) {
        const record_t *r = &J.records[i];
        for (uint32_t k = 0; r->kind == REC_BEFORE && k < r->len; k++)
            if (r->at + k >= at && r->at + k - at < n)
                bytes[r->at + k - at] = r->data[k];
    }
}

// The digest of the whole file, with the found journal's old bytes over it.
static bool digest_file(uint64_t *digest)
{
    unsigned char buf[CHUNK];
    *digest = 0;
    for (uint64_t at = 0; at < J.size; at += CHUNK) {
        size_t n = J.size - at < CHUNK ? (size_t)(J.size - at) : (size_t)CHUNK;
        if (g_img_sys.pread(J.image_fd, buf, n, (off_t)at) != (ssize_t)n)
            return fail(nullptr);
        jrn_overlay(at, buf, n);
        memset(buf + n, 0, (4 - n % 4) % 4);
        for (size_t i = 0; i < n; i += 4)
            *digest += word_digest((at + i) / 4, get32(buf + i));
    }
    return true;
}

void jrn_note_write(uint64_t at, const unsigned char *old, const unsigned char *now, size_t n,
                    bool whole)
{
    J.digest_known = J.digest_known && whole;
    for (size_t i = 0; J.digest_known && i < n; i += 4)
        J.digest +=
            word_digest((at + i) / 4, get32(now + i)) - word_digest((at + i) / 4, get32(old + i));
}

void jrn_forget_digest(void)
{
    J.digest_known = false;
}

// ---------------------------------------------------------------- found at the start
// Whole: the record at `at` is all there and passes its checksum. A record
// that is not was cut off: its write never happened.
static bool record_whole(const unsigned char *j, size_t n, size_t at)
{
    if (n < at || n - at < REC_FIXED)
        return false;
    uint32_t len = get32(j + at + REC_LEN);
    return len <= IMG_REGION_CAP && len <= n - at - REC_FIXED &&
           get32(j + at + REC_DATA + len) == crc32(j + at, REC_DATA + (size_t)len);
}

// The region a BEFORE record holds, or that holds a WRITE record.
static const record_t *before_of(const record_t *w)
{
    for (int i = 0; i < J.nrecords; i++) {
        const record_t *r = &J.records[i];
        if (r != w && r->kind == REC_BEFORE && w->at >= r->at && w->at + w->len <= r->at + r->len)
            return r;
    }
    return nullptr;
}

// The records, up to the first that is not whole. False when one is whole
// but impossible: no run of this tool wrote it.
static bool read_records(const unsigned char *j, size_t n)
{
    J.nrecords = 0;
    for (size_t at = HDR_LEN; record_whole(j, n, at); at += REC_FIXED + get32(j + at + REC_LEN)) {
        if (J.nrecords == MAX_RECORDS)
            return false;
        record_t *r = &J.records[J.nrecords++];
        *r = record_t{get32(j + at + REC_KIND), get32(j + at + REC_LEN), get64(j + at + REC_AT),
                      j + at + REC_DATA};
        int region = r->at > UINT32_MAX ? -1 : img_region_index((uint32_t)r->at, r->len);
        bool whole_region =
            region >= 0 && img_region_start(region) == r->at && img_region_len(region) == r->len;
        if (r->kind == REC_BEFORE ? !whole_region || before_of(r) != nullptr
                                  : r->kind != REC_WRITE || r->len == 0 || before_of(r) == nullptr)
            return false;
    }
    return true;
}

// Each byte of each region the journal covers holds its value from before
// the command or one that a recorded write put there (a write torn at a
// sector or cut short leaves a mix of both).
static bool bytes_possible(bool *possible)
{
    unsigned char now[IMG_REGION_CAP];
    *possible = true;
    for (int i = 0; i < J.nrecords; i++) {
        const record_t *r = &J.records[i];
        if (r->kind != REC_BEFORE)
            continue;
        if (g_img_sys.pread(J.image_fd, now, r->len, (off_t)r->at) != (ssize_t)r->len)
            return fail(nullptr);
        for (uint32_t k = 0; k < r->len; k++) {
            bool ok = now[k] == r->data[k];
            for (int w = 0; !ok && w < J.nrecords; w++) {
                const record_t *x = &J.records[w];
                ok = x->kind == REC_WRITE && r->at + k >= x->at && r->at + k < x->at + x->len &&
                     x->data[r->at + k - x->at] == now[k];
            }
            *possible = *possible && ok;
        }
    }
    return true;
}

// Whose journal may be applied: one of a user who could have written the
// image anyway.
static bool trusted(const struct stat *js, const struct stat *image)
{
    return js->st_uid == 0 || js->st_uid == geteuid() || js->st_uid == image->st_uid ||
           (image->st_mode & S_IWOTH) != 0 ||
           ((image->st_mode & S_IWGRP) != 0 && js->st_gid == image->st_gid);
}

static img_journal_t judge(const unsigned char *j, size_t n, const struct stat *js,
                           const struct stat *image)
{
    J.nrecords = 0;
    if (!S_ISREG(js->st_mode) || js->st_nlink != 1 || n > JOURNAL_MAX ||
        memcmp(j, MAGIC, n < sizeof MAGIC ? n : sizeof MAGIC) != 0)
        return JOURNAL_FOREIGN;
    if (!trusted(js, image))
        return JOURNAL_UNTRUSTED;
    if (!record_whole(j, n, HDR_LEN))
        return JOURNAL_EMPTY;  // the header and first record go out in one write: nothing was written
    if (get32(j + HDR_CRC) != crc32(j, HDR_CRC) || !read_records(j, n) ||
        get64(j + HDR_SIZE) < IMG_MIN_SIZE) {
        J.nrecords = 0;
        return JOURNAL_DAMAGED;
    }
    uint64_t digest;
    bool possible;
    if (!digest_file(&digest) || !bytes_possible(&possible))
        return JOURNAL_UNREADABLE;
    bool same = get64(j + HDR_INO) == J.ino && get64(j + HDR_SIZE) == J.size &&
                get64(j + HDR_DIGEST) == digest;
    if (same && possible)
        return JOURNAL_PENDING;
    J.nrecords = 0;
    return JOURNAL_MISMATCH;
}

static img_journal_t read_journal(const struct stat *js, const struct stat *image)
{
    ssize_t n = 0;
    if (S_ISREG(js->st_mode)) {
        int fd = g_img_sys.openat(J.dir, J.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
        n = fd < 0 ? -1 : g_img_sys.pread(fd, s_found, sizeof s_found, 0);
        J.why = strerror(errno);
        if (fd >= 0)
            g_img_sys.close(fd);
        if (n < 0)
            return JOURNAL_UNREADABLE;
    }
    return judge(s_found, (size_t)n, js, image);
}

// The entry `name` is still the file dev/ino.
static bool entry_is(const char *name, uint64_t dev, uint64_t ino)
{
    struct stat st;
    if (g_img_sys.fstatat(J.dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(nullptr);
    return (uint64_t)st.st_dev == dev && (uint64_t)st.st_ino == ino
               ? true
               : fail("it is no longer the same file");
}

// Removes the journal (if still the file dev/ino) and syncs its directory,
// so that it stays removed.
static bool unlink_journal(uint64_t dev, uint64_t ino)
{
    return entry_is(J.name, dev, ino) &&
           (g_img_sys.unlinkat(J.dir, J.name, 0) == 0 && g_img_sys.fsync(J.dir_sync) == 0
                ? true
                : fail(nullptr));
}

// A writer puts the journal's old bytes back, syncs, and only then removes it.
static img_journal_t recover(img_journal_t found, const struct stat *js)
{
    for (int i = 0; i < J.nrecords; i++) {
        const record_t *r = &J.records[i];
        if (r->kind == REC_BEFORE &&
            g_img_sys.pwrite(J.image_fd, r->data, r->len, (off_t)r->at) != (ssize_t)r->len)
            return fail(nullptr), JOURNAL_STUCK;
    }
    if (J.nrecords > 0 && g_img_sys.fsync(J.image_fd) != 0)
        return fail(nullptr), JOURNAL_STUCK;
    J.nrecords = 0;
    return unlink_journal((uint64_t)js->st_dev, (uint64_t)js->st_ino)
               ? found == JOURNAL_PENDING ? JOURNAL_UNDONE : found
               : JOURNAL_NOT_REMOVED;
}

// Errors that say no journal can be made here, as opposed to a failing device.
static bool cannot_keep(jrn_report_t *rep, int err)
{
    if (err != EACCES && err != EPERM && err != EROFS && err != EINVAL && err != ENOTSUP)
        return false;
    rep->no_journal =
        err == EINVAL || err == ENOTSUP ? "its file system cannot sync a directory" : strerror(err);
    J.path[0] = '\0';
    return true;
}

// The image's directory, held, and the image's and journal's names in it.
// False when the directory cannot be found or does not hold the image.
static bool hold_directory(const char *path, const struct stat *image)
{
    char real[PATH_MAX];  // on the stack: the tool allocates nothing
    if (realpath(path, real) == nullptr)
        return fail(nullptr);
    char *slash = strrchr(real, '/');
    if (strlen(slash + 1) + sizeof JOURNAL_SUFFIX > sizeof J.name)
        return fail("its name is too long");
    snprintf(J.base, sizeof J.base, "%s", slash + 1);
    snprintf(J.name, sizeof J.name, "%s" JOURNAL_SUFFIX, slash + 1);
    snprintf(J.path, sizeof J.path, "%s" JOURNAL_SUFFIX, real);
    slash[slash == real ? 1 : 0] = '\0';
    J.dir = g_img_sys.open(real, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    if (J.dir < 0)
        return fail(nullptr);
    return entry_is(J.base, (uint64_t)image->st_dev, (uint64_t)image->st_ino);
}

// The directory opened for reading, to be synced; false with errno set.
static bool open_for_sync(void)
{
    if (J.dir_sync < 0)
        J.dir_sync = g_img_sys.openat(J.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    return J.dir_sync >= 0;
}

bool jrn_start(int image_fd, const char *path, const struct stat *st, uint64_t size,
               img_mode_t mode, jrn_report_t *rep)
{
    jrn_end();
    J.image_fd = image_fd;
    J.dev = (uint64_t)st->st_dev;
    J.ino = (uint64_t)st->st_ino;
    J.size = size;
    J.mode = st->st_mode & 0666;
    J.fd = -1;
    J.exists = J.digest_known = false;
    J.nrecords = 0;
    J.path[0] = '\0';
    J.why = nullptr;
    bool writer = mode != IMG_READ_ONLY;
    *rep = jrn_report_t{JOURNAL_NONE, J.path, "the image is a block device", nullptr, 0};
    if (S_ISBLK(st->st_mode))
        return true;
    rep->no_journal = nullptr;
    if (!hold_directory(path, st)) {  // a reader reads the image as it is
        rep->found = writer ? JOURNAL_CANNOT_TELL : JOURNAL_NONE;
        rep->why = J.why;
        if (!writer)
            jrn_end();
        return true;
    }
    struct stat js;
    if (g_img_sys.fstatat(J.dir, J.name, &js, AT_SYMLINK_NOFOLLOW) != 0) {
        rep->why = strerror(errno);
        if (errno != ENOENT)
            rep->found = writer ? JOURNAL_CANNOT_TELL : JOURNAL_UNREADABLE;
        else if (writer && (g_img_sys.faccessat(J.dir, ".", W_OK, AT_EACCESS) != 0 ||
                            !open_for_sync() || g_img_sys.fsync(J.dir_sync) != 0))
            return cannot_keep(rep, errno) || (rep->why = strerror(errno), false);
        rep->why = nullptr;
        return true;
    }
    rep->owner = js.st_uid;
    rep->found = read_journal(&js, st);
    rep->why = J.why;
    if (!writer || (rep->found != JOURNAL_PENDING && rep->found != JOURNAL_EMPTY))
        return true;
    if (g_img_sys.faccessat(J.dir, ".", W_OK, AT_EACCESS) != 0 || !open_for_sync()) {
        rep->found = JOURNAL_CANNOT_APPLY;
        rep->why = strerror(errno);
        return true;
    }
    rep->found = recover(rep->found, &js);
    rep->why = J.why;
    return true;
}

// ---------------------------------------------------------------- written by a cycle
static size_t put_record(unsigned char *p, uint32_t kind, uint64_t at, const unsigned char *data,
                         uint32_t n)
{
    put32(p + REC_KIND, kind);
    put32(p + REC_LEN, n);
    put64(p + REC_AT, at);
    memcpy(p + REC_DATA, data, n);
    put32(p + REC_DATA + n, crc32(p, REC_DATA + (size_t)n));
    return REC_FIXED + (size_t)n;
}

// The journal of the cycle, created in the image's directory while that
// still holds the image under its name; its header goes out with the first
// records.
static img_fail_t create(size_t *len)
{
    if (!J.digest_known && !digest_file(&J.digest))
        return IMG_READ_FAIL;
    J.digest_known = true;
    if (!entry_is(J.base, J.dev, J.ino)) {
        J.why = "the image is no longer in its directory under its name";
        return IMG_WRITE_FAIL;
    }
    J.fd = g_img_sys.openat(J.dir, J.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            J.mode);
    struct stat st;
    if (J.fd < 0 || g_img_sys.fstat(J.fd, &st) != 0)
        return fail(nullptr), IMG_WRITE_FAIL;
    J.exists = true;
    J.jdev = (uint64_t)st.st_dev;
    J.jino = (uint64_t)st.st_ino;
    J.jsize = 0;
    memcpy(s_out + HDR_MAGIC, MAGIC, sizeof MAGIC);
    put64(s_out + HDR_INO, J.ino);
    put64(s_out + HDR_SIZE, J.size);
    put64(s_out + HDR_DIGEST, J.digest);
    put32(s_out + HDR_CRC, crc32(s_out, HDR_CRC));
    *len = HDR_LEN;
    return IMG_OK;
}

img_fail_t jrn_cover(const jrn_write_t *w, int n)
{
    if (J.dir < 0 || J.path[0] == '\0')
        return IMG_OK;
    size_t len = 0;
    bool created = J.fd < 0;
    if (created) {
        if (J.exists)  // closed after the image's sync: a new cycle's writes follow
            return fail("the journal is already closed"), IMG_WRITE_FAIL;
        if (img_fail_t why = create(&len); why != IMG_OK)
            return why;
    }
    for (int i = 0; i < n; i++) {
        if (w[i].before != nullptr)
            len += put_record(s_out + len, REC_BEFORE, w[i].start, w[i].before, w[i].len);
        len += put_record(s_out + len, REC_WRITE, w[i].at, w[i].bytes, w[i].n);
    }
    if (g_img_sys.pwrite(J.fd, s_out, len, (off_t)J.jsize) != (ssize_t)len ||
        g_img_sys.fsync(J.fd) != 0 || (created && g_img_sys.fsync(J.dir_sync) != 0))
        return fail(nullptr), IMG_WRITE_FAIL;
    J.jsize += len;
    return IMG_OK;
}

bool jrn_close(void)
{
    int fd = J.fd;
    J.fd = -1;
    return fd < 0 || g_img_sys.close(fd) == 0 || fail(nullptr);
}

void jrn_keep(void)
{
    jrn_close();
    J.exists = false;
}

bool jrn_remove(void)
{
    bool closed = jrn_close();
    if (!J.exists)
        return closed;
    J.exists = false;
    return unlink_journal(J.jdev, J.jino) && closed;
}

bool jrn_end(void)
{
    bool ok = jrn_close();
    J.exists = false;
    for (int *fd : {&J.dir, &J.dir_sync}) {
        ok = (*fd < 0 || g_img_sys.close(*fd) == 0) && ok;
        *fd = -1;
    }
    return ok;
}
