// The image layer's system calls: every one goes through here, so that a
// test can make any of them fail (the fault seam) and count them.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------- fault seam
static unsigned long s_calls = 0;
static unsigned long s_fail_at = 0;  // 0: no fault planned
static img_fault_mode_t s_fail_mode = IMG_FAULT_ERROR;
static bool s_torn = false;  // TORN: the one write that stores half has happened

void img_fault_after(unsigned long n, img_fault_mode_t mode)
{
    s_fail_at = n == 0 ? 0 : s_calls + n;
    s_fail_mode = mode;
    s_torn = false;
}

void img_fault_clear(void)
{
    s_fail_at = 0;
}

unsigned long img_calls(void)
{
    return s_calls;
}

// ---------------------------------------------------------------- power cuts
// While a test tracks durability, the seam keeps what the file system has
// not made durable yet: each write since its file's last sync (with the
// bytes it replaced), a journal created or removed since its directory's
// last sync. A cut then loses each as the test decides, as a power failure
// may: kept, dropped, or (a write) torn at 512-byte sectors.
typedef struct {
    char kind;  // 'W' a write, 'C' a file created, 'U' a file removed
    char path[PATH_MAX];
    int file;   // W: the descriptor's file, to tell which sync makes it durable
    off_t at, old_size;
    size_t n;
    unsigned char *old;  // W: the bytes replaced; U: the whole file
} pending_t;

enum { MAX_PENDING = 64, MAX_FILES = 16 };
static bool s_tracking = false;
static pending_t s_pending[MAX_PENDING];
static int s_npending = 0;
static struct {
    int fd;
    char cls;  // 'i' the image, 'j' the journal, 'd' its directory
    char path[PATH_MAX];
} s_files[MAX_FILES];
static int s_nfiles = 0;
static char s_log[4096];

// On: starts afresh with nothing pending. Off: stops noting, and keeps
// what is pending for the cuts a test tries one after another.
void img_track_durability(bool on)
{
    s_tracking = on;
    if (!on)
        return;
    for (int i = 0; i < s_npending; i++)
        free(s_pending[i].old);
    s_npending = s_nfiles = 0;
    s_log[0] = '\0';
}

int img_pending(void)
{
    return s_npending;
}

const char *img_call_log(void)
{
    return s_log;
}

static int file_of(int fd)
{
    if (fd < 0)
        return -1;
    for (int i = s_nfiles - 1; i >= 0; i--)
        if (s_files[i].fd == fd)
            return i;
    return -1;
}

// One call in the log: its letter and the class of its file.
static void log_call(char op, int fd)
{
    size_t len = strlen(s_log);
    int f = file_of(fd);
    if (s_tracking && len + 3 < sizeof s_log) {
        s_log[len] = op;
        s_log[len + 1] = f < 0 ? '?' : s_files[f].cls;
        s_log[len + 2] = '\0';
    }
}

static pending_t *add_pending(char kind, const char *path)
{
    if (!s_tracking || s_npending == MAX_PENDING)
        return nullptr;
    pending_t *p = &s_pending[s_npending++];
    memset(p, 0, sizeof *p);
    p->kind = kind;
    snprintf(p->path, sizeof p->path, "%s", path);
    return p;
}

static void note_write(int fd, size_t n, off_t at)
{
    int f = file_of(fd);
    struct stat st;
    pending_t *p = f < 0 || fstat(fd, &st) != 0 ? nullptr : add_pending('W', s_files[f].path);
    if (p == nullptr)
        return;
    p->file = f;
    p->at = at;
    p->n = n;
    p->old_size = st.st_size;
    p->old = (unsigned char *)calloc(n ? n : 1, 1);
    if (p->old != nullptr && pread(fd, p->old, n, at) < 0)
        memset(p->old, 0, n);
}

// A sync makes its file's writes durable, or (a directory) the files
// created and removed in it.
static void note_sync(int fd)
{
    if (!s_tracking)
        return;
    int f = file_of(fd), kept = 0;
    for (int i = 0; i < s_npending; i++) {
        pending_t *p = &s_pending[i];
        bool durable = f >= 0 && (s_files[f].cls == 'd' ? p->kind != 'W' : p->kind == 'W' && p->file == f);
        if (durable)
            free(p->old);
        else
            s_pending[kept++] = *p;
    }
    s_npending = kept;
}

static void note_unlink(const char *path)
{
    if (!s_tracking)
        return;
    struct stat st;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    pending_t *p = fd < 0 || fstat(fd, &st) != 0 ? nullptr : add_pending('U', path);
    if (p != nullptr) {
        p->n = (size_t)st.st_size;
        p->old = (unsigned char *)calloc(p->n ? p->n : 1, 1);
        if (p->old != nullptr && pread(fd, p->old, p->n, 0) < 0)
            p->n = 0;
    }
    if (fd >= 0)
        close(fd);
}

