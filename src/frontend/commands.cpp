// The command line: one table of commands, and the one runner that opens
// the image as the command needs it, runs the command and ends it (the
// sync or the undo, a signal, the output check, the exit status).
#include "norvask-oem-cfg.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#define PREFIX     TOOL_NAME ": "
#define MSG_IN_USE "[Error] The image is in use by another process.\n"
#define MSG_OUTPUT PREFIX "standard output cannot be written\n"
#define MSG_CLOSE  "closing the image failed after its changes were synced\n"

enum opens_t { OPENS_NOTHING, OPENS_FOR_UPDATE, OPENS_READ_ONLY };

typedef struct {
    const char *words[2];
    unsigned options;        // the OPT_ bits it takes; a dry run opens read-only
    int min_args, max_args;  // after the command word
    opens_t opens;           // how its first argument, the image, is opened
    int (*run)(command_run_t *r);
    const char *usage;  // NULL: the dialogue's own texts and statuses
} command_t;

typedef struct {
    const char *name;
    unsigned bit;
    bool takes_value;
} option_t;

static const option_t OPTIONS[] = {
    {.name = "--json", .bit = OPT_JSON, .takes_value = false},
    {.name = "--dry-run", .bit = OPT_DRY_RUN, .takes_value = false},
    {.name = "--force", .bit = OPT_FORCE, .takes_value = false},
    {.name = "--wait", .bit = OPT_WAIT, .takes_value = true},
};

#define WAIT_MAX     86400  // seconds: a day
#define WAIT_POLL_NS 20000000L

static int print_version(command_run_t *)
{
    printf("norvask_oem_tool  version : %d.%d.%d\n", OEM_VERSION_MAIN, OEM_VERSION_SUB,
           OEM_VERSION_UPDATE);
    return EXIT_DIALOGUE;
}

static int print_help(command_run_t *)
{
    print_help_text(stdout);
    return EXIT_DONE;
}

static const command_t COMMANDS[] = {
    {.words = {"-f", "-F"},
     .options = 0,
     .min_args = 0,
     .max_args = INT_MAX,
     .opens = OPENS_FOR_UPDATE,
     .run = dialogue_run,
     .usage = nullptr},
    {.words = {"-v", "--version"},
     .options = 0,
     .min_args = 0,
     .max_args = INT_MAX,
     .opens = OPENS_NOTHING,
     .run = print_version,
     .usage = nullptr},
    {.words = {"show", nullptr},
     .options = OPT_JSON | OPT_WAIT,
     .min_args = 1,
     .max_args = 1,
     .opens = OPENS_READ_ONLY,
     .run = verb_show,
     .usage = "show IMAGE [--json] [--wait SECONDS]"},
    {.words = {"set", nullptr},
     .options = OPT_DRY_RUN | OPT_FORCE | OPT_WAIT,
     .min_args = 1,
     .max_args = INT_MAX,
     .opens = OPENS_FOR_UPDATE,
     .run = verb_set,
     .usage = "set IMAGE SETTING=VALUE... [--dry-run] [--force] [--wait SECONDS]"},
    {.words = {"save", nullptr},
     .options = OPT_WAIT,
     .min_args = 1,
     .max_args = 1,
     .opens = OPENS_READ_ONLY,
     .run = verb_save,
     .usage = "save IMAGE [--wait SECONDS]"},
    {.words = {"apply", nullptr},
     .options = OPT_DRY_RUN | OPT_FORCE | OPT_WAIT,
     .min_args = 2,
     .max_args = 2,
     .opens = OPENS_FOR_UPDATE,
     .run = verb_apply,
     .usage = "apply IMAGE FILE [--dry-run] [--force] [--wait SECONDS]"},
    {.words = {"--help", nullptr},
     .options = 0,
     .min_args = 0,
     .max_args = 0,
     .opens = OPENS_NOTHING,
     .run = print_help,
     .usage = "--help"},
};

static const command_t *find_command(const char *word)
{
    for (const command_t &c : COMMANDS)
        for (const char *w : c.words)
            if (w != nullptr && strcmp(w, word) == 0)
                return &c;
    return nullptr;
}

int parse_cmd(const char *argv)
{
    const command_t *c = find_command(argv);
    return c == &COMMANDS[0] ? 0 : c == &COMMANDS[1] ? 1 : -1;
}

