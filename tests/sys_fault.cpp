#include "sys_fault.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

static unsigned long s_calls = 0, s_fail_at = 0;  // 0: no fault planned
static img_fault_mode_t s_mode = IMG_FAULT_ERROR;
static bool s_torn = false;  // TORN: the one write that stores half has happened

// A change not yet durable: 'W' a write (with the bytes it replaced), 'C' a file created, 'U' removed.
struct pending_t {
    char kind;
    std::string path;
    int file;  // W: which file, to tell which sync makes it durable
    off_t at, old_size;
    std::string old;  // W: the bytes replaced; U: the whole file
};
static bool s_tracking = false;
static std::vector<pending_t> s_pending;
struct file_t {
    int fd;
    char cls;
    std::string path;
};
static std::vector<file_t> s_files;
static std::string s_log;

static void install(void);

void img_fault_after(unsigned long n, img_fault_mode_t mode)
{
    install();
    s_fail_at = n == 0 ? 0 : s_calls + n, s_mode = mode, s_torn = false;
}

void img_fault_clear(void)
{
    s_fail_at = 0;
}
unsigned long img_calls(void)
{
    return s_calls;
}
int img_pending(void)
{
    return (int)s_pending.size();
}
const char *img_call_log(void)
{
    return s_log.c_str();
}

void img_track_durability(bool on)
{
    install();
    s_tracking = on;
    if (on)
        s_pending.clear(), s_files.clear(), s_log.clear();
}

static int file_of(int fd)
{
    for (int i = (int)s_files.size() - 1; fd >= 0 && i >= 0; i--)
        if (s_files[(size_t)i].fd == fd)
            return i;
    return -1;
}

static std::string path_at(int dir, const char *name)
{
    char buf[PATH_MAX] = "";
    std::string link = "/proc/self/fd/" + std::to_string(dir);
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return std::string(buf, n > 0 ? (size_t)n : 0) + "/" + name;
}

static void log_call(char op, int fd)
{
    int f = file_of(fd);
    if (s_tracking)
        s_log += std::string(1, op) + (f < 0 ? '?' : s_files[(size_t)f].cls);
}

// Counts one call; true when it is the one to fail (or a later one, once stuck).
static bool fault_now(void)
{
    ++s_calls;
    if (s_mode == IMG_FAULT_TORN || s_fail_at == 0 || s_calls < s_fail_at ||
        (s_calls > s_fail_at && s_mode != IMG_FAULT_STUCK))
        return false;
    if (s_mode != IMG_FAULT_STUCK)
        s_fail_at = 0;
    errno = EIO;
    return true;
}

static bool dead_soon(void)
{
    return s_mode == IMG_FAULT_STUCK && s_fail_at != 0 && s_calls + 1 >= s_fail_at;
}

static void note_write(int fd, size_t n, off_t at)
{
    int f = file_of(fd);
    struct stat st;
    if (!s_tracking || dead_soon() || f < 0 || fstat(fd, &st) != 0)
        return;
    std::string old(n, '\0');
    if (pread(fd, old.data(), n, at) < 0)
        old.assign(n, '\0');
    s_pending.push_back({'W', s_files[(size_t)f].path, f, at, st.st_size, old});
}

static ssize_t f_pread(int fd, void *buf, size_t n, off_t at)
{
    log_call('R', fd);
    bool corrupt = s_mode == IMG_FAULT_CORRUPT;
    if (!fault_now())
        return pread(fd, buf, n, at);
    ssize_t got = corrupt ? pread(fd, buf, n, at) : -1;
    if (got > 0)
        *(unsigned char *)buf ^= 1;
    return got;
}

static ssize_t f_pwrite(int fd, const void *buf, size_t n, off_t at)
{
    log_call('W', fd);
    note_write(fd, n, at);
    if (s_mode == IMG_FAULT_TORN && s_fail_at != 0 && s_calls + 1 >= s_fail_at) {
        ++s_calls;  // a device that tore one write and took no other
        bool first = !s_torn;
        s_torn = true;
        errno = first && pwrite(fd, buf, n / 2, at) < 0 ? errno : EIO;
        return -1;
    }
    bool partial = s_mode == IMG_FAULT_PARTIAL;
    if (!fault_now())
        return pwrite(fd, buf, n, at);
    return partial && n > 1 ? pwrite(fd, buf, n / 2, at) : -1;
}

// A sync makes its file's writes durable, or (a directory) the files created and removed in it.
static int f_fsync(int fd)
{
    log_call('S', fd);
    if (fault_now())
        return -1;
    int f = file_of(fd);
    std::erase_if(s_pending, [&](const pending_t &p) {
        return f >= 0 && (s_files[(size_t)f].cls == 'd' ? p.kind != 'W' : p.kind == 'W' && p.file == f);
    });
    return fsync(fd);
}

