// The command line: one table of commands, and the one runner that opens
// the image as the command needs it, runs the command and ends it (the
// sync or the undo, a signal, the output check, the exit status).
#include "norvask-oem-cfg.h"

#include <climits>
#include <cstring>

#define PREFIX TOOL_NAME ": "
#define MSG_IN_USE "[Error] The image is in use by another process.\n"
#define MSG_OUTPUT PREFIX "standard output cannot be written\n"
#define MSG_OUTPUT_UNDONE PREFIX "standard output cannot be written, the command was undone\n"
#define MSG_CLOSE PREFIX "closing the image failed after its changes were synced\n"

enum opens_t { OPENS_NOTHING, OPENS_FOR_UPDATE, OPENS_READ_ONLY };

typedef struct {
    const char *words[2];
    const char *option;      // its one option (a dry run opens read-only); NULL: none
    int min_args, max_args;  // after the command word
    opens_t opens;           // how its first argument, the image, is opened
    int (*run)(command_run_t *r);
    const char *usage;       // NULL: the dialogue's own texts and statuses
} command_t;

static int print_version(command_run_t *)
{
    printf("norvask_oem_tool  version : %d.%d.%d\n", OEM_VERSION_MAIN, OEM_VERSION_SUB, OEM_VERSION_UPDATE);
    return EXIT_DIALOGUE;
}

static int print_help(command_run_t *)
{
    fputs(HELP_TEXT, stdout);
    return EXIT_DONE;
}

