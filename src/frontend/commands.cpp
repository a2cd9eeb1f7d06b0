// The command line: one table of commands, and the one runner that opens
// the image as the command needs it, runs the command and ends it (the
// sync or the undo, a signal, the output check, the exit status).
#include "norvask-oem-cfg.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <ctime>

#define MSG_IN_USE "[Error] The image is in use by another process.\n"
#define MSG_OUTPUT "standard output cannot be written"

enum opens_t { OPENS_NOTHING, OPENS_FOR_UPDATE, OPENS_READ_ONLY };

typedef struct {
    const char *words[2];
    const char *args;        // its arguments in the usage, before the options
    unsigned options;        // the OPT_ bits it takes; a dry run opens read-only
    int min_args, max_args;  // after the command word
    opens_t opens;           // how its first argument, the image, is opened
    int (*run)(command_run_t *r);
    bool dialogue;     // the dialogue's own texts and statuses, no usage errors of the verbs
    const char *what;  // its line of --help
    const char *more;  // said after an unexpected argument
} command_t;

typedef struct {
    const char *name;
    unsigned bit;
    const char *value;  // the value it takes, as the usage names it, or NULL
    const char *help;
} option_t;

#define WAIT_MAX     86400  // seconds: a day
#define WAIT_POLL_NS 20000000L
#define HELP_COLUMN  51

static const option_t OPTIONS[] = {
    {.name = "--json", .bit = OPT_JSON, .value = nullptr, .help = "print one JSON object"},
    {.name = "--dry-run",
     .bit = OPT_DRY_RUN,
     .value = nullptr,
     .help = "print the words it would change (or 'nothing to write'), write nothing"},
    {.name = "--force",
     .bit = OPT_FORCE,
     .value = nullptr,
     .help = "write into a file that does not start with the image magic"},
    {.name = "--wait",
     .bit = OPT_WAIT,
     .value = "SECONDS",
     .help = "wait up to SECONDS (whole, at most 86400) while another process holds the image"},
};

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

#define VERB_OPTIONS (OPT_DRY_RUN | OPT_FORCE | OPT_WAIT)

static const command_t COMMANDS[] = {
    {.words = {"-f", "-F"},
     .args = "IMAGE",
     .options = 0,
     .min_args = 0,
     .max_args = INT_MAX,
     .opens = OPENS_FOR_UPDATE,
     .run = dialogue_run,
     .dialogue = true,
     .what = "edit IMAGE in the menu dialogue (-F the same)",
     .more = ""},
    {.words = {"-v", "--version"},
     .args = "",
     .options = 0,
     .min_args = 0,
     .max_args = INT_MAX,
     .opens = OPENS_NOTHING,
     .run = print_version,
     .dialogue = true,
     .what = "print the version (--version the same)",
     .more = ""},
    {.words = {"show", nullptr},
     .args = "IMAGE",
     .options = OPT_JSON | OPT_WAIT,
     .min_args = 1,
     .max_args = 1,
     .opens = OPENS_READ_ONLY,
     .run = verb_show,
     .dialogue = false,
     .what = "print the board, the settings and the OEM words",
     .more = ""},
    {.words = {"get", nullptr},
     .args = "IMAGE SETTING...",
     .options = OPT_WAIT,
     .min_args = 2,
     .max_args = INT_MAX,
     .opens = OPENS_READ_ONLY,
     .run = verb_get,
     .dialogue = false,
     .what = "print the values of the settings named, one a line",
     .more = ""},
    {.words = {"set", nullptr},
     .args = "IMAGE SETTING=VALUE...",
     .options = VERB_OPTIONS,
     .min_args = 2,
     .max_args = INT_MAX,
     .opens = OPENS_FOR_UPDATE,
     .run = verb_set,
     .dialogue = false,
     .what = "change the settings named, all or nothing",
     .more = ""},
    {.words = {"save", nullptr},
     .args = "IMAGE",
     .options = OPT_WAIT,
     .min_args = 1,
     .max_args = 1,
     .opens = OPENS_READ_ONLY,
     .run = verb_save,
     .dialogue = false,
     .what = "print the settings of IMAGE as a settings file",
     .more = " (save writes to standard output)"},
    {.words = {"apply", nullptr},
     .args = "IMAGE FILE",
     .options = VERB_OPTIONS,
     .min_args = 2,
     .max_args = 2,
     .opens = OPENS_FOR_UPDATE,
     .run = verb_apply,
     .dialogue = false,
     .what = "set the settings of FILE (- standard input)",
     .more = ""},
    {.words = {"verify", nullptr},
     .args = "IMAGE FILE",
     .options = OPT_WAIT,
     .min_args = 2,
     .max_args = 2,
     .opens = OPENS_READ_ONLY,
     .run = verb_verify,
     .dialogue = false,
     .what = "exit 0 when apply would write nothing, else 1 and the differences",
     .more = ""},
    {.words = {"--help", nullptr},
     .args = "",
     .options = 0,
     .min_args = 0,
     .max_args = 0,
     .opens = OPENS_NOTHING,
     .run = print_help,
     .dialogue = false,
     .what = "this text; VERB --help: that verb's usage and options",
     .more = ""},
};

