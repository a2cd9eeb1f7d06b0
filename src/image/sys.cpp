// The system calls of the image layer: every one goes through this table,
// so that a test can put a failing, counting or crash-simulating call in
// place of any of them. The tool itself uses the system's own.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// open(2) and openat(2) take their mode as a variadic argument.
static int open_file(const char *path, int flags, mode_t mode)
{
    return open(path, flags, mode);
}

static int open_at(int dir, const char *name, int flags, mode_t mode)
{
    return openat(dir, name, flags, mode);
}

img_sys_t g_img_sys = {
    .pread = pread,
    .pwrite = pwrite,
    .fsync = fsync,
    .close = close,
    .fstat = fstat,
    .stat = stat,
    .fstatat = fstatat,
    .open = open_file,
    .openat = open_at,
    .flock = flock,
    .unlinkat = unlinkat,
    .faccessat = faccessat,
    .lseek = lseek,
    .fchmod = fchmod,
    .fchown = fchown,
};