static int f_close(int fd)
{
    log_call('X', fd);
    if (int f = file_of(fd); f >= 0)
        s_files[(size_t)f].fd = -1;
    bool fail = fault_now();
    return close(fd) != 0 || fail ? -1 : 0;  // closed whatever the outcome, as close(2) does
}

static int f_fstat(int fd, struct stat *st)
{
    return log_call('F', fd), fault_now() ? -1 : fstat(fd, st);
}
static int f_stat(const char *path, struct stat *st)
{
    return log_call('T', -1), fault_now() ? -1 : stat(path, st);
}
static int f_flock(int fd, int op)
{
    return log_call('K', fd), fault_now() ? -1 : flock(fd, op);
}
static off_t f_lseek(int fd, off_t at, int how)
{
    return log_call('Z', fd), fault_now() ? -1 : lseek(fd, at, how);
}

static int f_fstatat(int dir, const char *name, struct stat *st, int flags)
{
    return log_call('T', -1), fault_now() ? -1 : fstatat(dir, name, st, flags);
}

static int f_faccessat(int dir, const char *name, int how, int flags)
{
    return log_call('A', -1), fault_now() ? -1 : faccessat(dir, name, how, flags);
}

static int track_open(int fd, int flags, const std::string &path, bool at)
{
    if (fd >= 0 && s_tracking) {
        char cls = (flags & O_PATH)        ? 'p'
                   : (flags & O_DIRECTORY) ? 'd'
                   : (flags & O_CREAT)     ? 'j'
                   : at                    ? 'r'
                                           : 'i';
        s_files.push_back({fd, cls, path});
        if (flags & O_CREAT)
            s_pending.push_back({'C', path, -1, 0, 0, ""});
    }
    log_call('O', fd);
    return fd;
}

static int f_open(const char *path, int flags, mode_t mode)
{
    return track_open(fault_now() ? -1 : open(path, flags, mode), flags, path, false);
}

static int f_openat(int dir, const char *name, int flags, mode_t mode)
{
    return track_open(fault_now() ? -1 : openat(dir, name, flags, mode), flags, path_at(dir, name),
                      true);
}

static int f_unlinkat(int dir, const char *name, int flags)
{
    log_call('U', -1);
    if (fault_now())
        return -1;
    std::string path = path_at(dir, name);
    if (s_tracking) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0) {
            std::string old((size_t)st.st_size, '\0');
            s_pending.push_back(
                {'U', path, -1, 0, 0, pread(fd, old.data(), old.size(), 0) < 0 ? "" : old});
        }
        if (fd >= 0)
            close(fd);
    }
    return unlinkat(dir, name, flags);
}

static void install(void)
{
    g_img_sys = {f_pread, f_pwrite, f_fsync, f_close,    f_fstat,     f_stat, f_fstatat,
                 f_open,  f_openat, f_flock, f_unlinkat, f_faccessat, f_lseek};
}

// Puts back the bytes [from, to) of the write p replaced.
static void undo_write(const pending_t &p, size_t from, size_t to)
{
    int fd = open(p.path.c_str(), O_WRONLY | O_CLOEXEC);
    size_t keep = p.at >= p.old_size ? 0 : (size_t)(p.old_size - p.at);
    if (fd >= 0 && from < keep &&
        pwrite(fd, p.old.data() + from, std::min(to, keep) - from, p.at + (off_t)from) < 0)
        from = to;
    if (fd >= 0)
        close(fd);
    if (to == p.old.size() && p.at + (off_t)p.old.size() > p.old_size &&
        truncate(p.path.c_str(), p.old_size) != 0)
        return;
}

void img_power_cut(img_fate_t (*fate)(int i, void *ctx), void *ctx)
{
    for (int i = (int)s_pending.size() - 1; i >= 0; i--) {
        const pending_t &p = s_pending[(size_t)i];
        img_fate_t f = fate(i, ctx);
        if (f == FATE_KEEP)
            continue;
        if (p.kind == 'C') {
            unlink(p.path.c_str());
        } else if (p.kind == 'U') {
            int fd = open(p.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0 && pwrite(fd, p.old.data(), p.old.size(), 0) >= 0)
                fsync(fd);
            if (fd >= 0)
                close(fd);
        } else if (f == FATE_DROP) {
            undo_write(p, 0, p.old.size());
        } else {  // torn: every other sector of the write lost, by its offset in the file
            for (off_t sector = p.at / 512 * 512; sector < p.at + (off_t)p.old.size();
                 sector += 512)
                if ((sector / 512 + i) % 2 == 0)
                    undo_write(p, sector < p.at ? 0 : (size_t)(sector - p.at),
                               std::min((size_t)(sector + 512 - p.at), p.old.size()));
        }
    }
}
