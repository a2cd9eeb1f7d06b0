// Reports and maintenance: the raw listing, the OEM area reset and the
// decoded configuration of either family.
#include "norvask-oem-cfg.h"

// The OEM words and the LLDP word, one "offset : value" line each.
void print_oem_words(const uint32_t words[OEM_LIST_WORDS], uint32_t lldp)
{
    for (uint32_t i = 0; i < OEM_LIST_WORDS; i++)
        printf("0x%x : 0x%x\n", OEM_CFG_ADDR + i * IMG_WORD_SIZE, words[i]);
    printf("0x%x : 0x%x\n", LLDP_START_ADDR, lldp);
}

// The listing is printed only once every word of it could be read.
void show_cfg_simple(img_t *fp)
{
    uint32_t words[OEM_LIST_WORDS], lldp;
    if (!rd_img_words(fp, OEM_CFG_ADDR, words, OEM_LIST_WORDS) ||
        !rd_img(fp, LLDP_START_ADDR, &lldp))
        return;
    printf("\nConfiguration List:\n");
    print_oem_words(words, lldp);
    printf("\n");
}

// Erases the words from start_addr to end_addr inclusive and writes the LLDP
// default. The area is one block of the image, erased in one write.
void recover_img_oem_area(img_t *fp, uint32_t start_addr, uint32_t end_addr, uint32_t lldp_addr)
{
    static const size_t AREA_WORDS = (OEM_CFG_END_ADDR - OEM_CFG_ADDR) / IMG_WORD_SIZE + 1;
    uint32_t erased[AREA_WORDS];
    size_t n = end_addr < start_addr ? 0 : (end_addr - start_addr) / IMG_WORD_SIZE + 1;
    if (n > AREA_WORDS) {
        img_mark_failed(fp, IMG_WRITE_FAIL);  // only the OEM area is ever erased
        return;
    }
    for (size_t i = 0; i < n; i++)
        erased[i] = INVALID_ID;
    if (!wt_img_words(fp, start_addr, erased, n) || !wt_img(fp, lldp_addr, LLDP_RESET_VAL))
        return;
    printf("erase region : [0x%x, 0x%x], lldp region : 0x%x\n", start_addr, end_addr, lldp_addr);
    printf("IMG OEM region was successfully recovered to the default value.");
}

#define MSG_NOT_MODIFIED "\n[Warn]The Image has not been modified!"

// One feature of the family-0 report: enabled and unset warns, enabled shows
// the value, stored but not enabled reminds the user of option 1.
typedef struct {
    int sw;  // its switch: the enable bit, and the word of the feature it follows
    const char *unset_warning;  // NULL: an unset word is shown like a set one
    const char *reminder;
    bool (*show)(img_t *img, uint32_t word, char phy_type);  // false: a word could not be read
} feature_row_t;

static void show_inner_led(uint32_t word)
{
    printf("\nINNER PHY config val : 0x%x --> Polarity : 0x%x  LED : 0x%x\n", word,
           field_get(word, INNER_LED_POLARITY), field_get(word, INNER_LED_LED));
}

static bool show_led(img_t *img, uint32_t word, char phy_type)
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
        uint32_t word2;
        if (!rd_img(img, LED_CFG2_ADDR, &word2))
            return false;
        printf(
            "\nYT PHY config val : 0x%x 0x%x --> LED0 : 0x%x  LED1 : 0x%x  LED2 : 0x%x  LED blink : 0x%x\n",
            word, word2, field_get(word, LOW_HALF), field_get(word, HIGH_HALF),
            field_get(word2, LOW_HALF), field_get(word2, HIGH_HALF));
        break;
    }
    default:
        printf("\nphy type unknow : type is %c\n", phy_type);
        break;
    }
    return true;
}

static bool show_gpio(img_t *, uint32_t word, char)
{
    printf("\nGPIO config val: 0x%x\n", field_get(word, LOW_HALF));
    return true;
}

static bool show_phy_mode(img_t *, uint32_t word, char)
{
    printf("\nPHY MODE : port0 : 0x%x port1 : 0x%x port2 : 0x%x port3 : 0x%x\n",
           field_get(word, phy_mode_port(0)), field_get(word, phy_mode_port(1)),
           field_get(word, phy_mode_port(2)), field_get(word, phy_mode_port(3)));
    return true;
}

static void show_arp_state(bool enabled)
{
    puts(enabled ? "\nSMBUS ARP Enable!" : "\nSMBUS ARP Disable!");
}

static bool show_smbus_arp(img_t *, uint32_t word, char)
{
    show_arp_state(word & SMBUS_ARP_STATE_BIT);
    return true;
}

static bool show_wake_io(img_t *, uint32_t word, char)
{
    printf("\nWOL Wake IO pull down time : %d ms\n", (int)field_get(word, LOW_HALF));
    return true;
}

