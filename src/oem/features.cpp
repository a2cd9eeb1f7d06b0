// The OEM features and their switches: one row each, read by the menus,
// option 1, the reports and the scripted verbs.
#include "norvask-oem-cfg.h"

#include <climits>
#include <cstring>

#define MSG_DONE "\nConfiguration completed successfully\n"
#define MSG_DONE_FIELDS "\nConfiguration completed successfully :\n"
#define NOT_INNER "Current phy type %c, not INNER Phy\n"

static void confirm_gpio(uint32_t val)
{
    printf(MSG_DONE);
    printf("    GPIO : 0x%x\n", val);
}

static void confirm_phy_mode(uint32_t val)
{
    printf(MSG_DONE);
    printf("PHY MODE : port0 : 0x%x port1 : 0x%x\n           port2 : 0x%x port3 : 0x%x\n",
           field_get(val, phy_mode_port(0)), field_get(val, phy_mode_port(1)),
           field_get(val, phy_mode_port(2)), field_get(val, phy_mode_port(3)));
}

static void confirm_mv_led(uint32_t val)
{
    printf(MSG_DONE_FIELDS);
    printf("    Polarity : 0x%x  LED : 0x%x  Blink_freq : 0x%x\n", field_get(val, MV_LED_POLARITY),
           field_get(val, MV_LED_LED), field_get(val, MV_LED_BLINK));
}

static void confirm_inner_led(uint32_t val)
{
    printf(MSG_DONE_FIELDS);
    printf("    Polarity : 0x%x  LED : 0x%x\n", field_get(val, INNER_LED_POLARITY), field_get(val, INNER_LED_LED));
}

static void confirm_wake_io(uint32_t val)
{
    printf("\nConfiguration completed successfully, WOL Wake Io pull down time : %d ms\n", (int)val);
}

static void confirm_lldp(uint32_t val)
{
    printf("\nConfiguration completed successfully, LLDP TX config : 0x%x\n", val);
}

#define ONE(name, prompt) {name, nullptr, nullptr, nullptr}, {prompt, nullptr, nullptr, nullptr}, 1
#define FAMILY_0 FAMILY_BIT(Vantrel)

// Each YT answer keeps 16 bits, whichever half of its word it goes to. The
// port count's range is the board's (1 to its port count).
const feature_t FEATURES[NFEATURES] = {
    {{"yt-led0", "yt-led1", "yt-led2", "yt-blink"},
     {"Please input config val of YT Phy LED0 :", "Please input config val of YT Phy LED1 :",
      "Please input config val of YT Phy LED2 :", "Please input config val of YT Phy LED blink cfg :"},
     YT_PARTS, FEAT_YT, FAMILY_0, "Y", "Current phy type %c, not YT Phy\n", {LED_CFG_ADDR, 0}, BASE_HEX, 0,
     INT_MAX, HALF_WORD_FIELD, nullptr, &SWITCHES[S_LED]},
    {ONE("led", "Please input config val of MV Phy LED :"), FEAT_WORD, FAMILY_0, "FCM",
     "Current phy type %c, not MV Phy\n", {LED_CFG_ADDR, 0}, BASE_HEX, 0, INT_MAX, MV_LED_STORE_MASK,
     confirm_mv_led, &SWITCHES[S_LED]},
    {ONE("led", "Please input config val of Inner LED :"), FEAT_WORD, BOTH_FAMILIES, "I", NOT_INNER,
     {LED_CFG_ADDR, LED_CFG_ADDR}, BASE_HEX, 0, INT_MAX, INNER_LED_STORE_MASK, confirm_inner_led,
     &SWITCHES[S_LED]},
    {ONE("gpio", "Please input config val of GPIO :"), FEAT_WORD, FAMILY_0, nullptr, nullptr,
     {GPIO_CFG_ADDR, 0}, BASE_HEX, 0, INT_MAX, GPIO_VAL_FIELD, confirm_gpio, &SWITCHES[S_GPIO]},
    {ONE("phy-mode", "Please input config val of MV1512 phy mode :"), FEAT_WORD, FAMILY_0, "M",
     "Current phy type %c, not MV Phy(0x52)\n", {PHY_MODE_CFG_ADDR, 0}, BASE_HEX, 0, INT_MAX, INVALID_ID,
     confirm_phy_mode, &SWITCHES[S_PHY_MODE]},
    {ONE("smbus-arp", "Please input config val of SMBUS ARP, 1 : enable arp  0 : disable arp :"), FEAT_ARP,
     BOTH_FAMILIES, nullptr, nullptr, {VN_SMBUS_ARP_ADDR, MR_SMBUS_ARP_ADDR}, BASE_HEX, 0, 1, INVALID_ID,
     nullptr, &SWITCHES[S_SMBUS_ARP]},
    {ONE("wake-io", "Please input config val of WOL Wake IO(ms):"), FEAT_WORD, FAMILY_0, nullptr, nullptr,
     {WOL_CFG_ADDR, 0}, BASE_DEC, 1, WOL_TIME_MAX, WOL_TIME_FIELD, confirm_wake_io, &SWITCHES[S_WAKE_IO]},
    {ONE("lldp", "Please input config val of LLDP TX :"), FEAT_LLDP, BOTH_FAMILIES, nullptr, nullptr,
     {LLDP_START_ADDR, LLDP_START_ADDR}, BASE_HEX, 0, LLDP_TX_MAX, LLDP_TX_FIELD, confirm_lldp, nullptr},
    {ONE("enabled-ports", "Please input the number of disabled network ports:"), FEAT_PORTS, FAMILY_0, nullptr,
     nullptr, {PORT_MASK_ADDR, 0}, BASE_DEC, 1, MAX_PORT_NUM, PORT_MASK_FIELD, nullptr, &SWITCHES[S_NETPORT]},
};

