// Feature value editors: ask for one setting, store it by its kind's store,
// confirm it and hand over to the feature's switch. The menus run each by
// name, from its feature's row; each is its kind's editor on that row.
#include "norvask-oem-cfg.h"

#define MSG_INVALID "ERROR, Input Value %d invalid\n"

static bool ask_answer(const feature_t *f, int part, int32_t *answer)
{
    return ask_number(f->prompts[part], f->base, f->min, f->max, MSG_INVALID, 0, answer);
}

static void edit_word(img_t *img, const feature_t *f, uint32_t addr)
{
    int32_t user_input;
    uint32_t val;
    if (!ask_answer(f, 0, &user_input) || !word_store(img, f, addr, user_input, &val))
        return;
    f->confirm(val);
    f->sw->ask(img, addr);
}

static void edit_yt(img_t *img, const feature_t *yt, uint32_t addr)
{
    int32_t answers[YT_PARTS];
    for (int i = 0; i < YT_PARTS; i++)
        if (!ask_answer(yt, i, &answers[i]))
            return;
    if (!yt_store(img, addr, answers))
        return;
    printf("\nConfiguration completed successfully :\n");
    printf("    LED0 : 0x%x  LED1 : 0x%x  LED2 : 0x%x  LED blink : 0x%x\n",
           feature_store_value(yt, answers[0]), feature_store_value(yt, answers[1]),
           feature_store_value(yt, answers[2]), feature_store_value(yt, answers[3]));
    yt->sw->ask(img, addr);
}

// The answer is kept to its low byte, taken as a signed 8-bit value, so
// large answers wrap and 0x80..0xFF count as negative.
static bool ask_smbus_arp(const feature_t *f, int8_t *answer)
{
    uint32_t user_input = (uint8_t)-1;
    for (;;) {
        if (!prompt_number(f->prompts[0], BASE_HEX, &user_input))
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

// The store sets the switch's bit before the confirmation, so a failed
// enable bit is never reported as success.
static void edit_smbus_arp(img_t *img, const feature_t *f, uint32_t addr)
{
    int8_t enable;
    if (!ask_smbus_arp(f, &enable) || !smbus_arp_store(img, addr, enable != 0))
        return;
    puts(enable ? "\nConfiguration completed successfully, Enable SMBUS ARP"
                : "\nConfiguration completed successfully, Disable SMBUS ARP");
}

static void edit_lldp(img_t *img, const feature_t *f, uint32_t addr)
{
    int32_t user_input;
    if (!ask_answer(f, 0, &user_input) || !lldp_store(img, addr, user_input))
        return;
    f->confirm(feature_store_value(f, user_input));
}

void gpio_oem_cfg(img_t *fp, uint32_t addr)
{
    edit_word(fp, &FEATURES[F_GPIO], addr);
}

void mv_phy_mode_cfg(img_t *fp, uint32_t addr)
{
    edit_word(fp, &FEATURES[F_PHY_MODE], addr);
}

void yt8521s_led_cfg(img_t *fp, uint32_t addr)
{
    edit_yt(fp, &FEATURES[F_YT_LED], addr);
}

void mv1512_led_cfg(img_t *fp, uint32_t addr)
{
    edit_word(fp, &FEATURES[F_MV_LED], addr);
}

void inner_led_cfg(img_t *fp, uint32_t addr)
{
    edit_word(fp, &FEATURES[F_INNER_LED], addr);
}

void smbus_arp_cfg(img_t *fp, uint32_t addr)
{
    edit_smbus_arp(fp, &FEATURES[F_SMBUS_ARP], addr);
}

void wol_wake_io_cfg(img_t *fp, uint32_t addr)
{
    edit_word(fp, &FEATURES[F_WAKE_IO], addr);
}

void lldp_tx_cfg(img_t *fp, uint32_t addr)
{
    edit_lldp(fp, &FEATURES[F_LLDP], addr);
}