static void usage(bool no_argument)
{
    printf("Support options:\n");
    if (no_argument) {
        printf("    -f/-F                   To select an Image File\n");
        printf("    -v/--version            To check the version of tool\n");
    } else {
        printf("    -f/-F                 To select an Image File\n");
        printf("    -v/--version          To check the version of tool\n");
    }
}

static void say_why(const char *path, const char *why)
{
    fputs(PREFIX, stderr);
    fput_escaped(path, -1, stderr);
    fprintf(stderr, ": %s\n", why);
}

// Starts on the image, waiting up to wait_s seconds while another process
// holds its lock: a try every 20 ms, until the lock is had or the time is up.
// A terminating signal ends the wait and the process.
static img_start_t start_waiting(command_run_t *r, img_mode_t mode, long *size)
{
    struct timespec now, end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += r->wait_s;
    for (;;) {
        img_start_t got = img_start(r->img, r->argv[0], mode, size);
        clock_gettime(CLOCK_MONOTONIC, &now);
        bool late =
            now.tv_sec > end.tv_sec || (now.tv_sec == end.tv_sec && now.tv_nsec >= end.tv_nsec);
        if (got != IMG_IN_USE || late)
            return got;
        struct timespec pause = {0, WAIT_POLL_NS};
        nanosleep(&pause, nullptr);
        if (con_interrupted() != 0)
            end_by_signal(r->img, con_interrupted());
    }
}

// Opens, locks and checks the image; a refusal goes where the command's
// messages go: the dialogue's line, then its reason on standard error; the
// verbs' one line. Returns the exit status.
static int open_image(command_run_t *r, img_mode_t mode, bool dialogue)
{
    const char *path = r->argv[0];
    long size = 0;
    img_start_t got;
    while ((got = start_waiting(r, mode, &size)) == IMG_ON_STD_FD)
        if (!standard_fds_open())
            return dialogue ? EXIT_DIALOGUE : EXIT_FAILED;
    if (got == IMG_STARTED)
        return journal_found(r->img, dialogue, mode == IMG_READ_ONLY);
    if (!dialogue && got == IMG_TOO_SHORT) {
        fputs(PREFIX, stderr);
        fput_escaped(path, -1, stderr);
        fprintf(stderr, ": too short: %ld bytes, at least %u needed\n", size, IMG_MIN_SIZE);
        return EXIT_NO_IMAGE;
    }
    if (got == IMG_TOO_SHORT)
        printf("[Error] Image too short: %ld bytes found, at least %u (0x%X) bytes needed!\n", size,
               IMG_MIN_SIZE, IMG_MIN_SIZE);
    else if (dialogue)
        fputs(got == IMG_IN_USE ? MSG_OPEN_FAIL MSG_IN_USE : MSG_OPEN_FAIL, stdout);
    say_why(path, r->img->why);
    return dialogue ? EXIT_DIALOGUE : EXIT_NO_IMAGE;
}

// The verbs' board, read in the cycle the command runs in.
static int begin_verb(command_run_t *r)
{
    if (!img_cycle_begin(r->img)) {
        say_why(r->argv[0], r->img->why);
        return EXIT_NO_IMAGE;
    }
    errno = 0;
    return board_read(r->img, &r->board) ? EXIT_DONE : verb_read_failed(r->argv[0]);
}

// A verb's end: the cycle committed (its changes synced, the output
// written, its journal removed) or every change undone, told in one line. A
// signal that arrived on the way ends the process by that signal: one before
// the journal's removal undoes the command first.
static int end_verb(command_run_t *r, int status)
{
    img_t *img = r->img;
    int sig = con_interrupted();
    img_outcome_t o = img_cycle_end(img, status == EXIT_DONE && sig == 0, output_stands, nullptr);
    if (sig != 0) {
        verb_ending(&o, ENDING_SIGNAL, r->argv[0], status);
        end_by_signal(img, sig);
    }
    if (status != EXIT_DONE && status != EXIT_FAILED)  // refused or unread, and said so
        return con_flush() ? status : verb_ending(&o, ENDING_OUTPUT, r->argv[0], status);
    ending_t e = ending_of(&o);
    status = verb_ending(&o, e, r->argv[0], status);
    if (con_interrupted() != 0)
        end_by_signal(img, con_interrupted());
    if (e != ENDING_DONE)
        return status;
    if (!img_end(img) && o.written) {
        fputs(PREFIX, stderr);
        fput_escaped(r->argv[0], -1, stderr);
        fputs(": " MSG_CLOSE, stderr);
    }
    return status;
}

