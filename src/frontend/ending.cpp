// What every command shares at its end and the process at its start: the
// report of a failed command and its undo, the end by a signal, and the
// standard descriptors and signal actions the run needs.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <csignal>

#define MSG_STDOUT_CLOSED TOOL_NAME ": standard output is closed\n"

#define PREFIX TOOL_NAME ": "

// A command that failed on the image: its cause (a failed verification has
// printed its own, a failed journal adds its reason), then the undo.
img_undo_t report_failure(img_t *img, FILE *to)
{
    img_fail_t why = img_failure(img);
    if (why == IMG_READ_FAIL)
        fputs(MSG_READ_FAIL, to);
    else if (why == IMG_WRITE_FAIL)
        fputs(MSG_WRITE_FAIL, to);
    if (img->jwhy != nullptr && img->jpath[0] != '\0') {
        fputs(PREFIX, stderr);
        fput_escaped(img->jpath, -1, stderr);
        fprintf(stderr, ": the journal cannot be written (%s)\n", img->jwhy);
        img->jwhy = nullptr;
    }
    img_undo_t undo = img_rollback(img);
    fputs(undo == IMG_NOT_RESTORED ? MSG_NOT_RESTORED : MSG_UNDONE, to);
    return undo;
}

// A completed command whose journal could not be removed.
void journal_left(const img_t *img)
{
    fputs(PREFIX, stderr);
    fput_escaped(img->jpath, -1, stderr);
    fprintf(
        stderr,
        ": the journal could not be removed for good (%s); if it is still there, the next start "
        "undoes the command\n",
        img->jwhy);
}

// A user as the refusals name one: NAME (uid N).
static void put_user(unsigned uid, FILE *to)
{
    struct passwd pw, *found = nullptr;
    char buf[1024];
    if (getpwuid_r((uid_t)uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
        fput_escaped(found->pw_name, -1, to);
    else
        fputs("unknown", to);
    fprintf(to, " (uid %u)", uid);
}

// A path in single quotes, for a command line to copy.
static void put_quoted(const char *path, const char *suffix, FILE *to)
{
    fputc('\'', to);
    for (const char *p = path; *p != '\0'; p++)
        if (*p == '\'')
            fputs("'\\''", to);
        else
            fput_escaped(p, 1, to);
    fprintf(to, "%s'", suffix);
}

// What the start found beside the image, said where the command's messages
// go; returns the exit status of a journal the run cannot start with. A
// refusal is one line on standard error naming the file and the reason (the
// dialogue's own line before it) and, for a journal, the command that sets
// it aside.
int journal_found(const img_t *img, bool dialogue, bool reads)
{
    img_journal_t j = img->journal;
    const char *path = img->jpath;
    FILE *note = dialogue && (j == JOURNAL_UNDONE || j == JOURNAL_EMPTY) ? stdout : stderr;
    switch (j) {
    case JOURNAL_NONE:
        if (!reads && img->no_journal != nullptr)
            fprintf(stderr,
                    PREFIX "no journal can be kept beside the image (%s): a crash could leave it "
                           "half-written\n",
                    img->no_journal);
        return EXIT_DONE;
    case JOURNAL_CANNOT_TELL:
        path = img->path;
        break;
    default:
        break;
    }
    bool refused = j >= JOURNAL_FOREIGN;
    if (refused && dialogue)
        fputs(j >= JOURNAL_STUCK ? MSG_WRITE_FAIL : MSG_OPEN_FAIL, stdout);
    fputs(note == stdout ? "[Warn]" : PREFIX, note);
    fput_escaped(path, -1, note);
    fputs(": ", note);
    switch (j) {
    case JOURNAL_UNDONE:
        fputs("an interrupted command was undone from this journal", note);
        break;
    case JOURNAL_EMPTY:
        fputs(reads ? "a journal cut off before its command changed anything; the next writing run "
                      "removes it"
                    : "a journal cut off before its command changed anything was removed",
              note);
        break;
    case JOURNAL_PENDING:
        fputs("an interrupted command is shown undone; the next writing run undoes it", note);
        break;
    case JOURNAL_FOREIGN:
        fputs("this file is not a journal of this tool; it is not used, and nothing was changed",
              note);
        break;
    case JOURNAL_UNTRUSTED:
        fputs("a journal of this tool belonging to user ", note);
        put_user(img->jowner, note);
        fputs(", who may not write this image; it is not applied, and removing it keeps the image "
              "as it is",
              note);
        break;
    case JOURNAL_DAMAGED:
        fputs("this journal is damaged; it is not applied, and nothing was changed", note);
        break;
    case JOURNAL_MISMATCH:
        fputs("the image was changed after an interrupted command; this journal does not match it "
              "and is not "
              "applied; nothing was changed",
              note);
        break;
    case JOURNAL_UNREADABLE:
        fprintf(note, "this journal cannot be read (%s); nothing was changed", img->jwhy);
        break;
    case JOURNAL_CANNOT_TELL:
        fprintf(note,
                "cannot tell whether an interrupted command's journal is pending (%s); nothing was "
                "changed",
                img->jwhy);
        break;
    case JOURNAL_CANNOT_APPLY:
        fputs("a journal of user ", note);
        put_user(img->jowner, note);
        fprintf(note, " is pending, and it cannot be applied and removed (%s); nothing was changed",
                img->jwhy);
        break;
    case JOURNAL_STUCK:
        fprintf(note, "this journal could not be applied (%s)", img->jwhy);
        break;
    case JOURNAL_NOT_REMOVED:
        fprintf(note, "this journal was applied, but could not be removed (%s)", img->jwhy);
        break;
    case JOURNAL_NONE:
        break;
    }
    if (refused && j != JOURNAL_CANNOT_TELL) {
        fputs("; to set it aside: mv -- ", note);
        put_quoted(path, "", note);
        fputc(' ', note);
        put_quoted(path, ".set-aside", note);
    }
    fputc('\n', note);
    if (j >= JOURNAL_STUCK)
        return EXIT_NOT_RESTORED;
    return refused ? (dialogue ? EXIT_DIALOGUE : EXIT_NO_IMAGE) : EXIT_DONE;
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
