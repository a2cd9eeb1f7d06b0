// What every command shares at its end and the process at its start: the
// report of a failed command and its undo, the end by a signal, and the
// standard descriptors and signal actions the run needs.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>

#define MSG_STDOUT_CLOSED TOOL_NAME ": standard output is closed\n"

// A command that failed on the image: its cause (a failed verification has
// printed its own), then the undo.
img_undo_t report_failure(img_t *img, FILE *to)
{
    img_fail_t why = img_failure(img);
    if (why == IMG_READ_FAIL)
        fputs(MSG_READ_FAIL, to);
    else if (why == IMG_WRITE_FAIL)
        fputs(MSG_WRITE_FAIL, to);
    img_undo_t undo = img_rollback(img);
    fputs(undo == IMG_NOT_RESTORED ? MSG_NOT_RESTORED : MSG_UNDONE, to);
    return undo;
}

// A completed command whose journal could not be removed.
void journal_left(const img_t *img)
{
    fputs(TOOL_NAME ": ", stderr);
    fput_escaped(img->jpath, -1, stderr);
    fprintf(stderr, ": the journal could not be removed for good (%s); if it is still there, the next start undoes the command\n", img->why);
}

// Ends the process by the signal that arrived, with its default action, so
// that a shell or make sees what it expects.
[[noreturn]] void end_by_signal(img_t *img, int sig)
{
    con_flush();
    img_end(img);
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
}

// The image must never keep descriptor 0, 1 or 2 (the menu would be written
// into it, or its bytes read as answers). Opened on the lowest free
// descriptor, it takes one only when one is closed (img_start then closes it
// again, untouched); so the closed ones are opened on /dev/null here, and a
// closed standard output ends the run at once. Returns false then.
bool standard_fds_open(void)
{
    struct pollfd std_fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (poll(std_fds, 3, 0) < 0)
        return false;
    for (int fd = 0; fd < 3; fd++)
        if ((std_fds[fd].revents & POLLNVAL) && open("/dev/null", O_RDWR) != fd)
            return false;
    if (std_fds[1].revents & POLLNVAL) {
        fputs(MSG_STDOUT_CLOSED, stderr);
        return false;
    }
    return true;
}

static void on_terminating_signal(int sig)
{
    con_note_signal(sig);
}

// What the process needs before the tool runs. Writes past a file size
// limit fail like any other write instead of killing the tool, a vanished
// reader of standard output shows as a failed write, and the terminating
// signals undo the command in progress. Returns false when the run must not
// start.
bool oem_tool_process_setup(void)
{
    // Every prompt flushes standard output, so a full buffer of our own
    // serves a terminal too, and stdio neither probes the descriptor nor
    // allocates one.
    static char out_buf[BUFSIZ];
    setvbuf(stdout, out_buf, _IOFBF, sizeof out_buf);
    // Held off for the whole run (one call for both), they are never
    // delivered: the write fails with EPIPE or EFBIG as when ignored.
    sigset_t quiet;
    sigemptyset(&quiet);
    sigaddset(&quiet, SIGPIPE);
    sigaddset(&quiet, SIGXFSZ);
    sigprocmask(SIG_BLOCK, &quiet, nullptr);
    struct sigaction sa = {};
    sa.sa_handler = on_terminating_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : TERMINATING_SIGNALS)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : TERMINATING_SIGNALS) {
        struct sigaction old;
        // A signal ignored by whoever started the tool (a background job)
        // stays ignored.
        if (sigaction(sig, &sa, &old) == 0 && old.sa_handler == SIG_IGN)
            sigaction(sig, &old, nullptr);
    }
    return true;
}
