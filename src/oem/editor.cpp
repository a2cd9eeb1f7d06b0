// Feature value editors: ask for one setting, store it, confirm it and hand
// over to the feature's switch.
#include "norvask-oem-cfg.h"

#include <climits>

#define MSG_INVALID "ERROR, Input Value %d invalid\n"
#define MSG_DONE "\nConfiguration completed successfully\n"
#define MSG_DONE_FIELDS "\nConfiguration completed successfully :\n"

static const int YT_LED_WORDS = 2;

// An editor of one value word: the answer, kept to the bits the word holds,
// is stored, confirmed and handed to the feature's switch.
typedef struct {
    const char *prompt;
    num_base_t base;
    int32_t min, max;
    uint32_t store_mask;
    void (*confirm)(uint32_t val);
    switch_result_t (*feature_switch)(img_t *fp, uint32_t addr);
} word_editor_t;

static void run_word_editor(img_t *fp, uint32_t addr, const word_editor_t *ed)
{
    int32_t user_input;
    if (!ask_number(ed->prompt, ed->base, ed->min, ed->max, MSG_INVALID, 0, &user_input))
        return;
    uint32_t val = (uint32_t)user_input & ed->store_mask;
    if (!wt_img(fp, addr, val))
        return;
    ed->confirm(val);
    ed->feature_switch(fp, addr);
}

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
    printf("    Polarity : 0x%x  LED : 0x%x\n", field_get(val, INNER_LED_POLARITY),
           field_get(val, INNER_LED_LED));
}

static void confirm_wake_io(uint32_t val)
{
    printf("\nConfiguration completed successfully, WOL Wake Io pull down time : %d ms\n", (int)val);
}

static const word_editor_t GPIO_EDITOR = {"Please input config val of GPIO :", BASE_HEX, 0, INT_MAX,
                                          GPIO_VAL_FIELD, confirm_gpio, gpio_switch};
static const word_editor_t PHY_MODE_EDITOR = {"Please input config val of MV1512 phy mode :", BASE_HEX, 0,
                                              INT_MAX, INVALID_ID, confirm_phy_mode, phy_mode_switch};
static const word_editor_t MV_LED_EDITOR = {"Please input config val of MV Phy LED :", BASE_HEX, 0, INT_MAX,
                                            MV_LED_STORE_MASK, confirm_mv_led, led_switch};
static const word_editor_t INNER_LED_EDITOR = {"Please input config val of Inner LED :", BASE_HEX, 0,
                                               INT_MAX, INNER_LED_STORE_MASK, confirm_inner_led,
                                               led_switch};
static const word_editor_t WAKE_IO_EDITOR = {"Please input config val of WOL Wake IO(ms):", BASE_DEC, 1,
                                             WOL_TIME_MAX, WOL_TIME_FIELD, confirm_wake_io,
                                             wol_wake_io_switch};

void gpio_oem_cfg(img_t *fp, uint32_t addr)
{
    run_word_editor(fp, addr, &GPIO_EDITOR);
}

void mv_phy_mode_cfg(img_t *fp, uint32_t addr)
{
    run_word_editor(fp, addr, &PHY_MODE_EDITOR);
}

void mv1512_led_cfg(img_t *fp, uint32_t addr)
{
    run_word_editor(fp, addr, &MV_LED_EDITOR);
}

void inner_led_cfg(img_t *fp, uint32_t addr)
{
    run_word_editor(fp, addr, &INNER_LED_EDITOR);
}

void wol_wake_io_cfg(img_t *fp, uint32_t addr)
{
    run_word_editor(fp, addr, &WAKE_IO_EDITOR);
}

void yt8521s_led_cfg(img_t *fp, uint32_t addr)
{
    static const char *const prompts[2 * YT_LED_WORDS] = {
        "Please input config val of YT Phy LED0 :",
        "Please input config val of YT Phy LED1 :",
        "Please input config val of YT Phy LED2 :",
        "Please input config val of YT Phy LED blink cfg :",
    };
    // LED0 and LED1 share the first word, LED2 and the blink setting the
    // second; the high half keeps only 16 bits of its answer.
    uint32_t con_val[YT_LED_WORDS] = {0, 0};
    for (int i = 0; i < 2 * YT_LED_WORDS; i++) {
        int32_t user_input;
        if (!ask_number(prompts[i], BASE_HEX, 0, INT_MAX, MSG_INVALID, 0, &user_input))
            return;
        uint32_t v = (uint32_t)user_input;
        con_val[i / 2] |= i % 2 == 0 ? v & HALF_WORD_FIELD : v << HALF_WORD_SHIFT;
    }
    if (!wt_img_words(fp, addr, con_val, YT_LED_WORDS))
        return;
    printf(MSG_DONE_FIELDS);
    printf("    LED0 : 0x%x  LED1 : 0x%x  LED2 : 0x%x  LED blink : 0x%x\n",
           field_get(con_val[0], LOW_HALF), field_get(con_val[0], HIGH_HALF),
           field_get(con_val[1], LOW_HALF), field_get(con_val[1], HIGH_HALF));
    led_switch(fp, addr);
}

// The answer is kept to its low byte, taken as a signed 8-bit value, so
// large answers wrap and 0x80..0xFF count as negative.
static bool ask_smbus_arp(int8_t *answer)
{
    uint32_t user_input = (uint8_t)-1;
    for (;;) {
        if (!prompt_number("Please input config val of SMBUS ARP, 1 : enable arp  0 : disable arp :",
                           BASE_HEX, &user_input))
            return false;
        int8_t v = (int8_t)(uint8_t)user_input;
        CHECK(v, 0, continue);
        if (v != 0 && v != 1) {
            printf(MSG_INVALID, v);
            continue;
        }
        *answer = v;
        return true;
    }
}

void smbus_arp_cfg(img_t *fp, uint32_t addr)
{
    int8_t enable;
    if (!ask_smbus_arp(&enable))
        return;
    uint32_t val = enable ? SMBUS_ARP_ON : SMBUS_ARP_OFF;
    // The switch asks nothing, so it runs before the confirmation and a
    // failed enable bit is never reported as success.
    if (!wt_img(fp, addr, val) || smbus_arp_switch(fp, addr) != SWITCH_DONE)
        return;
    puts(enable ? "\nConfiguration completed successfully, Enable SMBUS ARP"
                : "\nConfiguration completed successfully, Disable SMBUS ARP");
}

// The LLDP default has no switch: storing it stamps the signature and
// leaves every enable bit as it was.
void lldp_tx_cfg(img_t *fp, uint32_t addr)
{
    int32_t user_input;
    if (!ask_number("Please input config val of LLDP TX :", BASE_HEX, 0, LLDP_TX_MAX, MSG_INVALID, 0,
                    &user_input))
        return;
    uint32_t val = (uint32_t)user_input & LLDP_TX_FIELD, rd_val = 0;
    if (!wt_img(fp, addr, val) || !rd_img(fp, OEM_CFG_ADDR, &rd_val) ||
        !wt_img(fp, OEM_CFG_ADDR, oem_stamped(rd_val) | MAGIC_MASK))
        return;
    printf("\nConfiguration completed successfully, LLDP TX config : 0x%x\n", val);
}
