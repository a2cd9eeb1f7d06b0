// What every command shares at its end and the process at its start: the
// report of a failed command and its undo, the end by a signal, and the
// standard descriptors and signal actions the run needs.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iterator>
#include <string_view>

// ---------------------------------------------------------------- a command's end
#define NOTHING_CHANGED "; nothing changed"
#define PARTLY_CHANGED  "; the image may be partly changed"
#define FROM_JOURNAL    ", the next start undoes the command from its journal"

// What the front ends say of each ending. A verb says one line on standard
// error: the prefix, the image (or the journal), the cause, then what became
// of the image. The dialogue says a line (or the verbs' one), any failed
// journal call's reason on standard error, then whether the undo gave the
// image back.
typedef struct ending_row_t {
    const char *cause = nullptr;        // the verbs' cause (%s: the reason); NULL: they say nothing
    bool bare = false;                  // the verbs' line names no file
    bool names_journal = false;         // ... names the journal, not the image
    const char *undone = nullptr;       // the verbs' end after an undo; NULL: NOTHING_CHANGED
    const char *unchanged = nullptr;    // ... when nothing was written; NULL: NOTHING_CHANGED
    const char *journal = nullptr;      // a failed journal call's line, after the journal (%s: why)
    const char *told = nullptr;         // the dialogue's first line; NULL: the verbs' line
    const char *told_undone = nullptr;  // ... when it undid the command in progress; NULL: as told
    bool then_undone = false;           // the dialogue then says the command was undone
    bool on_stderr = false;             // the dialogue's lines go to standard error
    bool stops = false;                 // the dialogue's run ends
} ending_row_t;

static const ending_row_t ENDINGS[] = {
    /* done */ {.told = ""},
    /* read */
    {.cause = "cannot read (%s)",
     .journal = "the journal cannot be written (%s)",
     .told = MSG_READ_FAIL,
     .then_undone = true},
    /* write */
    {.cause = "cannot write (%s)",
     .journal = "the journal cannot be written (%s)",
     .told = MSG_WRITE_FAIL,
     .then_undone = true},
    /* verify: its message printed */
    {.cause = "cannot write (%s)",
     .journal = "the journal cannot be written (%s)",
     .told = "",
     .then_undone = true},
    /* not removed */
    {.cause = "the journal could not be removed for good (%s)",
     .names_journal = true,
     .journal = "the journal could not be removed for good (%s)",
     .told = MSG_WRITE_FAIL,
     .then_undone = true},
    /* signal */
    {.cause = "interrupted by signal %s",
     .told = "\n[Error] Interrupted!\n",
     .told_undone = "\n[Error] Interrupted, the unfinished command was undone!\n",
     .stops = true},
    /* late signal */
    {.cause = "interrupted by signal %s after the command was done",
     .unchanged = "",
     .stops = true},
    /* input */
    {.told = "\n[Error] Input ended!\n",
     .told_undone = "\n[Error] Input ended, the unfinished command was undone!\n",
     .stops = true},
    /* output */
    {.cause = "standard output cannot be written%s",
     .bare = true,
     .undone = ", the command was undone",
     .unchanged = "",
     .told = "standard output cannot be written, the unfinished command was undone",
     .on_stderr = true,
     .stops = true},
};
static_assert(sizeof ENDINGS / sizeof ENDINGS[0] == ENDING_OUTPUT + 1,
              "a row per ending, in order");

// The ending an outcome is told as: a signal first (it may be what cut a
// write short), then the output, the input, and the cycle's own failure.
ending_t ending_of(const img_outcome_t *o)
{
    if (o->why == IMG_END_DONE)
        return con_interrupted() != 0 ? ENDING_LATE_SIGNAL : ENDING_DONE;
    if (o->why == IMG_END_NOT_REMOVED)
        return ENDING_NOT_REMOVED;
    if (con_interrupted() != 0)
        return ENDING_SIGNAL;
    if (con_output_failed())
        return ENDING_OUTPUT;
    if (con_input_ended())
        return ENDING_INPUT;
    return o->failure == IMG_READ_FAIL     ? ENDING_READ
           : o->failure == IMG_VERIFY_FAIL ? ENDING_VERIFY
                                           : ENDING_WRITE;
}

