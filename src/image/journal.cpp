// The undo journal beside the image. Before a write reaches the image, a
// record of it is made durable here: on the cycle's first write into a
// region, the region's bytes as they were, and for every write the bytes it
// puts there. A command that completes removes the journal once its output
// is out, one that fails once its undo is synced. A journal found at the
// start therefore holds what an interrupted command replaced and wrote: a
// writer puts the old bytes back, a reader shows the image with them, and
// both only when every byte is one the command could have left.
#include "journal_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

jrn_state_t g_jrn;
static unsigned char s_out[HDR_LEN + 2 * IMG_MAX_REGIONS * (REC_FIXED + IMG_REGION_CAP)];

bool jrn_fail(const char *why)
{
    g_jrn.why = why != nullptr ? why : strerror(errno);
    return false;
}

const char *jrn_why(void)
{
    return g_jrn.why;
}

bool jrn_entry_is(const char *name, uint64_t dev, uint64_t ino)
{
    struct stat st;
    if (g_img_sys.fstatat(g_jrn.dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return jrn_fail(nullptr);
    return (uint64_t)st.st_dev == dev && (uint64_t)st.st_ino == ino
               ? true
               : jrn_fail("it is no longer the same file");
}

// Whether the last jrn_unlink that failed may have left the journal in
// place: its entry could not be looked up, or the unlink itself failed.
static bool s_left;

bool jrn_unlink(uint64_t dev, uint64_t ino)
{
    struct stat st;
    if (g_img_sys.fstatat(g_jrn.dir, g_jrn.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        s_left = errno != ENOENT;
        return jrn_fail(nullptr);
    }
    s_left = false;
    if ((uint64_t)st.st_dev != dev || (uint64_t)st.st_ino != ino)
        return jrn_fail("it is no longer the same file");
    s_left = g_img_sys.unlinkat(g_jrn.dir, g_jrn.name, 0) != 0;
    return !s_left && g_img_sys.fsync(g_jrn.dir_sync) == 0 ? true : jrn_fail(nullptr);
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
    for (int i = 0; i < g_jrn.nrecords; i++) {
        const record_t *r = &g_jrn.records[i];
        for (uint32_t k = 0; r->kind == REC_BEFORE && k < r->len; k++)
            if (r->at + k >= at && r->at + k - at < n)
                bytes[r->at + k - at] = r->data[k];
    }
}

bool jrn_digest_file(uint64_t *digest)
{
    unsigned char buf[CHUNK];
    *digest = 0;
    for (uint64_t at = 0; at < g_jrn.size; at += CHUNK) {
        size_t n = g_jrn.size - at < CHUNK ? (size_t)(g_jrn.size - at) : (size_t)CHUNK;
        if (g_img_sys.pread(g_jrn.image_fd, buf, n, (off_t)at) != (ssize_t)n)
            return jrn_fail(nullptr);
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
    g_jrn.digest_known = g_jrn.digest_known && whole;
    for (size_t i = 0; g_jrn.digest_known && i < n; i += 4)
        g_jrn.digest +=
            word_digest((at + i) / 4, get32(now + i)) - word_digest((at + i) / 4, get32(old + i));
}

void jrn_forget_digest(void)
{
    g_jrn.digest_known = false;
}

// The digest holds while the image's size and times are those after the tool's own last write:
// a process that ignores the lock and rewrites the image between two commands changes them.
// Kept (keep) once the tool's writes are synced; false when the image cannot be stat'ed.
static bool image_unchanged(bool *same, bool keep)
{
    struct stat st;
    if (g_img_sys.fstat(g_jrn.image_fd, &st) != 0)
        return jrn_fail(nullptr);
    const struct timespec now[2] = {st.st_mtim, st.st_ctim};
    *same = g_jrn.seen_size == (uint64_t)st.st_size;
    for (int i = 0; i < 2; i++)
        *same = *same && now[i].tv_sec == g_jrn.seen[i].tv_sec &&
                now[i].tv_nsec == g_jrn.seen[i].tv_nsec;
    if (keep) {
        memcpy(g_jrn.seen, now, sizeof now);
        g_jrn.seen_size = (uint64_t)st.st_size;
    }
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

// The process's own groups hold gid.
static bool in_own_groups(unsigned gid)
{
    gid_t groups[256];
    int n = getgroups(256, groups);
    for (int i = 0; i < n; i++)
        if (groups[i] == gid)
            return true;
    return getegid() == gid;
}

// Whoever must undo the command can read its journal: it gets the image's read and write bits
// whatever the umask and, made by root for another user's image, the image's owner; the image's
// group where the maker may give it (root, or a member of that group).
static bool readable_by_owners(const struct stat *st)
{
    bool root = st->st_uid == 0;  // the maker's, just created: no call to ask
    uid_t uid = root && st->st_uid != g_jrn.uid ? (uid_t)g_jrn.uid : (uid_t)-1;
    gid_t gid = st->st_gid != g_jrn.gid && (root || in_own_groups(g_jrn.gid)) ? (gid_t)g_jrn.gid
                                                                              : (gid_t)-1;
    if ((uid != (uid_t)-1 || gid != (gid_t)-1) && g_img_sys.fchown(g_jrn.fd, uid, gid) != 0)
        return false;
    return g_img_sys.fchmod(g_jrn.fd, g_jrn.mode) == 0;
}

// The journal of the cycle, created in the image's directory while that
// still holds the image under its name; its header goes out with the first
// records.
static img_fail_t create(size_t *len)
{
    bool same = false;
    if (!image_unchanged(&same, true))
        return IMG_READ_FAIL;
    if ((!g_jrn.digest_known || !same) && !jrn_digest_file(&g_jrn.digest))
        return IMG_READ_FAIL;
    g_jrn.digest_known = true;
    if (!jrn_entry_is(g_jrn.base, g_jrn.dev, g_jrn.ino)) {
        g_jrn.why = "the image is no longer in its directory under its name";
        return IMG_WRITE_FAIL;
    }
    g_jrn.fd = g_img_sys.openat(g_jrn.dir, g_jrn.name,
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, g_jrn.mode);
    struct stat st;
    if (g_jrn.fd < 0 || g_img_sys.fstat(g_jrn.fd, &st) != 0)
        return jrn_fail(nullptr), IMG_WRITE_FAIL;
    g_jrn.exists = true;
    g_jrn.jdev = (uint64_t)st.st_dev;
    g_jrn.jino = (uint64_t)st.st_ino;
    g_jrn.jsize = 0;
    if (!readable_by_owners(&st))
        return jrn_fail(nullptr), IMG_WRITE_FAIL;
    memcpy(s_out + HDR_MAGIC, MAGIC, sizeof MAGIC);
    put64(s_out + HDR_INO, g_jrn.ino);
    put64(s_out + HDR_SIZE, g_jrn.size);
    put64(s_out + HDR_DIGEST, g_jrn.digest);
    put32(s_out + HDR_CRC, crc32(s_out, HDR_CRC));
    *len = HDR_LEN;
    return IMG_OK;
}

img_fail_t jrn_cover(const jrn_write_t *w, int n)
{
    if (g_jrn.dir < 0 || g_jrn.path[0] == '\0')
        return IMG_OK;
    size_t len = 0;
    bool created = g_jrn.fd < 0;
    if (created) {
        if (g_jrn.exists)  // closed after the image's sync: a new cycle's writes follow
            return jrn_fail("the journal is already closed"), IMG_WRITE_FAIL;
        if (img_fail_t why = create(&len); why != IMG_OK)
            return why;
    }
    for (int i = 0; i < n; i++) {
        if (w[i].before != nullptr)
            len += put_record(s_out + len, REC_BEFORE, w[i].start, w[i].before, w[i].len);
        len += put_record(s_out + len, REC_WRITE, w[i].at, w[i].bytes, w[i].n);
    }
    if (g_img_sys.pwrite(g_jrn.fd, s_out, len, (off_t)g_jrn.jsize) != (ssize_t)len ||
        g_img_sys.fsync(g_jrn.fd) != 0 || (created && g_img_sys.fsync(g_jrn.dir_sync) != 0))
        return jrn_fail(nullptr), IMG_WRITE_FAIL;
    g_jrn.jsize += len;
    return IMG_OK;
}

bool jrn_close(void)
{
    bool same, seen = true;
    // The image is synced: its times now are those of the tool's last write.
    if (g_jrn.fd >= 0 && g_jrn.digest_known)
        seen = image_unchanged(&same, true);
    g_jrn.digest_known = g_jrn.digest_known && seen;
    int fd = g_jrn.fd;
    g_jrn.fd = -1;
    return (fd < 0 || g_img_sys.close(fd) == 0 || jrn_fail(nullptr)) && seen;
}

void jrn_keep(void)
{
    jrn_close();
    g_jrn.exists = false;
}

bool jrn_remove(void)
{
    bool closed = jrn_close();
    if (!g_jrn.exists)
        return closed;
    bool removed = jrn_unlink(g_jrn.jdev, g_jrn.jino);
    g_jrn.exists = !removed && s_left;  // still there: a later call may try again
    return removed && closed;
}

bool jrn_pending(void)
{
    return g_jrn.exists;
}

bool jrn_end(void)
{
    bool ok = jrn_close();
    g_jrn.exists = false;
    for (int *fd : {&g_jrn.dir, &g_jrn.dir_sync}) {
        ok = (*fd < 0 || g_img_sys.close(*fd) == 0) && ok;
        *fd = -1;
    }
    return ok;
}