static const feature_row_t vn_features[] = {
    {S_LED, "[Warn]PHY is not set!", "\nPlease select option 1 to enable LED configuration",
     show_led},
    {S_GPIO, "\n[Warn]GPIO is not set!", "\nPlease select option 1 to enable Gpio configuration",
     show_gpio},
    {S_PHY_MODE, "\n[Warn]Marvell 88e1512 phy mode is not set!",
     "\nPlease select option 1 to enable Marvell phy mode configuration", show_phy_mode},
    {S_SMBUS_ARP, nullptr, "\nPlease select option 1 to enable SMBUS ARP configuration",
     show_smbus_arp},
    {S_WAKE_IO, "\n[Warn]WOL Wake IO pull down time is not set!",
     "\nPlease select option 1 to enable WOL Wake IO configuration", show_wake_io},
};

static uint32_t row_bit(const feature_row_t *row)
{
    return SWITCHES[row->sw].bit;
}

// The row's word in the family's report.
static bool read_row_word(img_t *img, const feature_row_t *row, int family, uint32_t *val)
{
    return rd_img(img, feature_addr(SWITCHES[row->sw].value, family), val);
}

// Enabled but unset warns, where the row has a warning.
static bool warns_unset(const feature_row_t *row, uint32_t oem, uint32_t val)
{
    return (oem & row_bit(row)) != 0 && val == INVALID_ID && row->unset_warning != nullptr;
}

// Returns false when a word could not be read; the report stops there.
static bool report_feature(img_t *img, uint32_t oem, const feature_row_t *row, int family,
                           char phy_type)
{
    uint32_t val;
    if (!read_row_word(img, row, family, &val))
        return false;
    bool enabled = (oem & row_bit(row)) != 0;
    bool set = val != INVALID_ID;
    if (warns_unset(row, oem, val))
        puts(row->unset_warning);
    else if (enabled)
        return row->show(img, val, phy_type);
    else if (set)
        puts(row->reminder);
    return true;
}

// Returns the OEM configuration word, or stops the report with a warning
// when the tool has never stamped it.
static bool read_stamped(img_t *img, uint32_t *oem)
{
    if (!rd_img(img, OEM_CFG_ADDR, oem))
        return false;
    if (oem_is_stamped(*oem))
        return true;
    puts(MSG_NOT_MODIFIED);
    return false;
}

static bool show_lldp(img_t *img)
{
    uint32_t val;
    if (!rd_img(img, LLDP_START_ADDR, &val))
        return false;
    if (val != INVALID_ID)
        printf("\nLLDP default configuration set to : 0x%x \n", val);
    return true;
}

void vn_show_cfg(img_t *fp, char phy_type)
{
    uint32_t oem;
    if (!read_stamped(fp, &oem))
        return;
    for (const feature_row_t &row : vn_features)
        if (!report_feature(fp, oem, &row, Vantrel, phy_type))
            return;
    if (!show_lldp(fp))
        return;
    if (g_cfg.valid_port != g_cfg.port_num)
        printf("\nCurrent port number is : %d\n", g_cfg.valid_port);
    show_cfg_simple(fp);
}

static bool mr_show_led(img_t *, uint32_t word, char)
{
    show_inner_led(word);
    return true;
}

static const feature_row_t mr_led = {S_LED, "\n[Warn]PHY is not set",
                                     "\nPlease select option 1 to enable LED configuration",
                                     mr_show_led};

void mr_show_cfg(img_t *fp)
{
    uint32_t oem;
    if (!read_stamped(fp, &oem))
        return;
    uint32_t arp;
    if (!report_feature(fp, oem, &mr_led, Mirolane, PHY_INNER) ||
        !rd_img(fp, feature_addr(&FEATURES[F_SMBUS_ARP], Mirolane), &arp))
        return;
    // Family 1 shows the ARP word only when it holds one of its two states.
    if (arp == SMBUS_ARP_ON || arp == SMBUS_ARP_OFF)
        show_arp_state(arp == SMBUS_ARP_ON);
    if (show_lldp(fp))
        show_cfg_simple(fp);
}

// The report's warnings, as it prints them, for the scripted show: up to max
// texts in *texts; returns their number, or -1 when a word could not be read.
int report_warnings(img_t *img, int chip, const char **texts, int max)
{
    uint32_t oem;
    if (!rd_img(img, OEM_CFG_ADDR, &oem))
        return -1;
    int n = 0;
    if (!oem_is_stamped(oem)) {
        if (n < max)
            texts[n++] = MSG_NOT_MODIFIED;
        return n;
    }
    const feature_row_t *rows = chip == Mirolane ? &mr_led : vn_features;
    size_t nrows = chip == Mirolane ? 1 : sizeof vn_features / sizeof vn_features[0];
    for (size_t i = 0; i < nrows; i++) {
        uint32_t val;
        if (!read_row_word(img, &rows[i], chip, &val))
            return -1;
        if (warns_unset(&rows[i], oem, val) && n < max)
            texts[n++] = rows[i].unset_warning;
    }
    return n;
}
