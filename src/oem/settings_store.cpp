// A set or apply against the image: the refusals that depend on what the
// image holds, then the stores the dialogue's editors and switches use
// (store.cpp), in the dialogue's order. Every setting of one request is one
// command.
#include "norvask-oem-cfg.h"

// The four YT answers: each one given, else the half its word holds now.
static bool yt_answers(img_t *img, uint32_t addr, const settings_request_t *rq,
                       int32_t answers[YT_PARTS])
{
    uint32_t words[YT_LED_WORDS];
    if (!rd_img_words(img, addr, words, YT_LED_WORDS))
        return false;
    const feature_t *yt = &FEATURES[F_YT_LED];
    for (int part = 0; part < YT_PARTS; part++)
        answers[part] = rq->given[feature_slot(yt, part)]
                            ? rq->value[feature_slot(yt, part)]
                            : (int32_t)yt_part_value(words[part / 2], part);
    return true;
}

// Whether the value given leaves its word erased, so that its switch would
// stay silent (only the YT answers ffff, ffff can).
static bool leaves_erased(img_t *img, const board_t *b, const settings_request_t *rq,
                          const feature_t *f, bool *erased)
{
    if (f->kind != FEAT_YT) {
        *erased = feature_store_value(f, rq->value[feature_slot(f, 0)]) == INVALID_ID;
        return true;
    }
    int32_t answers[YT_PARTS];
    uint32_t words[YT_LED_WORDS];
    if (!yt_answers(img, feature_addr(f, b->family), rq, answers))
        return false;
    yt_led_words(answers, words);
    *erased = words[0] == INVALID_ID;
    return true;
}

static void refuse(const settings_request_t *rq, int slot, const char *name, const char *why)
{
    say("%s%s: %s", refusal_at(rq, rq->line[slot]), name, why);
}

// An enable given: its switch must have something to enable.
static bool check_enable(img_t *img, const board_t *b, const settings_request_t *rq,
                         const switch_row_t *sw, bool *ok)
{
    int slot = switch_slot(sw);
    const feature_t *valued = rq->valued[sw - SWITCHES];
    if (!sw->silenced) {
        if (valued == nullptr) {
            refuse(rq, slot, sw->enable, "only with enabled-ports");
            *ok = false;
        }
        return true;
    }
    bool erased = false;
    if (!(valued != nullptr ? leaves_erased(img, b, rq, valued, &erased)
                            : switch_silent(img, feature_addr(sw->value, b->family), &erased)))
        return false;
    if (erased) {
        refuse(rq, slot, sw->enable,
               valued != nullptr
                   ? "the value given leaves its word erased, there is nothing to enable"
                   : "its value word is erased, there is nothing to enable");
        *ok = false;
    }
    return true;
}

// The header already enables the ports asked for: its block is kept.
static bool ports_in_effect(const board_t *b, int32_t ports)
{
    return b->cfg.valid_port == (unsigned)ports;
}

// A port count to copy: its template must hold a header block.
static bool check_ports(img_t *img, const board_t *b, const settings_request_t *rq, int slot,
                        bool *ok)
{
    uint32_t first = 0, remaining = (uint32_t)rq->value[slot];
    if (ports_in_effect(b, rq->value[slot]) || port_template_usable(img, remaining, &first))
        return true;
    if (img_failure(img) != IMG_OK)
        return false;
    say("%s%s: the port template at 0x%x lacks the header magic, its first word is 0x%x",
        refusal_at(rq, rq->line[slot]), FEATURES[F_PORTS].names[0], PORT_TEMPLATES[remaining - 1],
        first);
    *ok = false;
    return true;
}

// The refusals that depend on the image. False when one is found or a word
// cannot be read.
bool request_check_image(img_t *img, const board_t *b, const settings_request_t *rq)
{
    setting_t all[MAX_SETTINGS];
    int n = settings_all(all);
    bool ok = true;
    for (int i = 0; i < n; i++) {
        int slot = setting_slot(&all[i]);
        if (!rq->given[slot])
            continue;
        bool read = all[i].sw != nullptr                 ? check_enable(img, b, rq, all[i].sw, &ok)
                    : all[i].feature->kind == FEAT_PORTS ? check_ports(img, b, rq, slot, &ok)
                                                         : true;
        if (!read)
            return false;
    }
    return ok && img_failure(img) == IMG_OK;
}

// ---------------------------------------------------------------- stores
// Answers switch sw with its enable when given, else with the state it has
// now, as the dialogue's user would to keep it.
static bool answer_switch(img_t *img, const settings_request_t *rq, const switch_row_t *sw)
{
    int slot = switch_slot(sw);
    bool on;
    if (rq->given[slot])
        on = rq->value[slot] != 0;
    else if (!switch_state(img, sw, &on))
        return false;
    return switch_store(img, sw, on);
}

// The switch after a value editor, silent while the value word is erased.
static bool after_value(img_t *img, const settings_request_t *rq, const switch_row_t *sw,
                        uint32_t addr)
{
    bool silent;
    return switch_silent(img, addr, &silent) && (silent || answer_switch(img, rq, sw));
}

// One feature's store, run once for all its parts given.
static bool store_feature(img_t *img, const board_t *b, const settings_request_t *rq,
                          const feature_t *f)
{
    uint32_t addr = feature_addr(f, b->family);
    int32_t value = rq->value[feature_slot(f, 0)];
    uint32_t val;
    int32_t answers[YT_PARTS];
    switch (f->kind) {
    case FEAT_WORD:
        return word_store(img, f, addr, value, &val) && after_value(img, rq, f->sw, addr);
    case FEAT_YT:
        return yt_answers(img, addr, rq, answers) && yt_store(img, addr, answers) &&
               after_value(img, rq, f->sw, addr);
    case FEAT_ARP:
        return smbus_arp_store(img, addr, value != 0);
    case FEAT_LLDP:
        return lldp_store(img, addr, value);
    case FEAT_PORTS:
        return (ports_in_effect(b, value) || port_template_copy(img, (unsigned)value, nullptr)) &&
               answer_switch(img, rq, f->sw);
    }
    return false;
}

static bool feature_given(const settings_request_t *rq, const feature_t *f)
{
    for (int part = 0; part < f->nparts; part++)
        if (rq->given[feature_slot(f, part)])
            return true;
    return false;
}

// Option 1 first (an enable without its value answers its switch alone; with
// its value, the value's editor answers it), then the editors in menu order.
bool request_store(img_t *img, const board_t *b, const settings_request_t *rq)
{
    for (const switch_row_t &sw : SWITCHES)
        if (rq->given[switch_slot(&sw)] && rq->valued[&sw - SWITCHES] == nullptr &&
            !switch_store(img, &sw, rq->value[switch_slot(&sw)] != 0))
            return false;
    for (const feature_t &f : FEATURES)
        if (feature_given(rq, &f) && !store_feature(img, b, rq, &f))
            return false;
    return true;
}
