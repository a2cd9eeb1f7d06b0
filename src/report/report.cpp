// Reports and maintenance: the raw listing, the OEM area reset and the
// decoded configuration of either family.
#include "norvask-oem-cfg.h"

#include <vector>

void show_cfg_simple(FILE *fp)
{
    printf("\nConfiguration List:\n");
    for (uint32_t i = 0; i < OEM_LIST_WORDS; i++) {
        uint32_t addr = OEM_CFG_ADDR + i * IMG_WORD_SIZE;
        printf("0x%x : 0x%x\n", addr, rd_word(fp, addr));
    }
    printf("0x%x : 0x%x\n", LLDP_START_ADDR, rd_word(fp, LLDP_START_ADDR));
    printf("\n");
}

// Erases the words from start_addr to end_addr inclusive and writes the LLDP
// default; if any write fails, every word goes back to what it was.
void recover_img_oem_area(FILE *fp, uint32_t start_addr, uint32_t end_addr, uint32_t lldp_addr)
{
    size_t n = end_addr < start_addr ? 0 : (end_addr - start_addr) / IMG_WORD_SIZE + 1;
    std::vector<uint32_t> erased(n, INVALID_ID), old(n);
    rd_img_words(fp, start_addr, old.data(), n);
    uint32_t old_lldp = rd_word(fp, lldp_addr);
    if (!wt_img_words(fp, start_addr, erased.data(), n) || !wt_img(fp, lldp_addr, LLDP_RESET_VAL)) {
        restore_img_words(fp, start_addr, old.data(), n);
        restore_img_words(fp, lldp_addr, &old_lldp, 1);
        printf(MSG_WRITE_FAIL);
        return;
    }
    printf("erase region : [0x%x, 0x%x], lldp region : 0x%x\n", start_addr, end_addr, lldp_addr);
    printf("IMG OEM region was successfully recovered to the default value.");
}

// One feature of the family-0 report: enabled and unset warns, enabled shows
// the value, stored but not enabled reminds the user of option 1.
typedef struct {
    uint32_t bit;
    uint32_t addr;
    const char *unset_warning;  // NULL: an unset word is shown like a set one
    const char *reminder;
    void (*show)(FILE *fp, uint32_t word, char phy_type);
} feature_row_t;

static void show_inner_led(uint32_t word)
{
    printf("\nINNER PHY config val : 0x%x --> Polarity : 0x%x  LED : 0x%x\n", word,
           field_get(word, INNER_LED_POLARITY), field_get(word, INNER_LED_LED));
}

static void show_led(FILE *fp, uint32_t word, char phy_type)
{
    switch (phy_type) {
    case PHY_INNER:
        show_inner_led(word);
        break;
    case PHY_MV_FIBER:
    case PHY_MV_COPPER:
    case PHY_MV:
        printf("\nMavell PHY config val: 0x%x --> Polarity : 0x%x  LED : 0x%x  Blink_freq : 0x%x\n",
               word, field_get(word, MV_LED_POLARITY_WIDE), field_get(word, MV_LED_LED_WIDE),
               field_get(word, MV_LED_BLINK));
        break;
    case PHY_YT: {
        uint32_t word2 = rd_word(fp, LED_CFG2_ADDR);
        printf("\nYT PHY config val : 0x%x 0x%x --> LED0 : 0x%x  LED1 : 0x%x  LED2 : 0x%x  LED blink : "
               "0x%x\n",
               word, word2, field_get(word, LOW_HALF), field_get(word, HIGH_HALF),
               field_get(word2, LOW_HALF), field_get(word2, HIGH_HALF));
        break;
    }
    default:
        printf("\nphy type unknow : type is %c\n", phy_type);
        break;
    }
}

static void show_gpio(FILE *, uint32_t word, char)
{
    printf("\nGPIO config val: 0x%x\n", field_get(word, LOW_HALF));
}

static void show_phy_mode(FILE *, uint32_t word, char)
{
    printf("\nPHY MODE : port0 : 0x%x port1 : 0x%x port2 : 0x%x port3 : 0x%x\n",
           field_get(word, phy_mode_port(0)), field_get(word, phy_mode_port(1)),
           field_get(word, phy_mode_port(2)), field_get(word, phy_mode_port(3)));
}