static const command_t COMMANDS[] = {
    {{"-f", "-F"}, nullptr, 0, INT_MAX, OPENS_FOR_UPDATE, dialogue_run, nullptr},
    {{"-v", "--version"}, nullptr, 0, INT_MAX, OPENS_NOTHING, print_version, nullptr},
    {{"show", nullptr}, "--json", 1, 1, OPENS_READ_ONLY, verb_show, "show IMAGE [--json]"},
    {{"set", nullptr}, "--dry-run", 1, INT_MAX, OPENS_FOR_UPDATE, verb_set, "set IMAGE SETTING=VALUE... [--dry-run]"},
    {{"save", nullptr}, nullptr, 1, 1, OPENS_READ_ONLY, verb_save, "save IMAGE"},
    {{"apply", nullptr}, "--dry-run", 2, 2, OPENS_FOR_UPDATE, verb_apply, "apply IMAGE FILE [--dry-run]"},
    {{"--help", nullptr}, nullptr, 0, 0, OPENS_NOTHING, print_help, "--help"},
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

// Opens, locks and checks the image; a refusal goes where the command's
// messages go, its reason to standard error. Returns the exit status.
static int open_image(command_run_t *r, img_mode_t mode, bool dialogue)
{
    FILE *msg = dialogue ? stdout : stderr;
    const char *path = r->argv[0];
    long size = 0;
    img_start_t got;
    while ((got = img_start(r->img, path, mode, &size)) == IMG_ON_STD_FD)
        if (!standard_fds_open())
            return dialogue ? EXIT_DIALOGUE : EXIT_FAILED;
    if (got == IMG_STARTED)
        return journal_found(r->img, dialogue, mode == IMG_READ_ONLY);
    if (got == IMG_TOO_SHORT)
        fprintf(msg, "[Error] Image too short: %ld bytes found, at least %u (0x%X) bytes needed!\n", size, IMG_MIN_SIZE,
                IMG_MIN_SIZE);
    else
        fputs(got == IMG_IN_USE ? MSG_OPEN_FAIL MSG_IN_USE : MSG_OPEN_FAIL, msg);
    say_why(path, r->img->why);
    return dialogue ? EXIT_DIALOGUE : EXIT_NO_IMAGE;
}

// The verbs' board, read in the cycle the command runs in.
static int begin_verb(command_run_t *r)
{
    if (!img_cycle_begin(r->img)) {
        fputs(MSG_OPEN_FAIL, stderr);
        say_why(r->argv[0], r->img->why);
        return EXIT_NO_IMAGE;
    }
    if (!board_read(r->img, &r->board)) {
        fputs(MSG_READ_FAIL, stderr);
        return EXIT_NO_IMAGE;
    }
    return EXIT_DONE;
}

static int undone_status(img_undo_t undo)
{
    return undo == IMG_NOT_RESTORED ? EXIT_NOT_RESTORED : EXIT_FAILED;
}

// A verb's end: the changes synced and the output written, or every change
// undone. A signal that arrived meanwhile undoes the command and ends the
// process by that signal.
static int end_verb(command_run_t *r, int status)
{
    img_t *img = r->img;
    if (con_interrupted() != 0) {
        fputs(img_rollback(img) == IMG_NOT_RESTORED ? MSG_NOT_RESTORED : MSG_UNDONE, stderr);
        end_by_signal(img, con_interrupted());
    }
    if (status == EXIT_FAILED || (status == EXIT_DONE && !img_cycle_sync(img)))
        return undone_status(report_failure(img, stderr));
    bool written = status == EXIT_DONE && img->nwritten > 0 && !img->dry_run;
    if (!con_flush()) {
        fputs(written ? MSG_OUTPUT_UNDONE : MSG_OUTPUT, stderr);
        img_undo_t undo = written ? img_rollback(img) : IMG_NOTHING_TO_UNDO;
        if (undo == IMG_NOT_RESTORED)
            fputs(MSG_NOT_RESTORED, stderr);
        return undone_status(undo);
    }
    if (!img_cycle_release(img))
        journal_left(img);
    if (!img_end(img) && written)
        fputs(MSG_CLOSE, stderr);
    return status;
}

// Splits the arguments after the command word into its one option and the
// rest; false on an option it does not take, or one given twice.
static bool take_arguments(const command_t *c, int argc, char **argv, command_run_t *r)
{
    r->argc = 0;
    r->option = false;
    for (int i = 2; i < argc; i++) {
        if (strncmp(argv[i], "--", 2) != 0) {
            r->argv[r->argc++] = argv[i];
        } else if (c->option != nullptr && strcmp(argv[i], c->option) == 0 && !r->option) {
            r->option = true;
        } else {
            return false;
        }
    }
    return r->argc >= c->min_args && r->argc <= c->max_args;
}

static int run_command(const command_t *c, int argc, char **argv, command_run_t *r)
{
    bool dialogue = c->usage == nullptr;
    if (dialogue) {
        r->argc = argc - 2;
        r->argv = argv + 2;
    } else if (argc - 2 > MAX_ITEMS + 2) {  // more than IMAGE, the settings and the option
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
        return EXIT_DIALOGUE;
    }
    bool reads = c->opens == OPENS_READ_ONLY || (c->option != nullptr && r->option);
    int status = open_image(r, reads ? IMG_READ_ONLY : dialogue ? IMG_UPDATE : IMG_UPDATE_BATCHED, dialogue);
    if (status != EXIT_DONE)
        return status;
    if (dialogue)
        return c->run(r);
    status = begin_verb(r);
    return end_verb(r, status == EXIT_DONE ? c->run(r) : status);
}

int oem_tool_main(int argc, char **argv)
{
    con_reset();
    memset((void *)&g_cfg, 0, sizeof g_cfg);
    const command_t *c = argc > 1 ? find_command(argv[1]) : nullptr;
    img_t img;
    img.fd = -1;
    command_run_t r;
    char *args[MAX_ITEMS + 3];
    r.img = &img;
    r.argv = args;
    int status = EXIT_DIALOGUE;
    if (c == nullptr)
        usage(argc <= 1);
    else
        status = run_command(c, argc, argv, &r);
    img_end(&img);
    bool lost = con_output_failed();
    if (!con_flush() && !lost) {
        fputs(MSG_OUTPUT, stderr);
        status = c == nullptr || c->usage == nullptr ? EXIT_DIALOGUE : EXIT_FAILED;
    }
    return status;
}
