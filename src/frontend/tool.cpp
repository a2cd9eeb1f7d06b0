// Start-up and the command loop.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#define MSG_IN_USE "[Error] The image is in use by another process.\n"
#define MSG_MENU_ENDED "\n[Error] Input ended!\n"
#define MSG_COMMAND_ENDED "\n[Error] Input ended, the unfinished command was undone!\n"
#define MSG_MENU_INTERRUPTED "\n[Error] Interrupted!\n"
#define MSG_COMMAND_INTERRUPTED "\n[Error] Interrupted, the unfinished command was undone!\n"
#define MSG_OUTPUT_FAIL "norvask_oem_tool: standard output cannot be written, the unfinished command was undone\n"
#define MSG_STDOUT_CLOSED "norvask_oem_tool: standard output is closed\n"

// Signals that end the tool; a command they cut short is undone first.
static const int TERMINATING[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int parse_cmd(const char *argv)
{
    if (strcmp(argv, "-f") == 0 || strcmp(argv, "-F") == 0)
        return 0;
    if (strcmp(argv, "-v") == 0 || strcmp(argv, "--version") == 0)
        return 1;
    return -1;
}

const menu_row_t *find_row(const menu_table_t *menu, int num)
{
    for (size_t i = 0; i < menu->len; i++)
        if (menu->rows[i].num == num)
            return &menu->rows[i];
    return nullptr;
}

bool gate_passes(const menu_row_t *row, char phy_type)
{
    return row->phy_allowed == nullptr || (phy_type != '\0' && strchr(row->phy_allowed, phy_type));
}

// Undoes the command of the current cycle with the terminating signals held
// off, so that the putting back is never cut short itself.
img_undo_t undo_command(img_t *img)
{
    sigset_t held, old;
    sigemptyset(&held);
    for (int sig : TERMINATING)
        sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &old);
    img_undo_t undo = img_rollback(img);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return undo;
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

// The run cannot go on: a signal arrived, standard output failed or the
// input ended. The command in progress is undone and the run ends; returns
// the exit status.
static int stop_run(img_t *img, bool in_command)
{
    img_undo_t undo = undo_command(img);
    bool undone = in_command && undo != IMG_NOT_RESTORED;
    // A signal comes first: it may be what cut a write to standard output short.
    int sig = con_interrupted();
    if (sig == 0 && con_output_failed()) {
        fputs(MSG_OUTPUT_FAIL, stderr);
        if (undo == IMG_NOT_RESTORED)
            fputs(MSG_NOT_RESTORED, stderr);
        return -1;
    }
    if (sig != 0)
        printf(undone ? MSG_COMMAND_INTERRUPTED : MSG_MENU_INTERRUPTED);
    else
        printf(undone ? MSG_COMMAND_ENDED : MSG_MENU_ENDED);
    if (undo == IMG_NOT_RESTORED)
        printf(MSG_NOT_RESTORED);
    if (sig != 0)
        end_by_signal(img, sig);
    return -1;
}

static bool run_must_stop(void)
{
    return con_interrupted() != 0 || con_output_failed() || con_input_ended();
}

// Only a command that shows or changes the port count reads the port mask.
static bool uses_port_count(const menu_table_t *menu, int num)
{
    for (const int *n = menu->port_rows; *n != 0; n++)
        if (*n == num)
            return true;
    return false;
}

// A command that failed on the image: its cause (a failed verification has
// printed its own), then the undo.
void report_failure(img_t *img, FILE *to)
{
    img_fail_t why = img_failure(img);
    if (why == IMG_READ_FAIL)
        fputs(MSG_READ_FAIL, to);
    else if (why == IMG_WRITE_FAIL)
        fputs(MSG_WRITE_FAIL, to);
    fputs(undo_command(img) == IMG_NOT_RESTORED ? MSG_NOT_RESTORED : MSG_UNDONE, to);
}

// Runs command cycles until option 0 (status 0, or 1 when a command failed
// on the way), the image is no longer the one locked at start-up, or the
// run must stop (status -1). A command either completes, its words synced
// and its output written, or is undone; its undo record is kept until the
// next prompt has carried its output out.
static int command_loop(img_t *img, const char *path, int chip_type, char phy_type)
{
    const menu_table_t *menu = chip_type == Mirolane ? &mr_menu_table : &vn_menu_table;
    bool any_failed = false;
    int num = 0;
    for (;;) {
        menu_read_t got = read_menu_number(&num);
        if (got != MENU_OUTPUT_FAILED)
            img_cycle_release(img);  // the last command's output is out
        if (got == MENU_EOF || got == MENU_OUTPUT_FAILED)
            return stop_run(img, got == MENU_OUTPUT_FAILED);
        if (got == MENU_ILLEGAL)
            continue;
        if (!img_cycle_begin(img)) {
            printf(MSG_OPEN_FAIL);
            return -1;
        }
        const menu_row_t *row = got == MENU_OK ? find_row(menu, num) : nullptr;
        if (menu->loads_config) {
            bool ports = row != nullptr && row->op != nullptr && gate_passes(row, phy_type) &&
                         uses_port_count(menu, num);
            (ports ? fw_load_config : fw_load_board_id)(&g_cfg, img);
        }
        if (img_failure(img) != IMG_OK) {
            report_failure(img, stdout);
            any_failed = true;
            continue;
        }
        if (row == nullptr) {
            puts(menu->refusal);
            continue;
        }
        if (!gate_passes(row, phy_type)) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"  // one %c, checked by the tables test
            printf(row->refusal, phy_type);
#pragma GCC diagnostic pop
            continue;
        }
        if (row->op == nullptr) {
            if (!img_end(img)) {
                printf(MSG_WRITE_FAIL);
                any_failed = true;
            }
            return any_failed ? 1 : 0;
        }
        const cycle_t cycle = {img, path, phy_type, row->addr};
        row->op(&cycle);
        if (run_must_stop())
            return stop_run(img, true);
        bool op_failed = img_failure(img) != IMG_OK;
        if (op_failed)
            report_failure(img, stdout);
        printf("\n");
        // The undo forgets the cycle's failure: it is noted before.
        bool sync_failed = !op_failed && !img_cycle_sync(img);
        if (sync_failed)
            report_failure(img, stdout);
        any_failed = any_failed || op_failed || sync_failed;
    }
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

static bool standard_fds_open(void);

// Opens and locks the image and checks that it is long enough to hold
// every word the tool uses; a refusal is printed to msg.
bool open_image(img_t *img, const char *path, FILE *msg)
{
    long size = 0;
    switch (img_start(img, path, &size)) {
    case IMG_STARTED:
        return true;
    case IMG_ON_STD_FD:
        return standard_fds_open() && open_image(img, path, msg);
    case IMG_IN_USE:
        fprintf(msg, MSG_OPEN_FAIL MSG_IN_USE);
        return false;
    case IMG_TOO_SHORT:
        fprintf(msg, "[Error] Image too short: %ld bytes found, at least %u (0x%X) bytes needed!\n", size,
                IMG_MIN_SIZE, IMG_MIN_SIZE);
        return false;
    default:
        fprintf(msg, MSG_OPEN_FAIL);
        return false;
    }
}

static void on_terminating_signal(int sig)
{
    con_note_signal(sig);
}

// The image must never keep descriptor 0, 1 or 2 (the menu would be written
// into it, or its bytes read as answers). Opened on the lowest free
// descriptor, it takes one only when one is closed (img_start then closes it
// again, untouched); so the closed ones are opened on /dev/null here, and a
// closed standard output ends the run at once. Returns false then.
static bool standard_fds_open(void)
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
    for (int sig : TERMINATING)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : TERMINATING) {
        struct sigaction old;
        // A signal ignored by whoever started the tool (a background job)
        // stays ignored.
        if (sigaction(sig, &sa, &old) == 0 && old.sa_handler == SIG_IGN)
            sigaction(sig, &old, nullptr);
    }
    return true;
}

