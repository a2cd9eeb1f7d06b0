// What a start finds beside the image: a journal judged by the rules of the
// image store (rule 6), applied by a writer and laid over by a reader, or
// refused and kept. The directory that holds the image is held from here on,
// so that a rename cannot send the journal elsewhere.
#include "journal_format.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
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
        // Without a sum that could wrap: w lies in r.
        if (r != w && r->kind == REC_BEFORE && w->at >= r->at && w->len <= r->len &&
            w->at - r->at <= r->len - w->len)
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
// sector or cut short leaves a mix of both); untouched: every one its value
// from before, so none of the command's writes is there.
static bool bytes_possible(bool *possible, bool *untouched)
{
    unsigned char now[IMG_REGION_CAP];
    *possible = *untouched = true;
    for (int i = 0; i < g_jrn.nrecords; i++) {
        const record_t *r = &g_jrn.records[i];
        if (r->kind != REC_BEFORE)
            continue;
        if (g_img_sys.pread(g_jrn.image_fd, now, r->len, (off_t)r->at) != (ssize_t)r->len)
            return jrn_fail(nullptr);
        for (uint32_t k = 0; k < r->len; k++) {
            bool ok = now[k] == r->data[k];
            *untouched = *untouched && ok;
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

// A member of group gid, by the group list of user uid (its primary group included).
static bool member(unsigned uid, unsigned gid)
{
    struct passwd pw, *found = nullptr;
    char buf[4096];
    static gid_t groups[1024];  // static: the tool allocates nothing
    int n = (int)(sizeof groups / sizeof groups[0]);
    if (getpwuid_r((uid_t)uid, &pw, buf, sizeof buf, &found) != 0 || found == nullptr ||
        getgrouplist(pw.pw_name, pw.pw_gid, groups, &n) < 0)
        return false;  // unknown, or more groups than fit: not trusted
    for (int i = 0; i < n; i++)
        if (groups[i] == gid)
            return true;
    return false;
}

// Whose journal may be applied: one of a user who could have written the
// image anyway. The journal file's own group and mode never count: a
// set-group-id directory gives any file made in it the directory's group.
static bool trusted(unsigned owner, const struct stat *image)
{
    return owner == 0 || owner == geteuid() || owner == image->st_uid ||
           (image->st_mode & S_IWOTH) != 0 ||
           ((image->st_mode & S_IWGRP) != 0 && member(owner, image->st_gid));
}

// A file at the journal's name that is not applied: one a writer may set
// aside, or one only its owner, the directory's owner or root may remove.
static img_journal_t foreign(unsigned owner, bool writer)
{
    struct stat dir;
    uid_t me = geteuid();
    bool sticky = writer && me != 0 && me != owner && g_img_sys.fstat(g_jrn.dir, &dir) == 0 &&
                  (dir.st_mode & S_ISVTX) != 0 && dir.st_uid != me;
    return sticky ? JOURNAL_FOREIGN_STICKY : JOURNAL_FOREIGN;
}

// The image's digest from the file is the header's: the image is the one
// the journal was made for, as it was before the command.
static bool as_before(const unsigned char *j, bool *same)
{
    uint64_t digest;
    if (!jrn_digest_file(&digest))
        return false;
    *same = get64(j + HDR_INO) == g_jrn.ino && get64(j + HDR_SIZE) == g_jrn.size &&
            get64(j + HDR_DIGEST) == digest;
    return true;
}

// A journal of this tool's magic, of a trusted owner, read whole.
static img_journal_t judge(const unsigned char *j, size_t n)
{
    g_jrn.nrecords = 0;
    // The header and the first record go out in one write, synced before
    // the image is touched: less than a header is a command cut off before
    // it changed anything; a whole header without its first record is that
    // only if the image is still as the header says.
    if (n < HDR_LEN)
        return JOURNAL_EMPTY;
    bool same, possible, untouched;
    if (get32(j + HDR_CRC) != crc32(j, HDR_CRC))
        return JOURNAL_DAMAGED;
    if (!record_whole(j, n, HDR_LEN))
        return !as_before(j, &same) ? JOURNAL_UNREADABLE : same ? JOURNAL_EMPTY : JOURNAL_DAMAGED;
    if (!read_records(j, n) || get64(j + HDR_SIZE) < IMG_MIN_SIZE) {
        g_jrn.nrecords = 0;
        return JOURNAL_DAMAGED;
    }
    if (!as_before(j, &same) || !bytes_possible(&possible, &untouched))
        return JOURNAL_UNREADABLE;
    if (same && possible)
        return JOURNAL_PENDING;
    g_jrn.nrecords = 0;
    return untouched ? JOURNAL_MISMATCH : JOURNAL_MISMATCH_PARTLY;
}

// What lies at the journal's name, opened once without following a link:
// its kind, links and owner are those of the file read, and a writer
// removes the entry only while it is still that file (js).
static img_journal_t find_journal(const struct stat *image, bool writer, jrn_report_t *rep,
                                  struct stat *js)
{
    int fd = g_img_sys.openat(g_jrn.dir, g_jrn.name,
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    int err = errno;
    if (fd < 0 && err == ENOENT)
        return JOURNAL_NONE;
    // Not opened (a link, a socket, a file this user cannot read): its kind
    // and owner still decide whether it is a journal to be reckoned with.
    img_journal_t found = JOURNAL_FOREIGN;
    if (fd < 0 ? g_img_sys.fstatat(g_jrn.dir, g_jrn.name, js, AT_SYMLINK_NOFOLLOW) != 0
               : g_img_sys.fstat(fd, js) != 0) {
        found = JOURNAL_CANNOT_TELL;
        rep->why = strerror(fd < 0 && errno == ENOENT ? err : errno);  // gone: the open's reason
    } else if (S_ISREG(js->st_mode) && js->st_nlink == 1 && trusted(js->st_uid, image)) {
        ssize_t n = fd < 0 ? -1 : g_img_sys.pread(fd, s_found, sizeof s_found, 0);
        if (n < 0)
            found = JOURNAL_UNREADABLE, rep->why = strerror(fd < 0 ? err : errno);
        else if ((size_t)n <= JOURNAL_MAX &&
                 memcmp(s_found, MAGIC, (size_t)n < sizeof MAGIC ? (size_t)n : sizeof MAGIC) == 0)
            found = judge(s_found, (size_t)n);
    }
    if (fd >= 0)
        g_img_sys.close(fd);
    if (found == JOURNAL_CANNOT_TELL)
        return found;
    rep->owner = js->st_uid;
    if (found == JOURNAL_UNREADABLE && rep->why == nullptr)
        rep->why = g_jrn.why;  // the image's read failed
    return found == JOURNAL_FOREIGN ? foreign(js->st_uid, writer) : found;
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

enum { LONG_NAME_KEPT = 200 };

// FNV-1a, 64 bits.
static uint64_t fnv1a64(const char *s)
{
    uint64_t h = 0xCBF29CE484222325ull;
    for (; *s != '\0'; s++)
        h = (h ^ (unsigned char)*s) * 0x100000001B3ull;
    return h;
}

// The image's directory, held, and the image's and journal's names in it.
// False when the directory cannot be found or does not hold the image.
static bool hold_directory(const char *path, const struct stat *image)
{
    char real[PATH_MAX];  // on the stack: the tool allocates nothing
    if (realpath(path, real) == nullptr)
        return jrn_fail(nullptr);
    char *slash = strrchr(real, '/');
    const char *base = slash + 1;
    snprintf(g_jrn.base, sizeof g_jrn.base, "%s", base);
    // A name too long for the suffix: its first bytes and a hash of it all.
    if (strlen(base) + sizeof JOURNAL_SUFFIX <= sizeof g_jrn.name)
        snprintf(g_jrn.name, sizeof g_jrn.name, "%s" JOURNAL_SUFFIX, base);
    else
        snprintf(g_jrn.name, sizeof g_jrn.name, "%.*s.%016" PRIx64 JOURNAL_SUFFIX, LONG_NAME_KEPT,
                 base, fnv1a64(base));
    snprintf(g_jrn.path, sizeof g_jrn.path, "%.*s%s", (int)(base - real), real, g_jrn.name);
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
    g_jrn.uid = st->st_uid;
    g_jrn.gid = st->st_gid;
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
    rep->found = find_journal(st, writer, rep, &js);
    if (rep->found == JOURNAL_NONE) {
        if (writer && (g_img_sys.faccessat(g_jrn.dir, ".", W_OK, AT_EACCESS) != 0 ||
                       !open_for_sync() || g_img_sys.fsync(g_jrn.dir_sync) != 0))
            return cannot_keep(rep, errno) || (rep->why = strerror(errno), false);
        return true;
    }
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
