// Feature value editors: ask for one setting, store it, confirm it and hand
// over to the feature's switch.
#include "norvask-oem-cfg.h"

#include <climits>

#define MSG_INVALID "ERROR, Input Value %d invalid\n"
#define MSG_DONE "\nConfiguration completed successfully\n"
#define MSG_DONE_FIELDS "\nConfiguration completed successfully :\n"

// The answer, kept to the bits the word holds.
uint32_t editor_store_value(const word_editor_t *ed, int32_t answer)
{
    return (uint32_t)answer & ed->store_mask;
}

static void run_word_editor(img_t *fp, uint32_t addr, const word_editor_t *ed)
{
    int32_t user_input;
    if (!ask_number(ed->prompt, ed->base, ed->min, ed->max, MSG_INVALID, 0, &user_input))
        return;
    uint32_t val = editor_store_value(ed, user_input);
    if (!wt_img(fp, addr, val))
        return;
    ed->confirm(val);
    value_switch(fp, addr, ed->sw);
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

const word_editor_t GPIO_EDITOR = {"Please input config val of GPIO :", BASE_HEX, 0, INT_MAX,
                                   GPIO_VAL_FIELD, confirm_gpio, &GPIO_SWITCH};
const word_editor_t PHY_MODE_EDITOR = {"Please input config val of MV1512 phy mode :", BASE_HEX, 0,
                                       INT_MAX, INVALID_ID, confirm_phy_mode, &PHY_MODE_SWITCH};
const word_editor_t MV_LED_EDITOR = {"Please input config val of MV Phy LED :", BASE_HEX, 0, INT_MAX,
                                     MV_LED_STORE_MASK, confirm_mv_led, &LED_SWITCH};
const word_editor_t INNER_LED_EDITOR = {"Please input config val of Inner LED :", BASE_HEX, 0,
                                        INT_MAX, INNER_LED_STORE_MASK, confirm_inner_led,
                                        &LED_SWITCH};
const word_editor_t WAKE_IO_EDITOR = {"Please input config val of WOL Wake IO(ms):", BASE_DEC, 1,
                                      WOL_TIME_MAX, WOL_TIME_FIELD, confirm_wake_io,
                                      &WAKE_IO_SWITCH};
// The YT8521S halves and the LLDP default have courses of their own; these
// rows give their answers' base, range and stored bits. Each YT answer keeps
// 16 bits, whichever half of its word it goes to.
const word_editor_t YT_LED_EDITOR = {nullptr, BASE_HEX, 0, INT_MAX, HALF_WORD_FIELD, nullptr, &LED_SWITCH};
const word_editor_t LLDP_EDITOR = {"Please input config val of LLDP TX :", BASE_HEX, 0, LLDP_TX_MAX,
                                   LLDP_TX_FIELD, nullptr, nullptr};

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

// LED0 and LED1 share the first word, LED2 and the blink setting the
// second, the first of each pair in the low half.
void yt_led_words(const int32_t answers[2 * YT_LED_WORDS], uint32_t words[YT_LED_WORDS])
{
    for (int i = 0; i < YT_LED_WORDS; i++)
        words[i] = editor_store_value(&YT_LED_EDITOR, answers[2 * i]) |
                   editor_store_value(&YT_LED_EDITOR, answers[2 * i + 1]) << HALF_WORD_SHIFT;
}

void yt8521s_led_cfg(img_t *fp, uint32_t addr)
{
    static const char *const prompts[2 * YT_LED_WORDS] = {
        "Please input config val of YT Phy LED0 :",
        "Please input config val of YT Phy LED1 :",
        "Please input config val of YT Phy LED2 :",
        "Please input config val of YT Phy LED blink cfg :",
    };
    int32_t answers[2 * YT_LED_WORDS];
    for (int i = 0; i < 2 * YT_LED_WORDS; i++)
        if (!ask_number(prompts[i], YT_LED_EDITOR.base, YT_LED_EDITOR.min, YT_LED_EDITOR.max, MSG_INVALID, 0,
                        &answers[i]))
            return;
    uint32_t con_val[YT_LED_WORDS];
    yt_led_words(answers, con_val);
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

// The ARP word holds the state; the switch asks nothing.
bool smbus_arp_store(img_t *fp, uint32_t addr, bool enable)
{
    return wt_img(fp, addr, enable ? SMBUS_ARP_ON : SMBUS_ARP_OFF) && smbus_arp_switch(fp, addr) == SWITCH_DONE;
}

void smbus_arp_cfg(img_t *fp, uint32_t addr)
{
    int8_t enable;
    if (!ask_smbus_arp(&enable))
        return;
    // The switch runs before the confirmation, so a failed enable bit is
    // never reported as success.
    if (!smbus_arp_store(fp, addr, enable != 0))
        return;
    puts(enable ? "\nConfiguration completed successfully, Enable SMBUS ARP"
                : "\nConfiguration completed successfully, Disable SMBUS ARP");
}

// The LLDP default has no switch: storing it stamps the signature and
// leaves every enable bit as it was.
bool lldp_store(img_t *fp, uint32_t addr, int32_t answer)
{
    uint32_t rd_val = 0;
    return wt_img(fp, addr, editor_store_value(&LLDP_EDITOR, answer)) && rd_img(fp, OEM_CFG_ADDR, &rd_val) &&
           wt_img(fp, OEM_CFG_ADDR, oem_stamped(rd_val) | MAGIC_MASK);
}

void lldp_tx_cfg(img_t *fp, uint32_t addr)
{
    int32_t user_input;
    if (!ask_number(LLDP_EDITOR.prompt, LLDP_EDITOR.base, LLDP_EDITOR.min, LLDP_EDITOR.max, MSG_INVALID, 0,
                    &user_input) ||
        !lldp_store(fp, addr, user_input))
        return;
    uint32_t val = editor_store_value(&LLDP_EDITOR, user_input);
    printf("\nConfiguration completed successfully, LLDP TX config : 0x%x\n", val);
}