// The commit's part of both front ends: the command's output written out,
// and no signal come.
bool output_stands(void *)
{
    return con_flush() && con_interrupted() == 0;
}

// The reason a row's %s stands for.
static const char *reason_of(const img_outcome_t *o, ending_t e, char *buf, size_t len)
{
    switch (e) {
    case ENDING_SIGNAL:
    case ENDING_LATE_SIGNAL:
        snprintf(buf, len, "%d", con_interrupted());
        return buf;
    case ENDING_VERIFY:
        return "the header block read back differs from the template";
    case ENDING_NOT_REMOVED:
        return o->jwhy;
    case ENDING_OUTPUT:
        if (con_output_errno() == 0)
            return "";
        snprintf(buf, len, " (%s)", strerror(con_output_errno()));
        return buf;
    default:
        return o->error != 0 ? strerror(o->error) : "short write";
    }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"  // the rows' own formats, one %s each

// The verbs' line of an ending that has a cause.
static void say_line(const img_outcome_t *o, ending_t e, const char *image)
{
    const ending_row_t *row = &ENDINGS[e];
    char buf[80];
    say_begin(stderr);
    if (!row->bare) {
        fput_escaped(row->names_journal ? o->journal : image, -1, stderr);
        fputs(": ", stderr);
    }
    fprintf(stderr, row->cause, reason_of(o, e, buf, sizeof buf));
    if (o->undo == IMG_NOT_RESTORED)
        fprintf(stderr, PARTLY_CHANGED "%s\n", !row->bare && o->journal_kept ? FROM_JOURNAL : "");
    else if (o->undo == IMG_UNDONE)
        fprintf(stderr, "%s\n", row->undone != nullptr ? row->undone : NOTHING_CHANGED);
    else
        fprintf(stderr, "%s\n", row->unchanged != nullptr ? row->unchanged : NOTHING_CHANGED);
}

// A verb's end in one line on standard error; returns its exit status.
int verb_ending(const img_outcome_t *o, ending_t e, const char *image, int status)
{
    if (ENDINGS[e].cause == nullptr)
        return status;
    say_line(o, e, image);
    return o->undo == IMG_NOT_RESTORED ? EXIT_NOT_RESTORED : EXIT_FAILED;
}

// The dialogue's account of a command's end (in_command: one was in
// progress); true when its run ends.
bool dialogue_ending(const img_outcome_t *o, ending_t e, const char *image, bool in_command)
{
    const ending_row_t *row = &ENDINGS[e];
    FILE *to = row->on_stderr ? stderr : stdout;
    bool undone = in_command && o->undo != IMG_NOT_RESTORED;
    const char *first = undone && row->told_undone != nullptr ? row->told_undone : row->told;
    if (first == nullptr)
        say_line(o, e, image);
    else if (row->on_stderr)
        say("%s", first);
    else
        fputs(first, to);
    if (row->journal != nullptr && o->jwhy != nullptr && o->journal[0] != '\0') {
        fput_escaped(o->journal, -1, say_begin(stderr));
        fputs(": ", stderr);
        fprintf(stderr, row->journal, o->jwhy);
        fputc('\n', stderr);
    }
    if (o->undo == IMG_NOT_RESTORED)
        fputs(MSG_NOT_RESTORED, to);
    else if (row->then_undone)
        fputs(MSG_UNDONE, to);
    return row->stops;
}
#pragma GCC diagnostic pop

// A user's name, or `unknown` (or_uid: `uid N`).
static void put_name(unsigned uid, bool or_uid, FILE *to)
{
    struct passwd pw, *found = nullptr;
    char buf[1024];
    if (getpwuid_r((uid_t)uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
        fput_escaped(found->pw_name, -1, to);
    else
        fprintf(to, or_uid ? "uid %u" : "unknown", uid);
}

// A path with a suffix as one word of a shell command to paste: in single
// quotes, or, holding a control character, in $'…' (bash and zsh alike).
static void put_quoted(const char *path, const char *suffix, FILE *to)
{
    bool control = false;
    for (const char *p = path; *p != '\0'; p++)
        control = control || (unsigned char)*p < 0x20 || *p == 0x7F;
    fputs(control ? "$'" : "'", to);
    for (const char *p = path; *p != '\0'; p++)
        if (control && (*p == '\'' || *p == '\\'))
            fprintf(to, "\\%c", *p);
        else if (*p == '\'')
            fputs("'\\''", to);
        else
            fput_escaped(p, 1, to);
    fprintf(to, "%s'", suffix);
}

// How a refusal ends: what the user can do next. In the texts, {why} is the
// reason, {user} NAME (uid N), {name} and {uid} its parts, {owner} NAME (or
// uid N) or as root, or root alone, {image} the image's path, {mv} the
// journal's path and its set-aside path, quoted.
static const char
    HINT_SET_ASIDE[] = "; to set it aside: mv -- {mv}",
    HINT_OWNER[] = "; run a writing command on {image} as {owner} to undo it",
    HINT_RESTORE[] =
        "; the image may hold part of an interrupted command: restore it from a copy, then set the journal aside: mv -- {mv}",
    HINT_KEEP[] = "; keep it: it is the only record of the undo",
    HINT_STICKY[] = "; only its owner, the directory's owner or root can remove it";

enum { REFUSED = -2 };  // the front end's status for a journal it will not start with

// One row per outcome of a start: what a writer is told after "PATH: ", a
// reader where it differs (then never refused), and the hint.
typedef struct found_row_t {
    img_journal_t found;
    const char *text, *reader = nullptr, *hint = "";
    int status;                 // REFUSED, EXIT_DONE or EXIT_NOT_RESTORED
    bool on_image = false;      // said of the image's path (the journal's is not known)
    bool dialogue_out = false;  // the dialogue says it on standard output, as a [Warn]
} found_row_t;

// Texts two outcomes share: a foreign file's, and a mismatch whether or not its writes are there.
static const char NOT_TRUSTED[] =
    "not a journal this tool trusts (user {name}, uid {uid}); the image is read as it is";
static const char MISMATCH[] =
    "the image was changed after an interrupted command; this journal does not match it and is not applied; nothing was changed";

static const found_row_t FOUND[] = {
    {.found = JOURNAL_NONE, .text = nullptr, .status = EXIT_DONE},
    {.found = JOURNAL_UNDONE,
     .text = "an interrupted command was undone from this journal",
     .status = EXIT_DONE,
     .dialogue_out = true},
    {.found = JOURNAL_EMPTY,
     .text = "a journal cut off before its command changed anything was removed",
     .reader =
         "a journal cut off before its command changed anything; the next writing run removes it",
     .status = EXIT_DONE,
     .dialogue_out = true},
    {.found = JOURNAL_PENDING,
     .text = "an interrupted command is shown undone; the next writing run undoes it",
     .status = EXIT_DONE},
    {.found = JOURNAL_FOREIGN,
     .text = "a file of user {user} holds the journal's name; nothing was changed",
     .reader = NOT_TRUSTED,
     .hint = HINT_SET_ASIDE,
     .status = REFUSED},
    {.found = JOURNAL_FOREIGN_STICKY,
     .text = "a file of user {user} holds the journal's name; nothing was changed",
     .reader = NOT_TRUSTED,
     .hint = HINT_STICKY,
     .status = REFUSED},
    {.found = JOURNAL_DAMAGED,
     .text = "this journal is damaged; it is not applied, and nothing was changed",
     .hint = HINT_RESTORE,
     .status = REFUSED},
    {.found = JOURNAL_MISMATCH, .text = MISMATCH, .hint = HINT_SET_ASIDE, .status = REFUSED},
    {.found = JOURNAL_MISMATCH_PARTLY, .text = MISMATCH, .hint = HINT_RESTORE, .status = REFUSED},
    {.found = JOURNAL_UNREADABLE,
     .text = "this journal cannot be read ({why}); nothing was changed",
     .hint = HINT_OWNER,
     .status = REFUSED},
    {.found = JOURNAL_CANNOT_TELL,
     .text =
         "cannot tell whether an interrupted command's journal is pending ({why}); nothing was changed",
     .status = REFUSED,
     .on_image = true},
    {.found = JOURNAL_CANNOT_APPLY,
     .text =
         "a journal of user {user} is pending, and it cannot be applied and removed ({why}); nothing was changed",
     .hint = HINT_OWNER,
     .status = REFUSED},
    {.found = JOURNAL_STUCK,
     .text = "this journal could not be applied ({why})",
     .hint = HINT_KEEP,
     .status = EXIT_NOT_RESTORED},
    {.found = JOURNAL_NOT_REMOVED,
     .text = "this journal was applied, but could not be removed ({why})",
     .hint = HINT_SET_ASIDE,
     .status = EXIT_NOT_RESTORED},
};

// A row's text with its fields put in.
static void put_text(const char *text, const img_found_t *f, FILE *to)
{
    for (const char *p = text; *p != '\0'; p++) {
        const char *end = *p == '{' ? strchr(p, '}') : nullptr;
        if (end == nullptr) {
            putc(*p, to);
            continue;
        }
        const std::string_view field(p + 1, (size_t)(end - p - 1));
        p = end;
        if (field == "why") {
            fputs(f->why != nullptr ? f->why : "reason unknown", to);
        } else if (field == "user" || field == "name") {
            put_name(f->owner, false, to);
            if (field == "user")
                fprintf(to, " (uid %u)", f->owner);
        } else if (field == "uid") {
            fprintf(to, "%u", f->owner);
        } else if (field == "owner" && f->owner != 0) {
            put_name(f->owner, true, to);
            fputs(" or as root", to);
        } else if (field == "owner") {
            fputs("root", to);
        } else if (field == "image") {
            fput_escaped(f->image, -1, to);
        } else {  // mv
            put_quoted(f->journal, "", to);
            fputc(' ', to);
            put_quoted(f->journal, ".set-aside", to);
        }
    }
}

// What the start found beside the image, said where the command's messages
// go; returns the exit status of a journal the run cannot start with. A
// refusal is one line on standard error naming the file and the reason (the
// dialogue's own line before it), ending with what the user can do.
int journal_found(const img_t *img, bool dialogue, bool reads)
{
    const img_found_t found = img_found(img), *f = &found;
    const found_row_t *row = FOUND;  // every outcome has its row
    while (row + 1 < std::end(FOUND) && row->found != f->found)
        row++;
    if (row->text == nullptr) {
        if (!reads && f->no_journal != nullptr)
            say("no journal can be kept beside the image (%s): a crash could leave it half-written",
                f->no_journal);
        return EXIT_DONE;
    }
    bool own_text = reads && row->reader != nullptr;
    int status = own_text ? EXIT_DONE : row->status;
    FILE *note = dialogue && row->dialogue_out ? stdout : stderr;
    if (dialogue && status != EXIT_DONE)
        fputs(status == EXIT_NOT_RESTORED ? MSG_WRITE_FAIL : MSG_OPEN_FAIL, stdout);
    fput_escaped(row->on_image ? f->image : f->journal, -1, say_begin(note));
    fputs(": ", note);
    put_text(own_text ? row->reader : row->text, f, note);
    put_text(own_text ? "" : row->hint, f, note);
    fputc('\n', note);
    return status != REFUSED ? status : dialogue ? EXIT_DIALOGUE : EXIT_NO_IMAGE;
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
        say("standard output is closed");
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