int oem_tool_main(int argc, char **argv)
{
    con_reset();
    memset((void *)&g_cfg, 0, sizeof g_cfg);
    if (argc > 1 && verb_word(argv[1]))
        return verb_main(argc, argv);
    if (argc <= 1) {
        usage(true);
        con_flush();
        return -1;
    }
    static img_t img;
    bool opened = false;
    switch (parse_cmd(argv[1])) {
    case 0:
        if (argc > 2)
            opened = open_image(&img, argv[2], stdout);
        else
            printf("    -f/-F                 To select an Image File\n");
        break;
    case 1:
        printf("norvask_oem_tool  version : %d.%d.%d\n", OEM_VERSION_MAIN, OEM_VERSION_SUB,
               OEM_VERSION_UPDATE);
        break;
    default:
        usage(false);
        break;
    }
    if (!opened) {
        con_flush();
        return -1;
    }
    int chip_type = Vantrel;
    char phy_type = PHY_INNER;
    check_chip_type(&img, argv[2], &chip_type, &phy_type);
    int status;
    if (img_failure(&img) != IMG_OK) {
        printf(MSG_READ_FAIL);
        status = -1;
    } else {
        status = command_loop(&img, argv[2], chip_type, phy_type);
    }
    img_end(&img);
    con_flush();
    return status;
}
