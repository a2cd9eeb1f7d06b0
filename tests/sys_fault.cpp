#include "sys_fault.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

static unsigned long s_calls, s_fail_at, s_act_at;  // s_fail_at 0: no fault planned
static void (*s_act)(void *);
static void *s_act_ctx;
static img_fault_mode_t s_mode;
static bool s_torn, s_tracking;  // s_torn: the one half write of TORN is made
// Not durable yet: 'W' a write (with the bytes it replaced), 'C' a file created, 'U' one removed.
struct pending_t {
    char kind;
    std::string path;
    off_t at, old_size;
    std::string old;  // W: the bytes replaced; U: the file
};
static std::vector<pending_t> s_pending;
static std::string s_log;
static std::map<int, std::string> s_open;  // the path each descriptor was opened by
static off_t s_size;  // 0, or the size the image is reported to have, read as zeros past its end

static const img_sys_t s_sys = g_img_sys;  // the system's calls (a table set before any code runs)
static void install(void);

void img_fault_after(unsigned long n, img_fault_mode_t mode)
{
    install();
    s_fail_at = n == 0 ? 0 : s_calls + n, s_mode = mode, s_torn = false;
}
void img_act_at(unsigned long n, void (*act)(void *ctx), void *ctx)
{
    install();
    s_act_at = s_calls + n, s_act = act, s_act_ctx = ctx;
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
int img_open_fds(void)
{
    return (int)s_open.size();
}
void img_track_durability(bool on)
{
    install();
    s_tracking = on;
    if (on)
        s_pending.clear(), s_log.clear();
}
void img_report_size(off_t size)
{
    install();
    s_size = size;
}

static std::string path_of(int fd)
{
    auto f = s_open.find(fd);
    return f == s_open.end() ? "" : f->second;
}
static std::string path_at(int dir, const char *name)
{
    return strcmp(name, ".") == 0 ? path_of(dir) : path_of(dir) + "/" + name;
}
static bool is_journal(const std::string &path)
{
    return path.ends_with(JOURNAL_SUFFIX);
}

// The image's size as reported, if one is set.
static int sized(int rc, struct stat *st, const std::string &path)
{
    if (rc == 0 && s_size != 0 && S_ISREG(st->st_mode) && !is_journal(path))
        st->st_size = s_size;
    return rc;
}

static void log(char op)
{
    if (s_tracking)
        s_log += op;
}

int img_fault_signal;

// Counts one call; true when it fails (the planned one, or any later once stuck).
static bool fails(void)
{
    if (++s_calls == s_act_at && s_act != nullptr)
        std::exchange(s_act, nullptr)(s_act_ctx);
    if (s_mode == IMG_FAULT_SIGNAL)
        return s_calls == s_fail_at && raise(img_fault_signal) != 0;
    if (s_mode == IMG_FAULT_TORN || s_fail_at == 0 || s_calls < s_fail_at ||
        (s_calls > s_fail_at && s_mode != IMG_FAULT_STUCK))
        return false;
    if (s_mode != IMG_FAULT_STUCK)
        s_fail_at = 0;
    errno = EIO;
    return true;
}

static ssize_t f_pread(int fd, void *buf, size_t n, off_t at)
{
    log('R');
    if (!fails()) {
        ssize_t got = s_sys.pread(fd, buf, n, at);
        if (s_size != 0 && got >= 0 && !is_journal(path_of(fd)) && at + (off_t)n <= s_size)
            memset((char *)buf + got, 0, n - (size_t)got), got = (ssize_t)n;
        return got;
    }
    ssize_t got = s_mode == IMG_FAULT_CORRUPT ? s_sys.pread(fd, buf, n, at) : -1;
    if (got > 0)
        *(unsigned char *)buf ^= 1;
    return got;
}

static ssize_t f_pwrite(int fd, const void *buf, size_t n, off_t at)
{
    log('W');
    const bool torn = s_mode == IMG_FAULT_TORN && s_fail_at != 0 && s_calls + 1 >= s_fail_at;
    if (fails() || torn) {
        if (!torn && s_mode == IMG_FAULT_PARTIAL && n > 1)
            return s_sys.pwrite(fd, buf, n / 2, at);
        if (torn && !s_torn)
            (void)!s_sys.pwrite(fd, buf, n / 2, at);
        s_torn = s_torn || torn, errno = EIO;
        return -1;
    }
    struct stat st;
    if (s_tracking && s_sys.fstat(fd, &st) == 0) {
        std::string old(n, '\0');
        (void)!s_sys.pread(fd, old.data(), n, at);
        s_pending.push_back({'W', path_of(fd), at, st.st_size, old});
    }
    return s_sys.pwrite(fd, buf, n, at);
}

// A sync makes its file's writes durable, or (a directory's) the files created and removed in it.
static int f_fsync(int fd)
{
    log('S');
    if (fails())
        return -1;
    if (s_tracking) {
        const std::string path = path_of(fd);
        std::erase_if(s_pending, [&](const pending_t &p) {
            return p.kind == 'W' ? p.path == path : p.path.starts_with(path + "/");
        });
    }
    return s_sys.fsync(fd);
}

static int f_close(int fd)
{
    log('X');
    bool fail = fails();
    s_open.erase(fd);
    return s_sys.close(fd) != 0 || fail ? -1 : 0;  // closed whatever the outcome, as close(2) does
}

static int opened(int fd, int flags, const std::string &path)
{
    if (fd >= 0)
        s_open[fd] = path;
    if (fd >= 0 && s_tracking && (flags & O_CREAT))
        s_pending.push_back({'C', path, 0, 0, ""});
    return log('O'), fd;
}
static int f_unlinkat(int dir, const char *name, int flags)
{
    log('U');
    if (fails())
        return -1;
    if (int fd = s_tracking ? s_sys.openat(dir, name, O_RDONLY | O_CLOEXEC, 0) : -1; fd >= 0) {
        struct stat st;
        std::string old(s_sys.fstat(fd, &st) == 0 ? (size_t)st.st_size : 0, '\0');
        (void)!s_sys.pread(fd, old.data(), old.size(), 0);
        s_pending.push_back({'U', path_at(dir, name), 0, 0, old}), s_sys.close(fd);
    }
    return s_sys.unlinkat(dir, name, flags);
}

static void install(void)
{
    g_img_sys = {
        .pread = f_pread,
        .pwrite = f_pwrite,
        .fsync = f_fsync,
        .close = f_close,
        .fstat =
            [](int fd, struct stat *st) {
                return log('F'), fails() ? -1 : sized(s_sys.fstat(fd, st), st, path_of(fd));
            },
        .stat =
            [](const char *path, struct stat *st) {
                return log('T'), fails() ? -1 : sized(s_sys.stat(path, st), st, path);
            },
        .fstatat =
            [](int dir, const char *name, struct stat *st, int flags) {
                return log('T'),
                       fails() ? -1 : sized(s_sys.fstatat(dir, name, st, flags), st, name);
            },
        .open =
            [](const char *path, int flags, mode_t mode) {
                return opened(fails() ? -1 : s_sys.open(path, flags, mode), flags, path);
            },
        .openat =
            [](int dir, const char *name, int flags, mode_t mode) {
                return opened(fails() ? -1 : s_sys.openat(dir, name, flags, mode), flags,
                              path_at(dir, name));
            },
        .flock = [](int fd, int op) { return log('K'), fails() ? -1 : s_sys.flock(fd, op); },
        .unlinkat = f_unlinkat,
        .faccessat =
            [](int dir, const char *name, int how, int flags) {
                return log('A'), fails() ? -1 : s_sys.faccessat(dir, name, how, flags);
            },
        .lseek = [](int fd, off_t at,
                    int how) { return log('Z'), fails() ? -1 : s_sys.lseek(fd, at, how); },
        .fchmod = [](int fd, mode_t m) { return log('M'), fails() ? -1 : s_sys.fchmod(fd, m); },
        .fchown = [](int fd, uid_t u,
                     gid_t g) { return log('N'), fails() ? -1 : s_sys.fchown(fd, u, g); },
    };
}

// Puts back the bytes [from, to) of the write p replaced; the file's old size once whole.
static void undo_write(const pending_t &p, size_t from, size_t to)
{
    const size_t keep = p.at >= p.old_size ? 0 : std::min(to, (size_t)(p.old_size - p.at));
    if (int fd = s_sys.open(p.path.c_str(), O_WRONLY | O_CLOEXEC, 0); fd >= 0) {
        if (from < keep)
            (void)!s_sys.pwrite(fd, p.old.data() + from, keep - from, p.at + (off_t)from);
        s_sys.close(fd);
    }
    if (to == p.old.size() && p.at + (off_t)to > p.old_size)
        (void)!truncate(p.path.c_str(), p.old_size);
}

void img_power_cut(img_fate_t (*fate)(int i, void *ctx), void *ctx)
{
    for (int i = (int)s_pending.size() - 1; i >= 0; i--) {
        const pending_t &p = s_pending[(size_t)i];
        img_fate_t f = fate(i, ctx);
        if (f == FATE_KEEP)
            continue;
        if (p.kind == 'C') {
            s_sys.unlinkat(AT_FDCWD, p.path.c_str(), 0);
        } else if (p.kind == 'U') {
            if (int fd = s_sys.open(p.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600); fd >= 0)
                (void)!s_sys.pwrite(fd, p.old.data(), p.old.size(), 0), s_sys.close(fd);
        } else if (f == FATE_DROP) {
            undo_write(p, 0, p.old.size());
        } else {  // torn: every other sector of the write lost, by its offset in the file
            for (off_t s = p.at / 512 * 512; s < p.at + (off_t)p.old.size(); s += 512)
                if ((s / 512 + i) % 2 == 0)
                    undo_write(p, s < p.at ? 0 : (size_t)(s - p.at),
                               std::min((size_t)(s + 512 - p.at), p.old.size()));
        }
    }
}
