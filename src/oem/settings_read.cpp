// A setting read back from the image, in the notation set takes, for show
// and save.
#include "norvask-oem-cfg.h"

static void reading_number(reading_t *r, num_base_t base, uint32_t v)
{
    r->state = READ_VALUE;
    snprintf(r->text, sizeof r->text, base == BASE_HEX ? "%x" : "%u", v);
}

static void reading_word(reading_t *r, const char *text)
{
    r->state = READ_VALUE;
    snprintf(r->text, sizeof r->text, "%s", text);
}

static bool read_value_word(img_t *img, uint32_t addr, reading_t *r)
{
    r->addr = addr;
    if (!rd_img(img, addr, &r->word))
        return false;
    r->state = r->word == INVALID_ID ? READ_ERASED : READ_OTHER;
    return true;
}

// A word the editor could have stored: no bits outside its store mask, in
// its answer's range.
static void read_word(const feature_t *f, reading_t *r)
{
    if (r->state == READ_OTHER && (r->word & ~f->store_mask) == 0 && (int64_t)r->word >= f->min &&
        (int64_t)r->word <= f->max)
        reading_number(r, f->base, r->word);
}

// The enabled ports the header's port mask names; a mask naming none is
// shown as it is.
static void read_ports(const board_t *b, reading_t *r)
{
    r->addr = PORT_MASK_ADDR;
    r->word = b->port_mask;
    r->state = READ_OTHER;
    if (fw_get_valid_port(b->port_mask) != 0)
        reading_number(r, BASE_DEC, b->cfg.valid_port);
}

bool setting_read(img_t *img, const board_t *b, const setting_t *s, reading_t *r)
{
    if (s->sw != nullptr) {
        bool on;
        if (!switch_state(img, s->sw, &on))
            return false;
        reading_word(r, on ? "yes" : "no");
        return true;
    }
    const feature_t *f = s->feature;
    if (f->kind == FEAT_PORTS) {
        read_ports(b, r);
        return true;
    }
    uint32_t addr = feature_addr(f, b->family);
    if (!read_value_word(img, f->kind == FEAT_YT ? yt_part_addr(addr, s->part) : addr, r))
        return false;
    if (f->kind == FEAT_YT && r->state == READ_OTHER)
        reading_number(r, f->base, yt_part_value(r->word, s->part));
    else if (f->kind == FEAT_ARP && (r->word == SMBUS_ARP_ON || r->word == SMBUS_ARP_OFF))
        reading_word(r, r->word == SMBUS_ARP_ON ? "on" : "off");
    else if (f->kind == FEAT_WORD || f->kind == FEAT_LLDP)
        read_word(f, r);
    return true;
}
