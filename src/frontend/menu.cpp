// The dispatch tables of the two menus. A row that edits a feature takes
// its word and its gate (feature_offered) from the feature's row.
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
    show_cfg_simple(c->fp);
}

static void op_recover(const cycle_t *c)
{
    recover_img_oem_area(c->fp, OEM_CFG_ADDR, OEM_CFG_END_ADDR, LLDP_START_ADDR);
}

static void op_switches(const cycle_t *c)
{
    option_1_switches(c->fp, c->family);
}

static void op_inner_led(const cycle_t *c)
{
    inner_led_cfg(c->fp, c->addr);
}

static void op_smbus_arp(const cycle_t *c)
{
    smbus_arp_cfg(c->fp, c->addr);
}

static void op_lldp(const cycle_t *c)
{
    lldp_tx_cfg(c->fp, c->addr);
}

#define FEATURE(id) &FEATURES[id]

static const menu_row_t vn_rows[] = {
    {0, nullptr, nullptr, false},
    {1, op_switches, nullptr, false},
    {2, [](const cycle_t *c) { yt8521s_led_cfg(c->fp, c->addr); }, FEATURE(F_YT_LED), false},
    {3, [](const cycle_t *c) { mv1512_led_cfg(c->fp, c->addr); }, FEATURE(F_MV_LED), false},
    {4, op_inner_led, FEATURE(F_INNER_LED), false},
    {5, [](const cycle_t *c) { gpio_oem_cfg(c->fp, c->addr); }, FEATURE(F_GPIO), false},
    {6, [](const cycle_t *c) { mv_phy_mode_cfg(c->fp, c->addr); }, FEATURE(F_PHY_MODE), false},
    {7, [](const cycle_t *c) { vn_show_cfg(c->fp, c->phy_type); }, nullptr, true},
    {8, [](const cycle_t *c) { vn_option_display(c->path); }, nullptr, false},
    {9, op_smbus_arp, FEATURE(F_SMBUS_ARP), false},
    {10, [](const cycle_t *c) { wol_wake_io_cfg(c->fp, c->addr); }, FEATURE(F_WAKE_IO), false},
    {11, op_lldp, FEATURE(F_LLDP), false},
    {12, [](const cycle_t *c) { network_port_disable(c->fp); }, FEATURE(F_PORTS), true},
    {-1, op_show_list, nullptr, false},
    {-2, op_recover, nullptr, false},
};

static const menu_row_t mr_rows[] = {
    {0, nullptr, nullptr, false},
    {1, op_switches, nullptr, false},
    {2, op_inner_led, FEATURE(F_INNER_LED), false},
    {3, [](const cycle_t *c) { mr_show_cfg(c->fp); }, nullptr, false},
    {4, [](const cycle_t *c) { mr_option_display(c->path); }, nullptr, false},
    {5, op_smbus_arp, FEATURE(F_SMBUS_ARP), false},
    {6, op_lldp, FEATURE(F_LLDP), false},
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
