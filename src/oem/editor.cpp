// Feature value editors: ask for one setting, store it, confirm it and hand
// over to the feature's switch.
#include "norvask-oem-cfg.h"

#include <climits>

#define MSG_INVALID "ERROR, Input Value %d invalid\n"

static bool ask_answer(const feature_t *f, int part, int32_t *answer)
{
    return ask_number(f->prompts[part], f->base, f->min, f->max, MSG_INVALID, 0, answer);
}

static void run_word_editor(img_t *fp, uint32_t addr, const feature_t *f)
{
    int32_t user_input;
    if (!ask_answer(f, 0, &user_input))
        return;
    uint32_t val = feature_store_value(f, user_input);
    if (!wt_img(fp, addr, val))
        return;
    f->confirm(val);
    value_switch(fp, addr, f->sw);
}

void gpio_oem_cfg(img_t *fp, uint32_t addr)
{
    run_word_editor(fp, addr, &FEATURES[F_GPIO]);
}

void mv_phy_mode_cfg(img_t *fp, uint32_t addr)
{
    run_word_editor(fp, addr, &FEATURES[F_PHY_MODE]);
}

void mv1512_led_cfg(img_t *fp, uint32_t addr)
{
    run_word_editor(fp, addr, &FEATURES[F_MV_LED]);
}

void inner_led_cfg(img_t *fp, uint32_t addr)
{
    run_word_editor(fp, addr, &FEATURES[F_INNER_LED]);
}

void wol_wake_io_cfg(img_t *fp, uint32_t addr)
{
    run_word_editor(fp, addr, &FEATURES[F_WAKE_IO]);
}

void yt8521s_led_cfg(img_t *fp, uint32_t addr)
{
    const feature_t *yt = &FEATURES[F_YT_LED];
    int32_t answers[YT_PARTS];
    for (int i = 0; i < YT_PARTS; i++)
        if (!ask_answer(yt, i, &answers[i]))
            return;
    uint32_t con_val[YT_LED_WORDS];
    yt_led_words(answers, con_val);
    if (!wt_img_words(fp, addr, con_val, YT_LED_WORDS))
        return;
    printf("\nConfiguration completed successfully :\n");
    printf("    LED0 : 0x%x  LED1 : 0x%x  LED2 : 0x%x  LED blink : 0x%x\n", yt_part_value(con_val[0], 0),
           yt_part_value(con_val[0], 1), yt_part_value(con_val[1], 2), yt_part_value(con_val[1], 3));
    led_switch(fp, addr);
}

// The answer is kept to its low byte, taken as a signed 8-bit value, so
// large answers wrap and 0x80..0xFF count as negative.
static bool ask_smbus_arp(int8_t *answer)
{
    uint32_t user_input = (uint8_t)-1;
    for (;;) {
        if (!prompt_number(FEATURES[F_SMBUS_ARP].prompts[0], BASE_HEX, &user_input))
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
    return wt_img(fp, addr, feature_store_value(&FEATURES[F_LLDP], answer)) && rd_img(fp, OEM_CFG_ADDR, &rd_val) &&
           wt_img(fp, OEM_CFG_ADDR, oem_stamped(rd_val) | MAGIC_MASK);
}

void lldp_tx_cfg(img_t *fp, uint32_t addr)
{
    const feature_t *f = &FEATURES[F_LLDP];
    int32_t user_input;
    if (!ask_answer(f, 0, &user_input) || !lldp_store(fp, addr, user_input))
        return;
    f->confirm(feature_store_value(f, user_input));
}
