// The OEM features and their switches: one row each, read by the menus,
// option 1, the reports and the scripted verbs.
#include "norvask-oem-cfg.h"

#include <climits>
#include <cstring>

#define MSG_DONE        "\nConfiguration completed successfully\n"
#define MSG_DONE_FIELDS "\nConfiguration completed successfully :\n"
#define NOT_INNER       "Current phy type %c, not INNER Phy\n"

static void confirm_gpio(uint32_t val)
{
    printf(MSG_DONE "    GPIO : 0x%x\n", val);
}

static void confirm_phy_mode(uint32_t val)
{
    printf(MSG_DONE "PHY MODE : port0 : 0x%x port1 : 0x%x\n           port2 : 0x%x port3 : 0x%x\n",
           field_get(val, phy_mode_port(0)), field_get(val, phy_mode_port(1)),
           field_get(val, phy_mode_port(2)), field_get(val, phy_mode_port(3)));
}

static void confirm_mv_led(uint32_t val)
{
    printf(MSG_DONE_FIELDS "    Polarity : 0x%x  LED : 0x%x  Blink_freq : 0x%x\n",
           field_get(val, MV_LED_POLARITY), field_get(val, MV_LED_LED),
           field_get(val, MV_LED_BLINK));
}

static void confirm_inner_led(uint32_t val)
{
    printf(MSG_DONE_FIELDS "    Polarity : 0x%x  LED : 0x%x\n", field_get(val, INNER_LED_POLARITY),
           field_get(val, INNER_LED_LED));
}

static void confirm_wake_io(uint32_t val)
{
    printf("\nConfiguration completed successfully, WOL Wake Io pull down time : %d ms\n",
           (int)val);
}

static void confirm_lldp(uint32_t val)
{
    printf("\nConfiguration completed successfully, LLDP TX config : 0x%x\n", val);
}

#define FAMILY_0 FAMILY_BIT(Vantrel)

