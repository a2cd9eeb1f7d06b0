// Start-up and the command loop.
#include "norvask-oem-cfg.h"

#include <cstring>

#define MSG_INPUT_ENDED "\n[Error] Input ended, nothing more is written!\n"

int parse_cmd(const char *argv)
{
    if (strcmp(argv, "-f") == 0 || strcmp(argv, "-F") == 0)
        return 0;
    if (strcmp(argv, "-v") == 0 || strcmp(argv, "--version") == 0)
        return 1;
    return -1;
}

static const menu_row_t *find_row(const menu_table_t *menu, int num)
{
    for (size_t i = 0; i < menu->len; i++)
        if (menu->rows[i].num == num)
            return &menu->rows[i];
    return nullptr;
}

static bool gate_passes(const menu_row_t *row, char phy_type)
{
    return row->phy_allowed == nullptr || (phy_type != '\0' && strchr(row->phy_allowed, phy_type));
}

// Runs command cycles until option 0 (status 0), the image cannot be
// reopened or standard input ends (status -1). Each cycle opens its own
// stream and closes it on every way out, so a finished command is in the
// file before the next prompt.
static int command_loop(const char *path, int chip_type, char phy_type)
{
    const menu_table_t *menu = chip_type == Mirolane ? &mr_menu_table : &vn_menu_table;
    int num = 0;
    for (;;) {
        FILE *fp = img_open(path);
        if (fp == nullptr) {
            printf(MSG_OPEN_FAIL);
            return -1;
        }
        menu_read_t got = read_menu_number(&num);
        if (got == MENU_EOF) {
            img_close(fp);
            printf(MSG_INPUT_ENDED);
            return -1;
        }
        if (got == MENU_ILLEGAL) {
            img_close(fp);
            continue;
        }
        if (menu->loads_config)
            fw_load_config(&g_cfg, fp);
        const menu_row_t *row = got == MENU_OK ? find_row(menu, num) : nullptr;
        if (row == nullptr || !gate_passes(row, phy_type)) {
            if (row == nullptr)
                puts(menu->refusal);
            else
                printf(row->refusal, phy_type);
            img_close(fp);
            continue;
        }
        if (row->op == nullptr) {
            img_close(fp);
            return 0;
        }
        const cycle_t cycle = {fp, path, phy_type, row->addr};
        row->op(&cycle);
        if (con_input_ended()) {
            img_close(fp);
            printf(MSG_INPUT_ENDED);
            return -1;
        }
        printf("\n");
        if (!img_close(fp))
            printf(MSG_WRITE_FAIL);
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

// Opens and locks the image and checks that it is long enough to hold
// every word the tool uses.
static FILE *open_image(const char *path)
{
    FILE *fp = img_open(path);
    if (fp == nullptr) {
        printf(MSG_OPEN_FAIL);
        return nullptr;
    }
    if (!img_lock(path)) {
        img_close(fp);
        printf(MSG_OPEN_FAIL);
        return nullptr;
    }
    long size = img_size(fp);
    if (size < (long)IMG_MIN_SIZE) {
        img_close(fp);
        img_unlock();
        printf("[Error] Image too short: %ld bytes found, at least %u (0x%X) bytes needed!\n", size,
               IMG_MIN_SIZE, IMG_MIN_SIZE);
        return nullptr;
    }
    return fp;
}

int oem_tool_main(int argc, char **argv)
{
    con_reset();
    memset((void *)&g_cfg, 0, sizeof g_cfg);
    if (argc <= 1) {
        usage(true);
        return -1;
    }
    FILE *fp = nullptr;
    switch (parse_cmd(argv[1])) {
    case 0:
        if (argc > 2)
            fp = open_image(argv[2]);
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
    if (fp == nullptr) {
        fflush(stdout);
        return -1;
    }
    int chip_type = Vantrel;
    char phy_type = PHY_INNER;
    check_chip_type(fp, argv[2], &chip_type, &phy_type);
    img_close(fp);
    int status = command_loop(argv[2], chip_type, phy_type);
    img_unlock();
    fflush(stdout);
    return status;
}
