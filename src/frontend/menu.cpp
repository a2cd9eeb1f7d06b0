// The dispatch tables of the two menus. A row that edits a feature runs its
// editor, which takes the word from the feature's row; the loop takes the
// gate (feature_offered) from it.
#include "norvask-oem-cfg.h"

const menu_row_t *find_row(const menu_table_t *menu, int num)
{
    for (size_t i = 0; i < menu->len; i++)
        if (menu->rows[i].num == num)
            return &menu->rows[i];
    return nullptr;
}

static void op_show_list(const cycle_t *c)
{
    show_cfg_simple(c->img);
}

static void op_recover(const cycle_t *c)
{
    recover_img_oem_area(c->img, OEM_CFG_ADDR, OEM_CFG_END_ADDR, LLDP_START_ADDR);
}

static void op_switches(const cycle_t *c)
{
    option_1_switches(c->img, c->board->family);
}

static void op_edit(const cycle_t *c)
{
    feature_edit(c->img, c->feature, c->board->family);
}

#define FEATURE(id) &FEATURES[id]

static const menu_row_t vn_rows[] = {
    {0, nullptr, nullptr, false},
    {1, op_switches, nullptr, false},
    {2, op_edit, FEATURE(F_YT_LED), false},
    {3, op_edit, FEATURE(F_MV_LED), false},
    {4, op_edit, FEATURE(F_INNER_LED), false},
    {5, op_edit, FEATURE(F_GPIO), false},
    {6, op_edit, FEATURE(F_PHY_MODE), false},
    {7, [](const cycle_t *c) { vn_show_cfg(c->img, c->board->phy); }, nullptr, true},
    {8, [](const cycle_t *c) { vn_option_display(c->path); }, nullptr, false},
    {9, op_edit, FEATURE(F_SMBUS_ARP), false},
    {10, op_edit, FEATURE(F_WAKE_IO), false},
    {11, op_edit, FEATURE(F_LLDP), false},
    {12, op_edit, FEATURE(F_PORTS), true},
    {-1, op_show_list, nullptr, false},
    {-2, op_recover, nullptr, false},
};

static const menu_row_t mr_rows[] = {
    {0, nullptr, nullptr, false},
    {1, op_switches, nullptr, false},
    {2, op_edit, FEATURE(F_INNER_LED), false},
    {3, [](const cycle_t *c) { mr_show_cfg(c->img); }, nullptr, false},
    {4, [](const cycle_t *c) { mr_option_display(c->path); }, nullptr, false},
    {5, op_edit, FEATURE(F_SMBUS_ARP), false},
    {6, op_edit, FEATURE(F_LLDP), false},
    {-1, op_show_list, nullptr, false},
    {-2, op_recover, nullptr, false},
};
const menu_table_t vn_menu_table = {.rows = vn_rows,
                                    .len = sizeof vn_rows / sizeof vn_rows[0],
                                    .refusal = "Illegal input, please input 0--8",
                                    .loads_config = true,
                                    .family = Vantrel};
const menu_table_t mr_menu_table = {.rows = mr_rows,
                                    .len = sizeof mr_rows / sizeof mr_rows[0],
                                    .refusal = "Illegal input, please input 0--4",
                                    .loads_config = false,
                                    .family = Mirolane};
