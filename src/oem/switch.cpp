// Feature switches: each sets or clears one enable bit of the OEM
// configuration word and stamps the word with the signature.
#include "norvask-oem-cfg.h"

// A word the tool has not stamped carries nothing worth keeping.
bool oem_is_stamped(uint32_t word)
{
    return (word & OEM_SIG_FIELD) == MAGIC_MASK;
}

uint32_t oem_stamped(uint32_t word)
{
    return oem_is_stamped(word) ? word : 0;
}

// Replaces one enable bit by its state in con_val, keeping the other bits of
// a stamped word.
static bool merge_oem_bit(img_t *fp, uint32_t bit, uint32_t con_val)
{
    uint32_t rd_val;
    if (!rd_img(fp, OEM_CFG_ADDR, &rd_val))
        return false;
    rd_val = (oem_stamped(rd_val) & ~bit) | con_val;
    return wt_img(fp, OEM_CFG_ADDR, rd_val);
}

// A switch's answer: its bit set (on) or cleared in the stamped word.
bool switch_store(img_t *fp, const switch_row_t *sw, bool on)
{
    return merge_oem_bit(fp, sw->bit, MAGIC_MASK | (on ? sw->bit : 0));
}

// The switch's state as the image holds it: its bit, in a stamped word only.
bool switch_state(img_t *fp, const switch_row_t *sw, bool *on)
{
    uint32_t word;
    if (!rd_img(fp, OEM_CFG_ADDR, &word))
        return false;
    *on = (oem_stamped(word) & sw->bit) != 0;
    return true;
}

// A feature without a value has nothing to enable: its switch stays silent
// while the value word at addr is erased.
bool switch_silent(img_t *fp, uint32_t addr, bool *silent)
{
    uint32_t val;
    if (!rd_img(fp, addr, &val))
        return false;
    *silent = val == INVALID_ID;
    return true;
}

static switch_result_t ask_switch(img_t *fp, const switch_row_t *sw)
{
    yes_no_t answer = ask_yes_no(sw->question);
    if (answer == ANSWER_EOF)
        return SWITCH_INPUT_ENDED;
    // The message follows the write so that it never reports a change
    // that did not reach the file.
    if (!switch_store(fp, sw, answer == ANSWER_YES))
        return SWITCH_FAILED;
    puts(answer == ANSWER_YES ? sw->on : sw->off);
    return SWITCH_DONE;
}

switch_result_t value_switch(img_t *fp, uint32_t addr, const switch_row_t *sw)
{
    bool silent;
    if (!switch_silent(fp, addr, &silent))
        return SWITCH_FAILED;
    if (silent)
        return SWITCH_SILENT;
    return ask_switch(fp, sw);
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
void option_1_switches(img_t *fp, int family)
{
    for (const switch_row_t &sw : SWITCHES) {
        if ((sw.option_1 & FAMILY_BIT(family)) == 0)
            continue;
        switch_result_t r = value_switch(fp, feature_addr(sw.value, family), &sw);
        if (r == SWITCH_FAILED || r == SWITCH_INPUT_ENDED)
            return;
    }
}