// Each YT answer keeps 16 bits, whichever half of its word it goes to. The
// port count's range is the board's (1 to its port count); the dialogue asks
// it as the ports to disable, in hex.
const feature_t FEATURES[NFEATURES] = {
    {.names = {"yt-led0", "yt-led1", "yt-led2", "yt-blink"},
     .prompts = {"Please input config val of YT Phy LED0 :",
                 "Please input config val of YT Phy LED1 :",
                 "Please input config val of YT Phy LED2 :",
                 "Please input config val of YT Phy LED blink cfg :"},
     .nparts = YT_PARTS,
     .kind = FEAT_YT,
     .families = FAMILY_0,
     .phys = "Y",
     .refusal = "Current phy type %c, not YT Phy\n",
     .addr = {LED_CFG_ADDR, 0},
     .base = BASE_HEX,
     .min = 0,
     .max = INT_MAX,
     .store_mask = HALF_WORD_FIELD,
     .sw = &SWITCHES[S_LED],
     .edit = yt8521s_led_cfg,
     .syntax = "HEX",
     .help = "family 0 class Y (@); a half not given keeps its value"},
    {.names = {"led"},
     .prompts = {"Please input config val of MV Phy LED :"},
     .nparts = 1,
     .kind = FEAT_WORD,
     .families = FAMILY_0,
     .phys = "FCM",
     .refusal = "Current phy type %c, not MV Phy\n",
     .addr = {LED_CFG_ADDR, 0},
     .base = BASE_HEX,
     .min = 0,
     .max = INT_MAX,
     .store_mask = MV_LED_STORE_MASK,
     .confirm = confirm_mv_led,
     .sw = &SWITCHES[S_LED],
     .edit = mv1512_led_cfg,
     .syntax = "HEX",
     .help = "family 0 classes F, C, M (@)"},
    {.names = {"led"},
     .prompts = {"Please input config val of Inner LED :"},
     .nparts = 1,
     .kind = FEAT_WORD,
     .families = BOTH_FAMILIES,
     .phys = "I",
     .refusal = NOT_INNER,
     .addr = {LED_CFG_ADDR, LED_CFG_ADDR},
     .base = BASE_HEX,
     .min = 0,
     .max = INT_MAX,
     .store_mask = INNER_LED_STORE_MASK,
     .confirm = confirm_inner_led,
     .sw = &SWITCHES[S_LED],
     .edit = inner_led_cfg,
     .syntax = "HEX",
     .help = "class I (@)"},
    {.names = {"gpio"},
     .prompts = {"Please input config val of GPIO :"},
     .nparts = 1,
     .kind = FEAT_WORD,
     .families = FAMILY_0,
     .addr = {GPIO_CFG_ADDR, 0},
     .base = BASE_HEX,
     .min = 0,
     .max = INT_MAX,
     .store_mask = GPIO_VAL_FIELD,
     .confirm = confirm_gpio,
     .sw = &SWITCHES[S_GPIO],
     .edit = gpio_oem_cfg,
     .syntax = "HEX",
     .help = "family 0 (@)"},
    {.names = {"phy-mode"},
     .prompts = {"Please input config val of MV1512 phy mode :"},
     .nparts = 1,
     .kind = FEAT_WORD,
     .families = FAMILY_0,
     .phys = "M",
     .refusal = "Current phy type %c, not MV Phy(0x52)\n",
     .addr = {PHY_MODE_CFG_ADDR, 0},
     .base = BASE_HEX,
     .min = 0,
     .max = INT_MAX,
     .store_mask = ALL_BITS,
     .confirm = confirm_phy_mode,
     .sw = &SWITCHES[S_PHY_MODE],
     .edit = mv_phy_mode_cfg,
     .syntax = "HEX",
     .help = "family 0, PHY class M (@)"},
    {.names = {"smbus-arp"},
     .prompts = {"Please input config val of SMBUS ARP, 1 : enable arp  0 : disable arp :"},
     .nparts = 1,
     .kind = FEAT_ARP,
     .families = BOTH_FAMILIES,
     .addr = {VN_SMBUS_ARP_ADDR, MR_SMBUS_ARP_ADDR},
     .base = BASE_HEX,
     .min = 0,
     .max = 1,
     .store_mask = ALL_BITS,
     .sw = &SWITCHES[S_SMBUS_ARP],
     .edit = smbus_arp_cfg,
     .syntax = "on|off",
     .help = "both families (@)"},
    {.names = {"wake-io"},
     .prompts = {"Please input config val of WOL Wake IO(ms):"},
     .nparts = 1,
     .kind = FEAT_WORD,
     .families = FAMILY_0,
     .addr = {WOL_CFG_ADDR, 0},
     .base = BASE_DEC,
     .min = 1,
     .max = WOL_TIME_MAX,
     .store_mask = WOL_TIME_FIELD,
     .confirm = confirm_wake_io,
     .sw = &SWITCHES[S_WAKE_IO],
     .edit = wol_wake_io_cfg,
     .syntax = "MS",
     .help = "family 0; decimal milliseconds (@)"},
    {.names = {"lldp"},
     .prompts = {"Please input config val of LLDP TX :"},
     .nparts = 1,
     .kind = FEAT_LLDP,
     .families = BOTH_FAMILIES,
     .addr = {LLDP_START_ADDR, LLDP_START_ADDR},
     .base = BASE_HEX,
     .min = 0,
     .max = LLDP_TX_MAX,
     .store_mask = LLDP_TX_FIELD,
     .confirm = confirm_lldp,
     .edit = lldp_tx_cfg,
     .syntax = "HEX",
     .help = "both families (@)"},
    {.names = {"enabled-ports"},
     .prompts = {"Please input the number of disabled network ports:"},
     .nparts = 1,
     .kind = FEAT_PORTS,
     .families = FAMILY_0,
     .addr = {PORT_MASK_ADDR, 0},
     .base = BASE_DEC,
     .min = 1,
     .max = MAX_PORT_NUM,
     .store_mask = PORT_MASK_FIELD,
     .sw = &SWITCHES[S_NETPORT],
     .disabled = {.base = BASE_HEX, .refusal = "ERROR, Input Value %d invalid, range [0,%d]\n"},
     .edit = [](img_t *fp, uint32_t) { network_port_disable(fp); },
     .syntax = "N",
     .help = "family 0 boards of 1 to 4 ports (@)"},
};

