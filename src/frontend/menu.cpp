// The two menus and their dispatch tables.
#include "norvask-oem-cfg.h"

// The image path as the note line shows it: a control character is printed
// escaped, so that a file name cannot add lines to the transcript.
void print_path(const char *filename)
{
    for (const unsigned char *p = (const unsigned char *)filename; *p != '\0'; p++) {
        if (*p == '\n')
            fputs("\\n", stdout);
        else if (*p < 0x20 || *p == 0x7F)
            printf("\\x%02x", *p);
        else
            putchar(*p);
    }
}

static void option_display_head(const char *filename)
{
    printf("\n");
    printf("============================================================\n");
    printf("Please read User_Manual carefully before configuring!!!\n");
    printf("[Note] Modifying file : ");
    print_path(filename);
    printf("\n");
    printf("To select config option:\n");
    printf("01. Main switch of config val\n");
}

void vn_option_display(const char *filename)
{
    option_display_head(filename);
    printf("02. YT8521s LED config\n");
    printf("03. MV1512 LED config\n");
    printf("04. INNER LED config\n");
    printf("05. GPIO OEM config \n");
    printf("06. MV1512 PHY MODE config\n");
    printf("07. Show config val\n");
    printf("08. Show Menu\n");
    printf("09. Enable or Disable SMBUS ARP function\n");
    printf("10. WOL Wake IO pull down time config\n");
    printf("11. LLDP TX default switch settings\n");
    printf("12. Network port disable\n");
    printf("00. Exit\n");
}

void mr_option_display(const char *filename)
{
    option_display_head(filename);
    printf("02. INNER LED config\n");
    printf("03. Show config val\n");
    printf("04. Show Menu\n");
    printf("05. Enable or Disable SMBUS ARP function\n");
    printf("06. LLDP TX default switch settings\n");
    printf("00. Exit\n");
}

#define MV_PHYS "FCM"
#define NOT_INNER "Current phy type %c, not INNER Phy\n"

static void op_show_list(const cycle_t *c)
{
    show_cfg_simple(c->fp);
}

static void op_recover(const cycle_t *c)
{
    recover_img_oem_area(c->fp, c->addr, OEM_CFG_END_ADDR, LLDP_START_ADDR);
}

static void op_led_switch(const cycle_t *c)
{
    led_switch(c->fp, c->addr);
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

static const menu_row_t vn_rows[] = {
    {0, nullptr, 0, nullptr, nullptr},
    {1, [](const cycle_t *c) { vn_switch_all(c->fp); }, OEM_CFG_ADDR, nullptr, nullptr},
    {2, [](const cycle_t *c) { yt8521s_led_cfg(c->fp, c->addr); }, LED_CFG_ADDR, "Y",
     "Current phy type %c, not YT Phy\n"},
    {3, [](const cycle_t *c) { mv1512_led_cfg(c->fp, c->addr); }, LED_CFG_ADDR, MV_PHYS,
     "Current phy type %c, not MV Phy\n"},
    {4, op_inner_led, LED_CFG_ADDR, "I", NOT_INNER},
    {5, [](const cycle_t *c) { gpio_oem_cfg(c->fp, c->addr); }, GPIO_CFG_ADDR, nullptr, nullptr},
    {6, [](const cycle_t *c) { mv_phy_mode_cfg(c->fp, c->addr); }, PHY_MODE_CFG_ADDR, "M",
     "Current phy type %c, not MV Phy(0x52)\n"},
    {7, [](const cycle_t *c) { vn_show_cfg(c->fp, c->phy_type); }, OEM_CFG_ADDR, nullptr, nullptr},
    {8, [](const cycle_t *c) { vn_option_display(c->path); }, 0, nullptr, nullptr},
    {9, op_smbus_arp, VN_SMBUS_ARP_ADDR, nullptr, nullptr},
    {10, [](const cycle_t *c) { wol_wake_io_cfg(c->fp, c->addr); }, WOL_CFG_ADDR, nullptr, nullptr},
    {11, op_lldp, LLDP_START_ADDR, nullptr, nullptr},
    {12, [](const cycle_t *c) { network_port_disable(c->fp); }, IMG_HEADER_ADDR, nullptr, nullptr},
    {-1, op_show_list, OEM_CFG_ADDR, nullptr, nullptr},
    {-2, op_recover, OEM_CFG_ADDR, nullptr, nullptr},
};

static const menu_row_t mr_rows[] = {
    {0, nullptr, 0, nullptr, nullptr},
    {1, op_led_switch, LED_CFG_ADDR, nullptr, nullptr},
    {2, op_inner_led, LED_CFG_ADDR, "I", NOT_INNER},
    {3, [](const cycle_t *c) { mr_show_cfg(c->fp); }, OEM_CFG_ADDR, nullptr, nullptr},
    {4, [](const cycle_t *c) { mr_option_display(c->path); }, 0, nullptr, nullptr},
    {5, op_smbus_arp, MR_SMBUS_ARP_ADDR, nullptr, nullptr},
    {6, op_lldp, LLDP_START_ADDR, nullptr, nullptr},
    {-1, op_show_list, OEM_CFG_ADDR, nullptr, nullptr},
    {-2, op_recover, OEM_CFG_ADDR, nullptr, nullptr},
};

// The report shows the enabled port count and port disable changes it; no
// other command reads the header's port mask.
static const int vn_port_rows[] = {7, 12, 0};
static const int no_port_rows[] = {0};

const menu_table_t vn_menu_table = {vn_rows, sizeof vn_rows / sizeof vn_rows[0],
                                    "Illegal input, please input 0--8", true, vn_port_rows};
const menu_table_t mr_menu_table = {mr_rows, sizeof mr_rows / sizeof mr_rows[0],
                                    "Illegal input, please input 0--4", false, no_port_rows};
