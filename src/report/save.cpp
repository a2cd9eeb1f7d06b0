// The scripted save: the image's settings as a settings file that apply
// takes. Applied to an image of the same board whose OEM area and LLDP word
// are erased, it gives back every word a sequence of settings can produce;
// each word it cannot carry gets a # line that says so.
#include "norvask-oem-cfg.h"

#include <cstring>

#define AREA_WORDS ((OEM_CFG_END_ADDR - OEM_CFG_ADDR) / IMG_WORD_SIZE + 1)

typedef struct {
    img_t *img;
    const board_t *b;
    bool valued[NSWITCHES];    // a value printed hands over to switch i
    bool covered[AREA_WORDS];  // words of the OEM area a printed setting carries
    bool stamps;               // applying what was printed stamps the OEM word
    uint32_t carried;          // OEM word bits applying what was printed sets
    uint32_t oem;
    bool header_differs;  // enabled-ports copies a template over another header block
} save_t;

static void cover(save_t *sv, uint32_t addr)
{
    if (addr >= OEM_CFG_ADDR && addr <= OEM_CFG_END_ADDR)
        sv->covered[(addr - OEM_CFG_ADDR) / IMG_WORD_SIZE] = true;
}

// An enable, after the value that hands over to its switch, where that
// switch would ask.
static bool save_enable(save_t *sv, const switch_row_t *sw, const reading_t *r)
{
    bool silent = false;
    if (!sv->valued[sw - SWITCHES])
        return true;
    if (sw->silenced && !switch_silent(sv->img, feature_addr(sw->value, sv->b->family), &silent))
        return false;
    if (!silent) {
        printf("%s=%s\n", sw->enable, r->text);
        sv->carried |= r->text[0] == 'y' ? sw->bit : 0;
    }
    return true;
}

// The header block a port count copies: the template, compared whole.
static bool save_ports(save_t *sv, const reading_t *r)
{
    const board_t *b = sv->b;
    if (r->state == READ_OTHER) {
        printf(
            "# %s: word 0x%x holds port mask 0x%x, which no value of the setting gives; left out\n",
            FEATURES[F_PORTS].names[0], r->addr, r->word);
        return true;
    }
    if (!oem_is_stamped(sv->oem)) {
        if (b->cfg.valid_port != b->cfg.port_num)
            printf(
                "# 0x%x holds port mask 0x%x (%u of %u ports), which no setting gives under an OEM word without the signature; left out\n",
                r->addr, r->word, b->cfg.valid_port, b->cfg.port_num);
        return true;
    }
    uint32_t head[IMG_HEADER_WORDS], tmpl[IMG_HEADER_WORDS];
    if (!rd_img_words(sv->img, IMG_HEADER_ADDR, head, IMG_HEADER_WORDS) ||
        !rd_img_words(sv->img, PORT_TEMPLATES[b->cfg.valid_port - 1], tmpl, IMG_HEADER_WORDS))
        return false;
    printf("%s=%s\n", FEATURES[F_PORTS].names[0], r->text);
    sv->valued[S_NETPORT] = true;
    sv->header_differs = memcmp(head, tmpl, sizeof head) != 0;
    return true;
}

// One value: printed when a setting gives its word, else said why not.
static bool save_value(save_t *sv, const setting_t *s, const reading_t *r)
{
    const feature_t *f = s->feature;
    cover(sv, r->addr);
    if (f->kind == FEAT_YT)
        cover(sv, yt_part_addr(feature_addr(f, sv->b->family), YT_PARTS - 1));
    if (f->kind == FEAT_PORTS)
        return save_ports(sv, r);
    if (r->state == READ_OTHER)
        printf("# %s: word 0x%x holds 0x%x, which no value of the setting gives; left out\n",
               setting_name(s), r->addr, r->word);
    if (r->state != READ_VALUE)
        return true;
    printf("%s=%s\n", setting_name(s), r->text);
    if (f->sw != nullptr)
        sv->valued[f->sw - SWITCHES] = true;
    // Only YT halves that leave the first word erased keep its switch silent.
    sv->stamps = sv->stamps || f->kind != FEAT_YT || s->part < 2;
    sv->carried |= f->kind == FEAT_ARP ? SMBUS_ARP_OEM_EN : 0;
    return true;
}

// The OEM word: its signature, and each bit no printed setting sets again.
static void save_oem_word(const save_t *sv)
{
    const uint32_t oem = sv->oem;
    if (!oem_is_stamped(oem)) {
        if (sv->stamps)
            printf(
                "# 0x%x holds 0x%x, without the signature, which the settings above stamp into it\n",
                OEM_CFG_ADDR, oem);
        else if (oem != INVALID_ID)
            printf("# 0x%x holds 0x%x, without the signature, which no setting gives; left out\n",
                   OEM_CFG_ADDR, oem);
        return;
    }
    for (unsigned bit = 16; bit < 32; bit++) {
        uint32_t m = 1u << bit;
        if ((oem & m) != 0 && (sv->carried & m) == 0)
            printf("# 0x%x bit %u is set, which no setting saved here sets; left out\n",
                   OEM_CFG_ADDR, bit);
        else if ((oem & m) == 0 && (sv->carried & m) != 0)
            printf("# 0x%x bit %u is clear, which the settings above set\n", OEM_CFG_ADDR, bit);
    }
}

bool save_settings(img_t *img, const board_t *b)
{
    save_t sv = {img, b, {}, {}, false, MAGIC_MASK, 0, false};
    // Every part of the image save reads, read before a line is printed: a
    // read that fails leaves no half settings file behind.
    uint32_t area[AREA_WORDS], lldp, tmpl;
    if (!rd_img_words(img, OEM_CFG_ADDR, area, AREA_WORDS) ||
        !rd_img(img, LLDP_START_ADDR, &lldp) || !rd_img(img, ENABLE_FOUR_PORTS, &tmpl))
        return false;
    sv.oem = area[0];
    printf("# %s %d.%d.%d: family %d (%s), PHY class %c, %u ports\n", TOOL_NAME, OEM_VERSION_MAIN,
           OEM_VERSION_SUB, OEM_VERSION_UPDATE, b->family, family_name(b->family), b->phy,
           b->cfg.port_num);
    setting_t all[MAX_SETTINGS];
    int n = settings_all(all);
    for (int i = 0; i < n; i++) {
        reading_t r;
        if (!setting_offered(&all[i], b))
            continue;
        if (!setting_read(img, b, &all[i], &r) ||
            !(all[i].sw != nullptr ? save_enable(&sv, all[i].sw, &r)
                                   : save_value(&sv, &all[i], &r)))
            return false;
    }
    save_oem_word(&sv);
    for (uint32_t i = 1; i < AREA_WORDS; i++)
        if (!sv.covered[i] && area[i] != INVALID_ID)
            printf("# 0x%x holds 0x%x, a word no setting of this board writes; left out\n",
                   OEM_CFG_ADDR + i * IMG_WORD_SIZE, area[i]);
    if (sv.header_differs)
        printf(
            "# 0x%x-0x%x: the header block is not the template for %u enabled ports, which %s copies over it\n",
            IMG_HEADER_ADDR, IMG_HEADER_ADDR + IMG_HEADER_WORDS * IMG_WORD_SIZE - 1,
            b->cfg.valid_port, FEATURES[F_PORTS].names[0]);
    return true;
}
