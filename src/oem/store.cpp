// The stores, one per kind of feature: a value word, the YT halves, the ARP
// word, the LLDP default, a port-count template and a switch's bit. The
// dialogue calls them once it has asked, the verbs once they have parsed;
// neither writes a feature's word any other way.
#include "norvask-oem-cfg.h"

// The verbs (a batch or a dry run) write only the words whose value
// changes, so that a setting already in effect writes nothing; the dialogue
// writes every answer, as it always has.
static bool put_words(img_t *img, uint32_t addr, const uint32_t *words, size_t n)
{
    if (!img->batched && !img->dry_run)
        return wt_img_words(img, addr, words, n);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t now, at = addr + i * IMG_WORD_SIZE;
        if (!rd_img(img, at, &now) || (now != words[i] && !wt_img(img, at, words[i])))
            return false;
    }
    return true;
}

static bool put_word(img_t *img, uint32_t addr, uint32_t word)
{
    return put_words(img, addr, &word, 1);
}

// ---------------------------------------------------------------- switches
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
static bool merge_oem_bit(img_t *img, uint32_t bit, uint32_t con_val)
{
    uint32_t rd_val;
    if (!rd_img(img, OEM_CFG_ADDR, &rd_val))
        return false;
    rd_val = (oem_stamped(rd_val) & ~bit) | con_val;
    return put_word(img, OEM_CFG_ADDR, rd_val);
}

// A switch's answer: its bit set (on) or cleared in the stamped word.
bool switch_store(img_t *img, const switch_row_t *sw, bool on)
{
    return merge_oem_bit(img, sw->bit, MAGIC_MASK | (on ? sw->bit : 0));
}

// The switch's state as the image holds it: its bit, in a stamped word only.
bool switch_state(img_t *img, const switch_row_t *sw, bool *on)
{
    uint32_t word;
    if (!rd_img(img, OEM_CFG_ADDR, &word))
        return false;
    *on = (oem_stamped(word) & sw->bit) != 0;
    return true;
}

// A feature without a value has nothing to enable: its switch stays silent
// while the value word at addr is erased.
bool switch_silent(img_t *img, uint32_t addr, bool *silent)
{
    uint32_t val;
    if (!rd_img(img, addr, &val))
        return false;
    *silent = val == INVALID_ID;
    return true;
}

// ---------------------------------------------------------------- value words
// One answer, kept to the bits its word holds; *val: the word written.
bool word_store(img_t *img, const feature_t *f, uint32_t addr, int32_t answer, uint32_t *val)
{
    *val = feature_store_value(f, answer);
    return put_word(img, addr, *val);
}

// The four YT answers, two to a word.
bool yt_store(img_t *img, uint32_t addr, const int32_t answers[YT_PARTS])
{
    uint32_t words[YT_LED_WORDS];
    yt_led_words(answers, words);
    return put_words(img, addr, words, YT_LED_WORDS);
}

// The ARP word holds the state; its switch asks nothing and always sets its
// bit, after the word.
bool smbus_arp_store(img_t *img, uint32_t addr, bool enable)
{
    return put_word(img, addr, enable ? SMBUS_ARP_ON : SMBUS_ARP_OFF) &&
           switch_store(img, &SWITCHES[S_SMBUS_ARP], true);
}

// The LLDP default has no switch: storing it stamps the signature and
// leaves every enable bit as it was.
bool lldp_store(img_t *img, uint32_t addr, int32_t answer)
{
    uint32_t rd_val = 0;
    return put_word(img, addr, feature_store_value(&FEATURES[F_LLDP], answer)) &&
           rd_img(img, OEM_CFG_ADDR, &rd_val) &&
           put_word(img, OEM_CFG_ADDR, oem_stamped(rd_val) | MAGIC_MASK);
}

// ---------------------------------------------------------------- port templates
static uint32_t word_sum(const uint32_t *words, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < n; i++)
        sum += words[i];
    return sum;
}

// Only a template that starts with the image magic holds a header block;
// *first is its first word.
bool port_template_usable(img_t *img, unsigned remaining, uint32_t *first)
{
    return rd_img(img, PORT_TEMPLATES[remaining - 1], first) && *first == IMG_HEADER;
}

// Copies the template for the ports that remain over the header block and
// checks the copy by the sum of its words read back from the file. A
// template without the image magic is refused before anything is written; a
// copy that does not read back as written fails the command, which is then
// undone. Messages go to `msg`; NULL: none (the verbs say the failure in
// their own line).
bool port_template_copy(img_t *img, unsigned remaining, FILE *msg)
{
    uint32_t tmpl[IMG_HEADER_WORDS], back[IMG_HEADER_WORDS];
    if (!port_template_usable(img, remaining, &tmpl[0])) {
        if (img_failure(img) == IMG_OK && msg != nullptr)
            fprintf(msg, "error, img not support, hdr 0x%x!", tmpl[0]);
        return false;
    }
    if (!rd_img_words(img, PORT_TEMPLATES[remaining - 1], tmpl, IMG_HEADER_WORDS))
        return false;
    if (!wt_img_words(img, IMG_HEADER_ADDR, tmpl, IMG_HEADER_WORDS) ||
        !img_reread_words(img, IMG_HEADER_ADDR, back, IMG_HEADER_WORDS))
        return false;
    uint32_t checksum_before = word_sum(tmpl, IMG_HEADER_WORDS);
    uint32_t checksum_after = word_sum(back, IMG_HEADER_WORDS);
    if (checksum_after != checksum_before) {
        if (msg != nullptr)
            fprintf(msg, "\nConfiguration checksum error, please try again, %d, %d\n",
                    (int)checksum_after, (int)checksum_before);
        img_mark_failed(img, IMG_VERIFY_FAIL);
        return false;
    }
    return true;
}