// The usage of c, from its row: the tool, its word, its arguments, its options.
static int print_usage_line(const command_t *c, FILE *to)
{
    int at = fprintf(to, TOOL_NAME " %s%s%s", c->words[0], c->args[0] != '\0' ? " " : "", c->args);
    for (const option_t &o : OPTIONS)
        if ((c->options & o.bit) != 0)
            at += fprintf(to, " [%s%s%s]", o.name, o.value != nullptr ? " " : "",
                          o.value != nullptr ? o.value : "");
    return at;
}

void print_usages(FILE *to)
{
    for (const command_t &c : COMMANDS) {
        fputs("  ", to);
        int at = 2 + print_usage_line(&c, to);
        if (at >= HELP_COLUMN - 1)
            at = fprintf(to, "\n") - 1;
        fprintf(to, "%*s%s\n", HELP_COLUMN - at, "", c.what);
    }
}

// VERB --help: its usage, what it does and its options.
static void print_verb_help(const command_t *c)
{
    fputs("usage: ", stdout);
    print_usage_line(c, stdout);
    printf("\n%s\n", c->what);
    for (const option_t &o : OPTIONS) {
        char name[32];
        snprintf(name, sizeof name, "%s %s", o.name, o.value != nullptr ? o.value : "");
        if ((c->options & o.bit) != 0)
            printf("  %-18s%s\n", name, o.help);
    }
    if (strstr(c->args, "SETTING") != nullptr)
        printf("The settings and their values: " TOOL_NAME " --help\n");
}

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
    say("%s: %s", shown(path, -1), why);
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
        say("%s: too short: %ld bytes, at least %u needed", shown(path, -1), size, IMG_MIN_SIZE);
        return EXIT_NO_IMAGE;
    }
    if (!dialogue && got == IMG_IN_USE) {
        say("%s: %s (--wait SECONDS waits for it)", shown(path, -1), r->img->why);
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

// A reader of standard output that went away ends a verb as it ends a
// filter: by SIGPIPE (held off until now), the command complete or undone.
static void end_if_reader_gone(img_t *img)
{
    sigset_t pending;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1)
        end_by_signal(img, SIGPIPE);
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
    if (status != EXIT_DONE && status != EXIT_FAILED) {  // refused, unread or answered, and said so
        if (con_flush())
            return status;
        end_if_reader_gone(img);
        return verb_ending(&o, ENDING_OUTPUT, r->argv[0], status);
    }
    ending_t e = ending_of(&o);
    if (e == ENDING_OUTPUT && o.undo != IMG_NOT_RESTORED)
        end_if_reader_gone(img);
    status = verb_ending(&o, e, r->argv[0], status);
    if (con_interrupted() != 0)
        end_by_signal(img, con_interrupted());
    if (e != ENDING_DONE)
        return status;
    if (!img_end(img) && o.written)
        say("%s: closing the image failed after its changes were synced", shown(r->argv[0], -1));
    return status;
}

// The option named by arg (up to its '=', for one that takes a value) that c
// takes, or NULL; *value: what follows the '=', or NULL.
static const option_t *find_option(const command_t *c, const char *arg, const char **value)
{
    const char *eq = strchr(arg, '=');
    for (const option_t &o : OPTIONS) {
        size_t len = o.value != nullptr && eq != nullptr ? (size_t)(eq - arg) : strlen(arg);
        if ((c->options & o.bit) != 0 && strlen(o.name) == len && strncmp(arg, o.name, len) == 0) {
            *value = o.value != nullptr && eq != nullptr ? eq + 1 : nullptr;
            return &o;
        }
    }
    return nullptr;
}

// The n-th word of c's arguments in its usage ("SETTING=VALUE..."), in buf.
static const char *usage_word(const command_t *c, int n, char *buf, size_t cap)
{
    const char *p = c->args;
    for (int i = 0; i < n && strchr(p, ' ') != nullptr; i++)
        p = strchr(p, ' ') + 1;
    snprintf(buf, cap, "%.*s", (int)strcspn(p, " "), p);
    return buf;
}

