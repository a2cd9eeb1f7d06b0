// Feature switches as the dialogue asks them: each answer sets or clears
// one enable bit of the OEM configuration word (switch_store).
#include "norvask-oem-cfg.h"

static switch_result_t ask_switch(img_t *img, const switch_row_t *sw)
{
    yes_no_t answer = ask_yes_no(sw->question);
    if (answer == ANSWER_EOF)
        return SWITCH_INPUT_ENDED;
    // The message follows the write so that it never reports a change
    // that did not reach the file.
    if (!switch_store(img, sw, answer == ANSWER_YES))
        return SWITCH_FAILED;
    puts(answer == ANSWER_YES ? sw->on : sw->off);
    return SWITCH_DONE;
}

static switch_result_t value_switch(img_t *img, uint32_t addr, const switch_row_t *sw)
{
    bool silent;
    if (!switch_silent(img, addr, &silent))
        return SWITCH_FAILED;
    if (silent)
        return SWITCH_SILENT;
    return ask_switch(img, sw);
}

switch_result_t led_switch(img_t *fp, uint32_t addr)
{
    return value_switch(fp, addr, &SWITCHES[S_LED]);
}

switch_result_t gpio_switch(img_t *fp, uint32_t addr)
{
    return value_switch(fp, addr, &SWITCHES[S_GPIO]);
}

switch_result_t phy_mode_switch(img_t *fp, uint32_t addr)
{
    return value_switch(fp, addr, &SWITCHES[S_PHY_MODE]);
}

switch_result_t wol_wake_io_switch(img_t *fp, uint32_t addr)
{
    return value_switch(fp, addr, &SWITCHES[S_WAKE_IO]);
}

switch_result_t netport_disable_switch(img_t *fp)
{
    return ask_switch(fp, &SWITCHES[S_NETPORT]);
}

// SMBus ARP is always enabled once configured; its on/off state lives in
// the ARP word itself.
switch_result_t smbus_arp_switch(img_t *fp, uint32_t addr)
{
    (void)addr;
    return switch_store(fp, &SWITCHES[S_SMBUS_ARP], true) ? SWITCH_DONE : SWITCH_FAILED;
}

// Menu option 1: every switch of the family that asks, in table order, each
// silent while its value word is erased.
void option_1_switches(img_t *img, int family)
{
    for (const switch_row_t &sw : SWITCHES) {
        if ((sw.option_1 & FAMILY_BIT(family)) == 0)
            continue;
        switch_result_t r = sw.ask(img, feature_addr(sw.value, family));
        if (r == SWITCH_FAILED || r == SWITCH_INPUT_ENDED)
            return;
    }
}
