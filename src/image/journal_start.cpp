// What a start finds beside the image: a journal judged by the rules of the
// image store (rule 6), applied by a writer and laid over by a reader, or
// refused and kept. The directory that holds the image is held from here on,
// so that a rename cannot send the journal elsewhere.
#include "journal_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

static unsigned char s_found[JOURNAL_MAX + 1];  // static: the tool allocates nothing

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
    for (int i = 0; i < g_jrn.nrecords; i++) {
        const record_t *r = &g_jrn.records[i];
        if (r != w && r->kind == REC_BEFORE && w->at >= r->at && w->at + w->len <= r->at + r->len)
            return r;
    }
    return nullptr;
}

// The records, up to the first that is not whole. False when one is whole
// but impossible: no run of this tool wrote it.
static bool read_records(const unsigned char *j, size_t n)
{
    g_jrn.nrecords = 0;
    for (size_t at = HDR_LEN; record_whole(j, n, at); at += REC_FIXED + get32(j + at + REC_LEN)) {
        if (g_jrn.nrecords == MAX_RECORDS)
            return false;
        record_t *r = &g_jrn.records[g_jrn.nrecords++];
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
    for (int i = 0; i < g_jrn.nrecords; i++) {
        const record_t *r = &g_jrn.records[i];
        if (r->kind != REC_BEFORE)
            continue;
        if (g_img_sys.pread(g_jrn.image_fd, now, r->len, (off_t)r->at) != (ssize_t)r->len)
            return jrn_fail(nullptr);
        for (uint32_t k = 0; k < r->len; k++) {
            bool ok = now[k] == r->data[k];
            for (int w = 0; !ok && w < g_jrn.nrecords; w++) {
                const record_t *x = &g_jrn.records[w];
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
    g_jrn.nrecords = 0;
    if (!S_ISREG(js->st_mode) || js->st_nlink != 1 || n > JOURNAL_MAX ||
        memcmp(j, MAGIC, n < sizeof MAGIC ? n : sizeof MAGIC) != 0)
        return JOURNAL_FOREIGN;
    if (!trusted(js, image))
        return JOURNAL_UNTRUSTED;
    if (!record_whole(j, n, HDR_LEN))
        // The header and first record go out in one write: nothing was written.
        return JOURNAL_EMPTY;
    if (get32(j + HDR_CRC) != crc32(j, HDR_CRC) || !read_records(j, n) ||
        get64(j + HDR_SIZE) < IMG_MIN_SIZE) {
        g_jrn.nrecords = 0;
        return JOURNAL_DAMAGED;
    }
    uint64_t digest;
    bool possible;
    if (!jrn_digest_file(&digest) || !bytes_possible(&possible))
        return JOURNAL_UNREADABLE;
    bool same = get64(j + HDR_INO) == g_jrn.ino && get64(j + HDR_SIZE) == g_jrn.size &&
                get64(j + HDR_DIGEST) == digest;
    if (same && possible)
        return JOURNAL_PENDING;
    g_jrn.nrecords = 0;
    return JOURNAL_MISMATCH;
}

static img_journal_t read_journal(const struct stat *js, const struct stat *image)
{
    ssize_t n = 0;
    if (S_ISREG(js->st_mode)) {
        int fd = g_img_sys.openat(g_jrn.dir, g_jrn.name,
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
        n = fd < 0 ? -1 : g_img_sys.pread(fd, s_found, sizeof s_found, 0);
        g_jrn.why = strerror(errno);
        if (fd >= 0)
            g_img_sys.close(fd);
        if (n < 0)
            return JOURNAL_UNREADABLE;
    }
    return judge(s_found, (size_t)n, js, image);
}

// A writer puts the journal's old bytes back, syncs, and only then removes it.
static img_journal_t recover(img_journal_t found, const struct stat *js)
{
    for (int i = 0; i < g_jrn.nrecords; i++) {
        const record_t *r = &g_jrn.records[i];
        if (r->kind == REC_BEFORE &&
            g_img_sys.pwrite(g_jrn.image_fd, r->data, r->len, (off_t)r->at) != (ssize_t)r->len)
            return jrn_fail(nullptr), JOURNAL_STUCK;
    }
    if (g_jrn.nrecords > 0 && g_img_sys.fsync(g_jrn.image_fd) != 0)
        return jrn_fail(nullptr), JOURNAL_STUCK;
    g_jrn.nrecords = 0;
    return jrn_unlink((uint64_t)js->st_dev, (uint64_t)js->st_ino)
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
    g_jrn.path[0] = '\0';
    return true;
}

// The image's directory, held, and the image's and journal's names in it.
// False when the directory cannot be found or does not hold the image.
static bool hold_directory(const char *path, const struct stat *image)
{
    char real[PATH_MAX];  // on the stack: the tool allocates nothing
    if (realpath(path, real) == nullptr)
        return jrn_fail(nullptr);
    char *slash = strrchr(real, '/');
    if (strlen(slash + 1) + sizeof JOURNAL_SUFFIX > sizeof g_jrn.name)
        return jrn_fail("its name is too long");
    snprintf(g_jrn.base, sizeof g_jrn.base, "%s", slash + 1);
    snprintf(g_jrn.name, sizeof g_jrn.name, "%s" JOURNAL_SUFFIX, slash + 1);
    snprintf(g_jrn.path, sizeof g_jrn.path, "%s" JOURNAL_SUFFIX, real);
    slash[slash == real ? 1 : 0] = '\0';
    g_jrn.dir = g_img_sys.open(real, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    if (g_jrn.dir < 0)
        return jrn_fail(nullptr);
    return jrn_entry_is(g_jrn.base, (uint64_t)image->st_dev, (uint64_t)image->st_ino);
}

// The directory opened for reading, to be synced; false with errno set.
static bool open_for_sync(void)
{
    if (g_jrn.dir_sync < 0)
        g_jrn.dir_sync = g_img_sys.openat(g_jrn.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    return g_jrn.dir_sync >= 0;
}

bool jrn_start(int image_fd, const char *path, const struct stat *st, uint64_t size,
               img_mode_t mode, jrn_report_t *rep)
{
    jrn_end();
    g_jrn.image_fd = image_fd;
    g_jrn.dev = (uint64_t)st->st_dev;
    g_jrn.ino = (uint64_t)st->st_ino;
    g_jrn.size = size;
    g_jrn.mode = st->st_mode & 0666;
    g_jrn.fd = -1;
    g_jrn.exists = g_jrn.digest_known = false;
    g_jrn.nrecords = 0;
    g_jrn.path[0] = '\0';
    g_jrn.why = nullptr;
    bool writer = mode != IMG_READ_ONLY;
    *rep = jrn_report_t{JOURNAL_NONE, g_jrn.path, "the image is a block device", nullptr, 0};
    if (S_ISBLK(st->st_mode))
        return true;
    rep->no_journal = nullptr;
    if (!hold_directory(path, st)) {  // a reader reads the image as it is
        rep->found = writer ? JOURNAL_CANNOT_TELL : JOURNAL_NONE;
        rep->why = g_jrn.why;
        if (!writer)
            jrn_end();
        return true;
    }
    struct stat js;
    if (g_img_sys.fstatat(g_jrn.dir, g_jrn.name, &js, AT_SYMLINK_NOFOLLOW) != 0) {
        rep->why = strerror(errno);
        if (errno != ENOENT)
            rep->found = writer ? JOURNAL_CANNOT_TELL : JOURNAL_UNREADABLE;
        else if (writer && (g_img_sys.faccessat(g_jrn.dir, ".", W_OK, AT_EACCESS) != 0 ||
                            !open_for_sync() || g_img_sys.fsync(g_jrn.dir_sync) != 0))
            return cannot_keep(rep, errno) || (rep->why = strerror(errno), false);
        rep->why = nullptr;
        return true;
    }
    rep->owner = js.st_uid;
    rep->found = read_journal(&js, st);
    rep->why = g_jrn.why;
    if (!writer || (rep->found != JOURNAL_PENDING && rep->found != JOURNAL_EMPTY))
        return true;
    if (g_img_sys.faccessat(g_jrn.dir, ".", W_OK, AT_EACCESS) != 0 || !open_for_sync()) {
        rep->found = JOURNAL_CANNOT_APPLY;
        rep->why = strerror(errno);
        return true;
    }
    rep->found = recover(rep->found, &js);
    rep->why = g_jrn.why;
    return true;
}
