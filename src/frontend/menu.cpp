// The dispatch tables of the two menus: each option's number and label once.
// A row that edits a feature runs the feature's editor on its word; the loop
// takes the gate (feature_offered) from it, --help the options that run it.
#include "norvask-oem-cfg.h"

#include <cstring>
#include <initializer_list>

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
    c->feature->edit(c->img, feature_addr(c->feature, c->board->family));
}

#define FEATURE(id) &FEATURES[id]
// The rows both menus share: options 1 and 0, listed first and last, and the
// two unlisted ones.
constexpr menu_row_t SWITCHES_ROW = {1, "Main switch of config val", op_switches};
constexpr menu_row_t EXIT_ROW = {0, "Exit", nullptr};
constexpr menu_row_t LIST_ROW = {-1, nullptr, op_show_list};
constexpr menu_row_t RECOVER_ROW = {-2, nullptr, op_recover};

static const menu_row_t vn_rows[] = {
    SWITCHES_ROW,
    {2, "YT8521s LED config", op_edit, FEATURE(F_YT_LED)},
    {3, "MV1512 LED config", op_edit, FEATURE(F_MV_LED)},
    {4, "INNER LED config", op_edit, FEATURE(F_INNER_LED)},
    {5, "GPIO OEM config ", op_edit, FEATURE(F_GPIO)},
    {6, "MV1512 PHY MODE config", op_edit, FEATURE(F_PHY_MODE)},
    {7, "Show config val", [](const cycle_t *c) { vn_show_cfg(c->img, c->board->phy); }, nullptr,
     true},
    {8, "Show Menu", [](const cycle_t *c) { vn_option_display(c->path); }},
    {9, "Enable or Disable SMBUS ARP function", op_edit, FEATURE(F_SMBUS_ARP)},
    {10, "WOL Wake IO pull down time config", op_edit, FEATURE(F_WAKE_IO)},
    {11, "LLDP TX default switch settings", op_edit, FEATURE(F_LLDP)},
    {12, "Network port disable", op_edit, FEATURE(F_PORTS), true},
    EXIT_ROW,
    LIST_ROW,
    RECOVER_ROW,
};

static const menu_row_t mr_rows[] = {
    SWITCHES_ROW,
    {2, "INNER LED config", op_edit, FEATURE(F_INNER_LED)},
    {3, "Show config val", [](const cycle_t *c) { mr_show_cfg(c->img); }},
    {4, "Show Menu", [](const cycle_t *c) { mr_option_display(c->path); }},
    {5, "Enable or Disable SMBUS ARP function", op_edit, FEATURE(F_SMBUS_ARP)},
    {6, "LLDP TX default switch settings", op_edit, FEATURE(F_LLDP)},
    EXIT_ROW,
    LIST_ROW,
    RECOVER_ROW,
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

// A setting's help, the @ of its row replaced by the options that run it:
// option 1 for a switch it asks, else its feature's editor (another family's
// only where its number differs: "option 4; family 1 option 2").
void print_setting_help(const setting_t *s, FILE *to)
{
    const switch_row_t *sw = s->sw;
    const char *help = sw != nullptr ? sw->help : s->feature->help;
    size_t at = strcspn(help, "@");
    fwrite(help, 1, at, to);
    int shown = 0;
    for (const menu_table_t *m : {&vn_menu_table, &mr_menu_table})
        for (const menu_row_t *r = m->rows; r < m->rows + m->len; r++) {
            bool runs = sw != nullptr && (sw->option_1 & FAMILY_BIT(m->family)) != 0
                            ? r->op == op_switches
                            : r->op == op_edit && r->feature == (sw ? sw->value : s->feature);
            if (!runs || r->num == shown)
                continue;
            fputs(shown != 0 ? "; " : "", to);
            if (m->family != Vantrel)
                fprintf(to, "family %d ", m->family);
            fprintf(to, "option %d", shown = r->num);
        }
    fprintf(to, "%s\n", help + at + (help[at] != '\0'));
}