// Splits the arguments after the command word into its options and the
// rest; `--` ends the options. A usage error is said on its one line, naming
// the word and the rule: false. -h or --help among the options: *help.
static bool take_arguments(const command_t *c, int argc, char **argv, command_run_t *r, bool *help)
{
    const char *verb = argv[1];
    bool options_end = false;
    char word[32];
    r->argc = 0;
    r->options = 0;
    r->wait_s = 0;
    for (int i = 2; i < argc; i++) {
        const char *arg = argv[i], *value = nullptr;
        if (!options_end && (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0)) {
            *help = true;
            return false;
        }
        if (!options_end && strcmp(arg, "--") == 0) {
            options_end = true;
            continue;
        }
        if (options_end || strncmp(arg, "--", 2) != 0) {
            if (r->argc == c->max_args) {
                say("%s: unexpected argument '%s'%s", verb, shown(arg, -1), c->more);
                return false;
            }
            r->argv[r->argc++] = argv[i];
            continue;
        }
        const option_t *o = find_option(c, arg, &value);
        if (o == nullptr) {
            say("%s: unknown option '%s'", verb, shown(arg, -1));
            return false;
        }
        if ((r->options & o->bit) != 0) {
            say("%s: %s given twice", verb, o->name);
            return false;
        }
        r->options |= o->bit;
        if (o->value == nullptr)
            continue;
        if (value == nullptr && ++i == argc) {
            say("%s: %s needs %s: whole seconds, 0 to %d", verb, o->name, o->value, WAIT_MAX);
            return false;
        }
        value = value != nullptr ? value : argv[i];
        char *end;
        errno = 0;
        r->wait_s = isdigit((unsigned char)value[0]) ? strtol(value, &end, 10) : -1;
        if (r->wait_s < 0 || *end != '\0' || errno != 0 || r->wait_s > WAIT_MAX) {
            say("%s: %s: '%s' is not whole seconds, 0 to %d", verb, o->name, shown(value, -1),
                WAIT_MAX);
            return false;
        }
    }
    if (r->argc < c->min_args) {
        say("%s: %s missing (see '" TOOL_NAME " %s --help')", verb,
            usage_word(c, r->argc, word, sizeof word), verb);
        return false;
    }
    return true;
}

static int run_command(const command_t *c, int argc, char **argv, command_run_t *r)
{
    bool help = false;
    if (c->dialogue) {
        r->argc = argc - 2;
        r->argv = argv + 2;
    } else if (argc - 2 > MAX_ITEMS + 6) {  // more than IMAGE, the settings, the options and --
        say(MSG_TOO_MANY_SETTINGS, MAX_ITEMS);
        return EXIT_REFUSED;
    } else if (!take_arguments(c, argc, argv, r, &help)) {
        if (help)
            print_verb_help(c);
        return help ? EXIT_DONE : EXIT_REFUSED;
    }
    if (c->opens == OPENS_NOTHING)
        return c->run(r);
    if (r->argc == 0) {  // only the dialogue's -f can come without its image
        printf("    -f/-F                 To select an Image File\n");
        say("option '%s' needs an image path", argv[1]);
        return EXIT_DIALOGUE;
    }
    bool reads = c->opens == OPENS_READ_ONLY || (r->options & OPT_DRY_RUN) != 0;
    int status = open_image(r,
                            reads         ? IMG_READ_ONLY
                            : c->dialogue ? IMG_UPDATE
                                          : IMG_UPDATE_BATCHED,
                            c->dialogue);
    if (status != EXIT_DONE)
        return status;
    if (c->dialogue)
        return c->run(r);
    status = begin_verb(r);
    return end_verb(r, status == EXIT_DONE ? c->run(r) : status) & 0xFF;
}

// A word that is no command: the option usage as ever, and on standard
// error what was not understood, the verb it is likely a typo of, and where
// the commands are listed.
static void unknown_command(const char *word)
{
    const char *verbs[sizeof COMMANDS / sizeof COMMANDS[0]];
    int n = 0;
    for (const command_t &c : COMMANDS)
        if (c.words[0][0] != '-')
            verbs[n++] = c.words[0];
    const char *near = word[0] == '-' ? nullptr : nearest_word(word, (int)strlen(word), verbs, n);
    say("unknown %s '%s'%s%s%s (see '" TOOL_NAME " --help')", word[0] == '-' ? "option" : "command",
        shown(word, -1), near != nullptr ? "; did you mean '" : "", near != nullptr ? near : "",
        near != nullptr ? "'?" : "");
}

int oem_tool_main(int argc, char **argv)
{
    con_reset();
    memset((void *)&g_cfg, 0, sizeof g_cfg);
    const command_t *c = argc > 1 ? find_command(argv[1]) : nullptr;
    img_t img;
    img_init(&img);
    command_run_t r;
    char *args[MAX_ITEMS + 7];
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
    if (con_flush() || lost)
        return status;
    if (c == nullptr || c->dialogue) {
        say(MSG_OUTPUT);
        return EXIT_DIALOGUE;
    }
    end_if_reader_gone(&img);
    const img_outcome_t none = {};  // a verb's cycle is over: its line, with the reason
    return verb_ending(&none, ENDING_OUTPUT, argv[1], EXIT_FAILED);
}