// Puts back the bytes [from, to) of the write p replaced.
static void undo_write(const pending_t *p, size_t from, size_t to)
{
    int fd = open(p->path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    size_t keep = p->at >= p->old_size ? 0 : (size_t)(p->old_size - p->at);
    if (from < keep && pwrite(fd, p->old + from, (to < keep ? to : keep) - from, p->at + (off_t)from) < 0)
        from = to;
    close(fd);
    if (to == p->n && (off_t)p->at + (off_t)p->n > p->old_size && truncate(p->path, p->old_size) != 0)
        return;
}

void img_power_cut(img_fate_t (*fate)(int i, void *ctx), void *ctx)
{
    for (int i = s_npending - 1; i >= 0; i--) {
        const pending_t *p = &s_pending[i];
        img_fate_t f = fate(i, ctx);
        if (f == FATE_KEEP)
            continue;
        if (p->kind == 'C') {
            unlink(p->path);
        } else if (p->kind == 'U') {
            int fd = open(p->path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0 && pwrite(fd, p->old, p->n, 0) >= 0)
                close(fd);
            else if (fd >= 0)
                close(fd);
        } else if (f == FATE_DROP) {
            undo_write(p, 0, p->n);
        } else {  // torn: every other sector of the write lost, by its offset in the file
            for (off_t sector = p->at / 512 * 512; sector < p->at + (off_t)p->n; sector += 512)
                if ((sector / 512 + i) % 2 == 0) {
                    size_t from = sector < p->at ? 0 : (size_t)(sector - p->at);
                    size_t to = (size_t)(sector + 512 - p->at) < p->n ? (size_t)(sector + 512 - p->at) : p->n;
                    undo_write(p, from, to);
                }
        }
    }
}

// Counts one call; true when this is the call a test asked to fail (or a
// later one, once the image is stuck).
static bool fault_now(void)
{
    ++s_calls;
    if (s_fail_mode == IMG_FAULT_TORN)
        return false;
    if (s_fail_at == 0 || s_calls < s_fail_at || (s_calls > s_fail_at && s_fail_mode != IMG_FAULT_STUCK))
        return false;
    if (s_fail_mode != IMG_FAULT_STUCK)
        s_fail_at = 0;
    errno = EIO;
    return true;
}

ssize_t sys_pread(int fd, void *buf, size_t n, off_t at)
{
    log_call('R', fd);
    bool corrupt = s_fail_mode == IMG_FAULT_CORRUPT;
    if (!fault_now())
        return pread(fd, buf, n, at);
    if (!corrupt)
        return -1;
    ssize_t got = pread(fd, buf, n, at);
    if (got > 0)
        *(unsigned char *)buf ^= 1;
    return got;
}

ssize_t sys_pwrite(int fd, const void *buf, size_t n, off_t at)
{
    log_call('W', fd);
    if (s_tracking && !(s_fail_mode == IMG_FAULT_STUCK && s_fail_at != 0 && s_calls + 1 >= s_fail_at))
        note_write(fd, n, at);
    bool partial = s_fail_mode == IMG_FAULT_PARTIAL || s_fail_mode == IMG_FAULT_TORN;
    if (s_fail_mode == IMG_FAULT_TORN && s_fail_at != 0 && s_calls + 1 >= s_fail_at) {
        ++s_calls;  // a device that tore one write and took no other: the undo cannot finish
        bool first = !s_torn;
        s_torn = true;
        errno = first && pwrite(fd, buf, n / 2, at) < 0 ? errno : EIO;
        return -1;
    }
    if (!fault_now())
        return pwrite(fd, buf, n, at);
    if (partial && n > 1)
        return pwrite(fd, buf, n / 2, at);
    return -1;
}

int sys_fsync(int fd)
{
    log_call('S', fd);
    if (fault_now())
        return -1;
    note_sync(fd);
    return fsync(fd);
}

int sys_close(int fd)
{
    // The descriptor is closed whatever the outcome, as close(2) does.
    log_call('X', fd);
    if (int f = file_of(fd); f >= 0)
        s_files[f].fd = -1;
    bool fail = fault_now();
    return close(fd) != 0 || fail ? -1 : 0;
}

int sys_fstat(int fd, struct stat *st)
{
    log_call('F', fd);
    return fault_now() ? -1 : fstat(fd, st);
}

int sys_stat(const char *path, struct stat *st)
{
    log_call('T', -1);
    return fault_now() ? -1 : stat(path, st);
}

off_t sys_size(int fd, const struct stat *st)
{
    if (S_ISREG(st->st_mode))
        return st->st_size;
    log_call('Z', fd);
    return fault_now() ? -1 : lseek(fd, 0, SEEK_END);  // a block device
}

int sys_open(const char *path, int flags, mode_t mode)
{
    int fd = fault_now() ? -1 : open(path, flags, mode);
    if (fd >= 0 && s_tracking && s_nfiles < MAX_FILES) {
        char cls = (flags & O_DIRECTORY) ? 'd' : (flags & O_CREAT) ? 'j' : s_nfiles == 0 ? 'i' : 'r';
        s_files[s_nfiles].fd = fd;
        s_files[s_nfiles].cls = cls;
        snprintf(s_files[s_nfiles++].path, PATH_MAX, "%s", path);
        if (flags & O_CREAT)
            add_pending('C', path);
    }
    log_call('O', fd);
    return fd;
}

int sys_flock(int fd, int op)
{
    log_call('K', fd);
    return fault_now() ? -1 : flock(fd, op);
}

int sys_unlink(const char *path)
{
    log_call('U', -1);
    if (fault_now())
        return -1;
    note_unlink(path);
    return unlink(path);
}

int sys_lstat(const char *path, struct stat *st)
{
    log_call('L', -1);
    return fault_now() ? -1 : lstat(path, st);
}

int sys_access(const char *path, int how)
{
    log_call('A', -1);
    return fault_now() ? -1 : access(path, how);
}