static void show_arp_state(bool enabled)
{
    puts(enabled ? "\nSMBUS ARP Enable!" : "\nSMBUS ARP Disable!");
}

static void show_smbus_arp(FILE *, uint32_t word, char)
{
    show_arp_state(word & SMBUS_ARP_STATE_BIT);
}

static void show_wake_io(FILE *, uint32_t word, char)
{
    printf("\nWOL Wake IO pull down time : %d ms\n", (int)field_get(word, LOW_HALF));
}

static const feature_row_t vn_features[] = {
    {LED_OEM_EN, LED_CFG_ADDR, "[Warn]PHY is not set!",
     "\nPlease select option 1 to enable LED configuration", show_led},
    {GPIO_OEM_EN, GPIO_CFG_ADDR, "\n[Warn]GPIO is not set!",
     "\nPlease select option 1 to enable Gpio configuration", show_gpio},
    {Marvell_PHY_MODE_OEM_EN, PHY_MODE_CFG_ADDR, "\n[Warn]Marvell 88e1512 phy mode is not set!",
     "\nPlease select option 1 to enable Marvell phy mode configuration", show_phy_mode},
    {SMBUS_ARP_OEM_EN, VN_SMBUS_ARP_ADDR, nullptr,
     "\nPlease select option 1 to enable SMBUS ARP configuration", show_smbus_arp},
    {WAKE_IO_OEM_EN, WOL_CFG_ADDR, "\n[Warn]WOL Wake IO pull down time is not set!",
     "\nPlease select option 1 to enable WOL Wake IO configuration", show_wake_io},
};

static void report_feature(FILE *fp, uint32_t oem, const feature_row_t *row, char phy_type)
{
    uint32_t val = rd_word(fp, row->addr);
    bool enabled = (oem & row->bit) != 0;
    bool set = val != INVALID_ID;
    if (enabled && !set && row->unset_warning != nullptr)
        puts(row->unset_warning);
    else if (enabled)
        row->show(fp, val, phy_type);
    else if (set)
        puts(row->reminder);
}

// Returns the OEM configuration word, or stops the report with a warning
// when the tool has never stamped it.
static bool read_stamped(FILE *fp, uint32_t *oem)
{
    *oem = rd_word(fp, OEM_CFG_ADDR);
    if ((*oem & OEM_SIG_FIELD) == MAGIC_MASK)
        return true;
    puts("\n[Warn]The Image has not been modified!");
    return false;
}

static void show_lldp(FILE *fp)
{
    uint32_t val = rd_word(fp, LLDP_START_ADDR);
    if (val != INVALID_ID)
        printf("\nLLDP default configuration set to : 0x%x \n", val);
}

void vn_show_cfg(FILE *fp, char phy_type)
{
    uint32_t oem;
    if (!read_stamped(fp, &oem))
        return;
    for (const feature_row_t &row : vn_features)
        report_feature(fp, oem, &row, phy_type);
    show_lldp(fp);
    if (g_cfg.valid_port != g_cfg.port_num)
        printf("\nCurrent port number is : %d\n", g_cfg.valid_port);
    show_cfg_simple(fp);
}

static void mr_show_led(FILE *, uint32_t word, char)
{
    show_inner_led(word);
}

void mr_show_cfg(FILE *fp)
{
    static const feature_row_t mr_led = {LED_OEM_EN, LED_CFG_ADDR, "\n[Warn]PHY is not set",
                                         "\nPlease select option 1 to enable LED configuration",
                                         mr_show_led};
    uint32_t oem;
    if (!read_stamped(fp, &oem))
        return;
    report_feature(fp, oem, &mr_led, PHY_INNER);
    // Family 1 shows the ARP word only when it holds one of its two states.
    uint32_t arp = rd_word(fp, MR_SMBUS_ARP_ADDR);
    if (arp == SMBUS_ARP_ON || arp == SMBUS_ARP_OFF)
        show_arp_state(arp == SMBUS_ARP_ON);
    show_lldp(fp);
    show_cfg_simple(fp);
}
