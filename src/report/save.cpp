// The scripted save: the image's settings as a settings file that apply
// takes. Applied to the image with its OEM area and LLDP word erased, it
// gives back every word but those its # lines name: save applies what it
// wrote to such a copy of the image (in memory, never to the file) and
// names each word that comes back otherwise, and why.
#include "norvask-oem-cfg.h"

#include <cstdarg>
#include <cstring>

#define AREA_WORDS ((OEM_CFG_END_ADDR - OEM_CFG_ADDR) / IMG_WORD_SIZE + 1)
#define LLDP_INDEX AREA_WORDS  // the LLDP word after the area's, in named[]
#define SAVE_CAP   8192
#define ITEM_CAP   40

typedef struct {
    img_t *img;
    const board_t *b;
    char text[SAVE_CAP];  // the file, printed only once whole
    size_t len;
    char item_text[MAX_SETTINGS][ITEM_CAP];  // its settings, as apply takes them
    int n;
    bool valued[NSWITCHES];      // a value printed hands over to switch i
    bool named[AREA_WORDS + 1];  // words a # line names
} save_t;

static void add(save_t *sv, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void add(save_t *sv, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(sv->text + sv->len, SAVE_CAP - sv->len, fmt, ap);
    va_end(ap);
    sv->len += n > 0 ? (size_t)n : 0;
    sv->len = sv->len < SAVE_CAP ? sv->len : SAVE_CAP - 1;
}

static void add_setting(save_t *sv, const char *name, const char *value)
{
    add(sv, "%s=%s\n", name, value);
    snprintf(sv->item_text[sv->n++], ITEM_CAP, "%s=%s", name, value);
}

static void name_word(save_t *sv, uint32_t addr)
{
    if (addr >= OEM_CFG_ADDR && addr <= OEM_CFG_END_ADDR)
        sv->named[(addr - OEM_CFG_ADDR) / IMG_WORD_SIZE] = true;
    sv->named[LLDP_INDEX] = sv->named[LLDP_INDEX] || addr == LLDP_START_ADDR;
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
    if (!silent)
        add_setting(sv, sw->enable, r->text);
    return true;
}

// The port count, where it says something: under a stamped OEM word, or
// fewer ports than the board has; only with a template apply can copy.
static bool save_ports(save_t *sv, const reading_t *r, uint32_t oem)
{
    const board_t *b = sv->b;
    const char *name = FEATURES[F_PORTS].names[0];
    uint32_t first;
    if (r->state == READ_OTHER) {
        add(sv,
            "# %s: word 0x%x holds port mask 0x%x, which no value of the setting gives; left out\n",
            name, r->addr, r->word);
        return true;
    }
    if (!oem_is_stamped(oem) && b->cfg.valid_port == b->cfg.port_num)
        return true;
    if (!port_template_usable(sv->img, b->cfg.valid_port, &first)) {
        if (img_failure(sv->img) != IMG_OK)
            return false;
        add(sv,
            "# %s=%s left out: the port template at 0x%x lacks the header magic, so an image with another port count refuses it\n",
            name, r->text, PORT_TEMPLATES[b->cfg.valid_port - 1]);
        return true;
    }
    add_setting(sv, name, r->text);
    sv->valued[S_NETPORT] = true;
    return true;
}

// One value: printed when a setting gives its word, else said why not.
static bool save_value(save_t *sv, const setting_t *s, const reading_t *r, uint32_t oem)
{
    const feature_t *f = s->feature;
    if (f->kind == FEAT_PORTS)
        return save_ports(sv, r, oem);
    if (r->state == READ_OTHER) {
        add(sv, "# %s: word 0x%x holds 0x%x, which no value of the setting gives; left out\n",
            setting_name(s), r->addr, r->word);
        name_word(sv, r->addr);
    }
    if (r->state != READ_VALUE)
        return true;
    add_setting(sv, setting_name(s), r->text);
    if (f->sw != nullptr)
        sv->valued[f->sw - SWITCHES] = true;
    return true;
}

// The settings printed, applied to the image's copy with the OEM area and
// the LLDP word erased; *area and *lldp: the words that gives.
static bool apply_to_erased(save_t *sv, uint32_t area[AREA_WORDS], uint32_t *lldp)
{
    settings_request_t rq;
    memset(&rq, 0, sizeof rq);
    for (uint32_t i = 0; i < AREA_WORDS; i++)
        area[i] = INVALID_ID;
    if (!wt_img_words(sv->img, OEM_CFG_ADDR, area, AREA_WORDS) ||
        !wt_img(sv->img, LLDP_START_ADDR, INVALID_ID))
        return false;
    for (int i = 0; i < sv->n; i++) {
        item_t it = {sv->item_text[i], 0};
        request_take(&rq, &it, sv->b);
    }
    request_check_image(sv->img, sv->b, &rq);
    request_store(sv->img, sv->b, &rq);
    return rd_img_words(sv->img, OEM_CFG_ADDR, area, AREA_WORDS) &&
           rd_img(sv->img, LLDP_START_ADDR, lldp);
}

// One # line for the enable bits of the OEM word in `bits`, each named.
static void add_bits(save_t *sv, uint32_t bits, const char *why)
{
    int n = __builtin_popcount(bits), told = 0;
    if (n == 0)
        return;
    add(sv, "# 0x%x bit%s ", OEM_CFG_ADDR, n > 1 ? "s" : "");
    for (unsigned bit = 16; bit < 32; bit++)
        if ((bits & (1u << bit)) != 0)
            add(sv, "%s%u", told++ == 0 ? "" : told == n ? " and " : ", ", bit);
    add(sv, " %s %s\n", n > 1 ? "are" : "is", why);
}

// The OEM word: its signature, then its enable bits, where it comes back
// otherwise.
static void save_oem_word(save_t *sv, uint32_t was, uint32_t back)
{
    if (!oem_is_stamped(was)) {
        if (oem_is_stamped(back))
            add(sv,
                "# 0x%x holds 0x%x, without the signature, which the settings above stamp into it\n",
                OEM_CFG_ADDR, was);
        else if (was != back)
            add(sv, "# 0x%x holds 0x%x, without the signature, which no setting gives; left out\n",
                OEM_CFG_ADDR, was);
        return;
    }
    if (!oem_is_stamped(back))
        add(sv, "# 0x%x holds the signature, which no setting saved here stamps; left out\n",
            OEM_CFG_ADDR);
    uint32_t lost = was & ~back & ~OEM_SIG_FIELD, gained = ~was & back & ~OEM_SIG_FIELD;
    add_bits(sv, lost, "set, which no setting saved here sets; left out");
    add_bits(sv, gained,
             oem_is_stamped(back) ? "clear, which the settings above set"
                                  : "clear, which no setting saved here clears; left out");
}

bool save_settings(img_t *img, const board_t *b)
{
    static save_t sv;
    memset(&sv, 0, sizeof sv);
    sv.img = img;
    sv.b = b;
    uint32_t area[AREA_WORDS], lldp, back[AREA_WORDS], lldp_back;
    if (!rd_img_words(img, OEM_CFG_ADDR, area, AREA_WORDS) || !rd_img(img, LLDP_START_ADDR, &lldp))
        return false;
    add(&sv, "# %s %d.%d.%d: family %d (%s), PHY class %c, %u ports\n", TOOL_NAME, OEM_VERSION_MAIN,
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
                                   : save_value(&sv, &all[i], &r, area[0])))
            return false;
    }
    if (!apply_to_erased(&sv, back, &lldp_back))
        return false;
    save_oem_word(&sv, area[0], back[0]);
    for (uint32_t i = 1; i <= AREA_WORDS; i++) {
        uint32_t was = i < AREA_WORDS ? area[i] : lldp, now = i < AREA_WORDS ? back[i] : lldp_back;
        if (was != now && !sv.named[i])
            add(&sv, "# 0x%x holds 0x%x, a word no setting of this board writes; left out\n",
                i < AREA_WORDS ? OEM_CFG_ADDR + i * IMG_WORD_SIZE : LLDP_START_ADDR, was);
    }
    if (sv.n == 0)
        add(&sv, "# no setting carries a value of this image; apply refuses a file without one\n");
    fwrite(sv.text, 1, sv.len, stdout);
    return true;
}