const switch_row_t SWITCHES[NSWITCHES] = {
    {"led-enable", "\nEnable LED configuration or not 'Y' or 'N' : ", LED_OEM_EN, "LED configuration is : ON.",
     "LED configuration is : OFF.", &FEATURES[F_INNER_LED], true, BOTH_FAMILIES},
    {"gpio-enable", "\nEnable GPIO configuration or not 'Y' or 'N' : ", GPIO_OEM_EN,
     "GPIO configuration is : ON.", "GPIO configuration is : OFF.", &FEATURES[F_GPIO], true, FAMILY_0},
    {"phy-mode-enable", "\nEnable Marvell 88e1512 phy mode configuration or not 'Y' or 'N' : ",
     Marvell_PHY_MODE_OEM_EN, "Marvell 88e1512 phy mode configuration is : ON.",
     "Marvell 88e1512 phy mode configuration is : OFF.", &FEATURES[F_PHY_MODE], true, FAMILY_0},
    {"wake-io-enable", "\nEnable WOL Wake IO configuration or not 'Y' or 'N' : ", WAKE_IO_OEM_EN,
     "WOL Wake IO configuration is : ON.", "WOL Wake IO configuration is : OFF.", &FEATURES[F_WAKE_IO], true,
     FAMILY_0},
    {"port-disable-enable", "\nEnable netport disable configuration or not 'Y' or 'N' : ", NETPORT_DISABLE_EN,
     "netport disable configuration is : ON.", "netport disable configuration is : OFF.", &FEATURES[F_PORTS],
     false, 0},
    {nullptr, nullptr, SMBUS_ARP_OEM_EN, nullptr, nullptr, &FEATURES[F_SMBUS_ARP], false, 0},
};

bool feature_offered(const feature_t *f, int family, char phy)
{
    return (f->families & FAMILY_BIT(family)) != 0 && (f->phys == nullptr || (phy != '\0' && strchr(f->phys, phy)));
}

uint32_t feature_addr(const feature_t *f, int family)
{
    return f->addr[family == Mirolane ? 1 : 0];
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
        words[i] = feature_store_value(yt, answers[2 * i]) | feature_store_value(yt, answers[2 * i + 1])
                                                                  << HALF_WORD_SHIFT;
}

uint32_t yt_part_addr(uint32_t addr, int part)
{
    return addr + (uint32_t)(part / 2) * IMG_WORD_SIZE;
}

uint32_t yt_part_value(uint32_t word, int part)
{
    return field_get(word, part % 2 ? HIGH_HALF : LOW_HALF);
}
