// The menu dialogue: the family's menu, then command cycles until option 0.
#include "norvask-oem-cfg.h"

#include <cstring>

typedef struct {
    bool failed;        // a command failed and was undone
    bool not_restored;  // an undo failed
} tally_t;              // how the session's commands ended

// Tells how a cycle ended (in_command: a command was in progress) and
// notes it; true when the run ends (status -1), unless a signal ends it.
static bool cycle_ended(img_t *img, const img_outcome_t *o, ending_t e, bool in_command,
                        tally_t *out)
{
    bool stops = dialogue_ending(o, e, img->path, in_command);
    if (con_interrupted() != 0)
        end_by_signal(img, con_interrupted());
    out->failed = out->failed || e != ENDING_DONE;
    out->not_restored = out->not_restored || o->undo == IMG_NOT_RESTORED;
    return stops;
}

// The run cannot go on: a signal arrived, standard output failed or the
// input ended. The command in progress is undone and the run ends; returns
// the exit status.
static int stop_run(img_t *img, bool in_command, tally_t *out)
{
    img_outcome_t o = img_cycle_end(img, false, nullptr, nullptr);
    ending_t e = ending_of(&o);
    if (e != ENDING_SIGNAL && e != ENDING_OUTPUT)
        e = ENDING_INPUT;  // all that is left to stop a run
    cycle_ended(img, &o, e, in_command, out);
    return EXIT_DIALOGUE;
}

static bool run_must_stop(void)
{
    return con_interrupted() != 0 || con_output_failed() || con_input_ended();
}

// The command failed on the image: undone; true when the run ends.
static bool command_failed(img_t *img, tally_t *out)
{
    img_outcome_t o = img_cycle_end(img, false, nullptr, nullptr);
    return cycle_ended(img, &o, ending_of(&o), true, out);
}

// The cycle's board: family and PHY class as the start found them, then in
// family 0 the board record, read with the port mask only for the report and
// port disable, and g_cfg from it for the operations.
static void load_board(img_t *img, const menu_table_t *menu, const menu_row_t *row, char phy_type,
                       board_t *b)
{
    *b = board_t{};
    b->family = menu->family;
    b->phy = phy_type;
    b->phy_known = true;
    if (!menu->loads_config)
        return;
    bool ports = row != nullptr && row->op != nullptr && row->uses_ports &&
                 feature_offered(row->feature, menu->family, phy_type);
    board_load_cycle(img, b, ports);
    g_cfg = b->cfg;
}

// Runs command cycles until option 0 (status 0; 1 when a command failed on
// the way and was undone, 4 when an undo failed), the image is no longer the
// one locked at start-up, or the run must stop (status -1). A command either
// completes, its words synced, its output flushed and its journal removed
// before the next prompt, or is undone.
static int command_loop(img_t *img, const char *path, int chip_type, char phy_type)
{
    const menu_table_t *menu = chip_type == Mirolane ? &mr_menu_table : &vn_menu_table;
    tally_t out = {false, false};
    int num = 0;
    for (;;) {
        menu_read_t got = read_menu_number(&num);
        if (got == MENU_EOF || got == MENU_OUTPUT_FAILED)
            return stop_run(img, got == MENU_OUTPUT_FAILED, &out);
        if (got == MENU_ILLEGAL)
            continue;
        if (!img_cycle_begin(img)) {
            printf(MSG_OPEN_FAIL);
            fput_escaped(path, -1, say_begin(stderr));
            fprintf(stderr, ": %s\n", img->why);
            return EXIT_DIALOGUE;
        }
        const menu_row_t *row = got == MENU_OK ? find_row(menu, num) : nullptr;
        board_t board;
        load_board(img, menu, row, phy_type, &board);
        if (img_failure(img) != IMG_OK) {
            if (command_failed(img, &out))
                return EXIT_DIALOGUE;
            continue;
        }
        if (row == nullptr) {
            puts(menu->refusal);
            continue;
        }
        if (!feature_offered(row->feature, menu->family, phy_type)) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"  // one %c, checked by the tables test
            printf(row->feature->refusal, phy_type);
#pragma GCC diagnostic pop
            continue;
        }
        if (row->op == nullptr) {
            if (!img_end(img)) {
                printf(MSG_WRITE_FAIL);
                out.failed = true;
            }
            return out.not_restored ? EXIT_NOT_RESTORED : out.failed ? EXIT_FAILED : EXIT_DONE;
        }
        const cycle_t cycle = {img, path, &board, row->feature};
        row->op(&cycle);
        if (run_must_stop())
            return stop_run(img, true, &out);
        bool op_failed = img_failure(img) != IMG_OK;
        if (op_failed)
            if (command_failed(img, &out))
                return EXIT_DIALOGUE;
        printf("\n");
        // The command's output is out before its journal goes, so that
        // from the next prompt on a kill keeps the command. Output that
        // cannot be written undoes it.
        if (!op_failed) {
            img_outcome_t o = img_cycle_end(img, true, output_stands, nullptr);
            if (cycle_ended(img, &o, ending_of(&o), true, &out))
                return EXIT_DIALOGUE;
        }
        if (!con_flush())
            return stop_run(img, true, &out);
    }
}

// The dialogue on the image opened for update: the menu, then the loop.
int dialogue_run(command_run_t *r)
{
    int chip_type = Vantrel;
    char phy_type = PHY_INNER;
    check_chip_type(r->img, r->argv[0], &chip_type, &phy_type);
    if (img_failure(r->img) != IMG_OK) {
        printf(MSG_READ_FAIL);
        return EXIT_DIALOGUE;
    }
    return command_loop(r->img, r->argv[0], chip_type, phy_type);
}