// The option named by arg that c takes, or NULL.
static const option_t *find_option(const command_t *c, const char *arg)
{
    for (const option_t &o : OPTIONS)
        if ((c->options & o.bit) != 0 && strcmp(arg, o.name) == 0)
            return &o;
    return nullptr;
}

// Splits the arguments after the command word into its options and the
// rest; false on an option it does not take, one given twice, or a bad
// --wait.
static bool take_arguments(const command_t *c, int argc, char **argv, command_run_t *r)
{
    r->argc = 0;
    r->options = 0;
    r->wait_s = 0;
    for (int i = 2; i < argc; i++) {
        if (strncmp(argv[i], "--", 2) != 0) {
            r->argv[r->argc++] = argv[i];
            continue;
        }
        const option_t *o = find_option(c, argv[i]);
        if (o == nullptr || (r->options & o->bit) != 0)
            return false;
        r->options |= o->bit;
        if (!o->takes_value)
            continue;
        char *end;
        if (++i == argc || !isdigit((unsigned char)argv[i][0]))
            return false;
        errno = 0;
        r->wait_s = strtol(argv[i], &end, 10);
        if (*end != '\0' || errno != 0 || r->wait_s > WAIT_MAX)
            return false;
    }
    return r->argc >= c->min_args && r->argc <= c->max_args;
}

static int run_command(const command_t *c, int argc, char **argv, command_run_t *r)
{
    bool dialogue = c->usage == nullptr;
    if (dialogue) {
        r->argc = argc - 2;
        r->argv = argv + 2;
    } else if (argc - 2 > MAX_ITEMS + 5) {  // more than IMAGE, the settings and the options
        fprintf(stderr, PREFIX MSG_TOO_MANY_SETTINGS, MAX_ITEMS);
        return EXIT_REFUSED;
    } else if (!take_arguments(c, argc, argv, r)) {
        fprintf(stderr, PREFIX "usage: " TOOL_NAME " %s\n", c->usage);
        return EXIT_REFUSED;
    }
    if (c->opens == OPENS_NOTHING)
        return c->run(r);
    if (r->argc == 0) {  // only the dialogue's -f can come without its image
        printf("    -f/-F                 To select an Image File\n");
        fprintf(stderr, PREFIX "option '%s' needs an image path\n", argv[1]);
        return EXIT_DIALOGUE;
    }
    bool reads = c->opens == OPENS_READ_ONLY || (r->options & OPT_DRY_RUN) != 0;
    int status = open_image(r,
                            reads      ? IMG_READ_ONLY
                            : dialogue ? IMG_UPDATE
                                       : IMG_UPDATE_BATCHED,
                            dialogue);
    if (status != EXIT_DONE)
        return status;
    if (dialogue)
        return c->run(r);
    status = begin_verb(r);
    return end_verb(r, status == EXIT_DONE ? c->run(r) : status);
}

// A word that is no command: the option usage as ever, and on standard
// error what was not understood and where the commands are listed.
static void unknown_command(const char *word)
{
    fprintf(stderr, PREFIX "unknown %s '", word[0] == '-' ? "option" : "command");
    fput_escaped(word, -1, stderr);
    fputs("' (see '" TOOL_NAME " --help')\n", stderr);
}

int oem_tool_main(int argc, char **argv)
{
    con_reset();
    memset((void *)&g_cfg, 0, sizeof g_cfg);
    const command_t *c = argc > 1 ? find_command(argv[1]) : nullptr;
    img_t img;
    img_init(&img);
    command_run_t r;
    char *args[MAX_ITEMS + 6];
    r.img = &img;
    r.argv = args;
    r.options = 0;
    r.wait_s = 0;
    int status = EXIT_DIALOGUE;
    if (c == nullptr) {
        usage(argc <= 1);
        if (argc > 1)
            unknown_command(argv[1]);
    } else {
        status = run_command(c, argc, argv, &r);
    }
    if (con_interrupted() != 0)  // never a status after a signal
        end_by_signal(&img, con_interrupted());
    img_end(&img);
    bool lost = con_output_failed();
    if (!con_flush() && !lost) {
        fputs(MSG_OUTPUT, stderr);
        status = c == nullptr || c->usage == nullptr ? EXIT_DIALOGUE : EXIT_FAILED;
    }
    return status;
}