const switch_row_t SWITCHES[NSWITCHES] = {
    {.enable = "led-enable",
     .question = "\nEnable LED configuration or not 'Y' or 'N' : ",
     .ask = led_switch,
     .bit = LED_OEM_EN,
     .on = "LED configuration is : ON.",
     .off = "LED configuration is : OFF.",
     .value = &FEATURES[F_INNER_LED],
     .silenced = true,
     .option_1 = BOTH_FAMILIES,
     .help = "the LED switch (@); alone only while its value is set"},
    {.enable = "gpio-enable",
     .question = "\nEnable GPIO configuration or not 'Y' or 'N' : ",
     .ask = gpio_switch,
     .bit = GPIO_OEM_EN,
     .on = "GPIO configuration is : ON.",
     .off = "GPIO configuration is : OFF.",
     .value = &FEATURES[F_GPIO],
     .silenced = true,
     .option_1 = FAMILY_0,
     .help = "the GPIO switch (@); alone only while its value is set"},
    {.enable = "phy-mode-enable",
     .question = "\nEnable Marvell 88e1512 phy mode configuration or not 'Y' or 'N' : ",
     .ask = phy_mode_switch,
     .bit = Marvell_PHY_MODE_OEM_EN,
     .on = "Marvell 88e1512 phy mode configuration is : ON.",
     .off = "Marvell 88e1512 phy mode configuration is : OFF.",
     .value = &FEATURES[F_PHY_MODE],
     .silenced = true,
     .option_1 = FAMILY_0,
     .help = "the PHY mode switch (@); alone only while its value is set"},
    {.enable = "wake-io-enable",
     .question = "\nEnable WOL Wake IO configuration or not 'Y' or 'N' : ",
     .ask = wol_wake_io_switch,
     .bit = WAKE_IO_OEM_EN,
     .on = "WOL Wake IO configuration is : ON.",
     .off = "WOL Wake IO configuration is : OFF.",
     .value = &FEATURES[F_WAKE_IO],
     .silenced = true,
     .option_1 = FAMILY_0,
     .help = "the wake IO switch (@); alone only while its value is set"},
    {.enable = "port-disable-enable",
     .question = "\nEnable netport disable configuration or not 'Y' or 'N' : ",
     .bit = NETPORT_DISABLE_EN,
     .on = "netport disable configuration is : ON.",
     .off = "netport disable configuration is : OFF.",
     .value = &FEATURES[F_PORTS],
     .help = "the switch of @, only with enabled-ports"},
    {.bit = SMBUS_ARP_OEM_EN, .value = &FEATURES[F_SMBUS_ARP]},
};

// Who is offered a feature: its families, and its PHY classes. A menu row
// without a feature is offered to all.
bool feature_offered(const feature_t *f, int family, char phy)
{
    return f == nullptr ||
           ((f->families & FAMILY_BIT(family)) != 0 &&
            (f->phys == nullptr || (phy != '\0' && strchr(f->phys, phy) != nullptr)));
}

uint32_t feature_addr(const feature_t *f, int family)
{
    return f->addr[family == Mirolane ? 1 : 0];
}

// Whether the bits the word keeps are the low ones (0xffff), so that the
// values it keeps as given are a range.
bool feature_kept_range(const feature_t *f)
{
    return (f->store_mask & (f->store_mask + 1)) == 0;
}

// The largest answer the word keeps as given.
int64_t feature_kept_max(const feature_t *f)
{
    return feature_kept_range(f) && f->store_mask < (uint32_t)f->max ? f->store_mask : f->max;
}

// The answer, kept to the bits the word holds.
uint32_t feature_store_value(const feature_t *f, int32_t answer)
{
    return (uint32_t)answer & f->store_mask;
}

// LED0 and LED1 share the first word, LED2 and the blink setting the
// second, the first of each pair in the low half.
void yt_led_words(const int32_t answers[YT_PARTS], uint32_t words[YT_LED_WORDS])
{
    const feature_t *yt = &FEATURES[F_YT_LED];
    for (int i = 0; i < YT_LED_WORDS; i++)
        words[i] = feature_store_value(yt, answers[2 * i]) |
                   feature_store_value(yt, answers[2 * i + 1]) << HALF_WORD_SHIFT;
}

uint32_t yt_part_addr(uint32_t addr, int part)
{
    return addr + (uint32_t)(part / 2) * IMG_WORD_SIZE;
}

uint32_t yt_part_value(uint32_t word, int part)
{
    return field_get(word, part % 2 ? HIGH_HALF : LOW_HALF);
}
