// The scripted settings over the feature rows: their names, where they are
// offered, and the checks of a NAME=VALUE that need nothing of the image
// but the board. A setting is offered where the menu offers its editor, an
// enable where option 1 runs its switch (port disable's with the port count).
#include "norvask-oem-cfg.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#define SHOWN_AT_CAP (4 * 4096 + 16)

// Every setting in menu order: each feature's values, then the enable of
// the switch that follows it.
int settings_all(setting_t out[MAX_SETTINGS])
{
    int n = 0;
    for (const feature_t &f : FEATURES) {
        for (int part = 0; part < f.nparts; part++)
            out[n++] = setting_t{&f, part, nullptr};
        if (f.sw != nullptr && f.sw->enable != nullptr && f.sw->value == &f)
            out[n++] = setting_t{&f, 0, f.sw};
    }
    return n;
}

const char *setting_name(const setting_t *s)
{
    return s->sw != nullptr ? s->sw->enable : s->feature->names[s->part];
}

// A request's slots: YT_PARTS for each feature row, then one for each switch.
int feature_slot(const feature_t *f, int part)
{
    return (int)(f - FEATURES) * YT_PARTS + part;
}

int switch_slot(const switch_row_t *sw)
{
    return NFEATURES * YT_PARTS + (int)(sw - SWITCHES);
}

int setting_slot(const setting_t *s)
{
    return s->sw != nullptr ? switch_slot(s->sw) : feature_slot(s->feature, s->part);
}

// Where the menu offers it, on a board whose port count it can use.
static bool offered_by_menu(const setting_t *s, const board_t *b)
{
    return feature_offered(s->feature, b->family, b->phy) &&
           (s->feature->kind != FEAT_PORTS || board_ports_supported(b->cfg.port_num));
}

bool setting_offered(const setting_t *s, const board_t *b)
{
    if (s->sw != nullptr && s->sw->option_1 != 0)
        return (s->sw->option_1 & FAMILY_BIT(b->family)) != 0;
    return offered_by_menu(s, b);
}

// ---------------------------------------------------------------- values
enum value_check_t {
    VALUE_OK,
    VALUE_NOT_NUMBER,
    VALUE_RANGE,
    VALUE_BITS,
    VALUE_NOT_ON_OFF,
    VALUE_NOT_YES_NO
};

// Digits of the base only (hexadecimal may start with 0x), an optional
// minus sign; nothing before or after.
static bool parse_number(const char *text, num_base_t base, int64_t *v)
{
    if (*text == '\0' || isspace((unsigned char)*text) || *text == '+')
        return false;
    char *end;
    errno = 0;
    long long n = strtoll(text, &end, (int)base);
    if (end == text || *end != '\0')
        return false;
    *v = errno == ERANGE ? LLONG_MAX : n;
    return true;
}

// A switch's answer, and the ARP's: the spellings people write for on and
// off, in any case.
static bool parse_state(const char *text, int32_t *v)
{
    static const char *const ON[] = {"yes", "y", "on", "true", "1"};
    static const char *const OFF[] = {"no", "n", "off", "false", "0"};
    for (size_t i = 0; i < sizeof ON / sizeof ON[0]; i++) {
        if (strcasecmp(text, ON[i]) == 0 || strcasecmp(text, OFF[i]) == 0) {
            *v = strcasecmp(text, ON[i]) == 0;
            return true;
        }
    }
    return false;
}

// The largest value a number setting takes: its feature's, cut to what its
// word keeps, the port count's up to the board's.
static int64_t range_max(const setting_t *s, const board_t *b)
{
    return s->feature->kind == FEAT_PORTS ? b->cfg.port_num : feature_kept_max(s->feature);
}

// Only a value the word keeps as given is taken: a script that asks for
// 12345 must not get 2345 written.
static value_check_t parse_value(const setting_t *s, const board_t *b, const char *text, int32_t *v)
{
    if (s->sw != nullptr)
        return parse_state(text, v) ? VALUE_OK : VALUE_NOT_YES_NO;
    const feature_t *f = s->feature;
    if (f->kind == FEAT_ARP)
        return parse_state(text, v) ? VALUE_OK : VALUE_NOT_ON_OFF;
    int64_t n;
    if (!parse_number(text, f->base, &n))
        return VALUE_NOT_NUMBER;
    if (n < f->min || n > range_max(s, b))
        return VALUE_RANGE;
    if (((uint32_t)n & ~f->store_mask) != 0)
        return VALUE_BITS;
    *v = (int32_t)n;
    return VALUE_OK;
}

// ---------------------------------------------------------------- refusals
const char *refusal_at(const settings_request_t *rq, unsigned line)
{
    static char at[SHOWN_AT_CAP];
    at[0] = '\0';
    if (rq->file != nullptr)
        snprintf(at, sizeof at, "%s:%u: ", shown(rq->file, -1), line);
    return at;
}

static void refuse_value(const settings_request_t *rq, const setting_t *s, const board_t *b,
                         const char *text, value_check_t why, unsigned line)
{
    bool hex = s->sw == nullptr && s->feature->base == BASE_HEX;
    char rule[48] = "";
    if (why == VALUE_NOT_NUMBER)
        snprintf(rule, sizeof rule, "is not a %s number", hex ? "hexadecimal" : "decimal");
    else if (why == VALUE_RANGE)
        snprintf(rule, sizeof rule,
                 hex ? "is out of range, %llx to %llx" : "is out of range, %lld to %lld",
                 (long long)s->feature->min, (long long)range_max(s, b));
    else if (why == VALUE_BITS)
        snprintf(rule, sizeof rule, "has bits outside %#x", s->feature->store_mask);
    say("%s%s: '%s' %s", refusal_at(rq, line), setting_name(s), shown(text, -1),
        why == VALUE_NOT_ON_OFF   ? "is not on or off"
        : why == VALUE_NOT_YES_NO ? "is not yes or no"
                                  : rule);
}

// The setting named by the first len characters of name that is offered on
// this board; false if none. *known: the name exists; *ports: it is offered
// here but for the board's port count.
static bool find_setting(const char *name, int len, const board_t *b, setting_t *found, bool *known,
                         bool *ports)
{
    setting_t all[MAX_SETTINGS];
    int n = settings_all(all);
    *known = *ports = false;
    for (int i = 0; i < n; i++) {
        const char *s = setting_name(&all[i]);
        if ((int)strlen(s) != len || strncmp(s, name, (size_t)len) != 0)
            continue;
        *known = true;
        if (setting_offered(&all[i], b)) {
            *found = all[i];
            return true;
        }
        *ports = *ports || (all[i].feature->kind == FEAT_PORTS &&
                            feature_offered(all[i].feature, b->family, b->phy));
    }
    return false;
}

bool setting_named(const settings_request_t *rq, const char *name, int len, unsigned line,
                   const board_t *b, setting_t *s)
{
    bool known, ports;
    if (find_setting(name, len, b, s, &known, &ports))
        return true;
    const char *at = refusal_at(rq, line), *what = shown(name, len);
    if (known && ports) {
        say("%s%s: not available on a board with %u ports", at, what, b->cfg.port_num);
    } else if (known) {
        say("%s%s: not available on family %d (%s), PHY class %c", at, what, b->family,
            family_name(b->family), isprint((unsigned char)b->phy) ? b->phy : '?');
    } else {
        setting_t all[MAX_SETTINGS];
        const char *names[MAX_SETTINGS];
        int n = settings_all(all);
        for (int i = 0; i < n; i++)
            names[i] = setting_name(&all[i]);
        const char *near = nearest_word(name, len, names, n);
        say("%s%s: unknown setting%s%s%s", at, what, near != nullptr ? "; did you mean '" : "",
            near != nullptr ? near : "", near != nullptr ? "'?" : "");
    }
    return false;
}

void setting_text(const setting_t *s, int32_t value, char text[16])
{
    const feature_t *f = s->feature;
    if (s->sw != nullptr || f->kind == FEAT_ARP)
        snprintf(text, 16, "%s",
                 value == 0         ? (s->sw != nullptr ? "no" : "off")
                 : s->sw != nullptr ? "yes"
                                    : "on");
    else
        snprintf(text, 16, f->base == BASE_HEX ? "%x" : "%u", (uint32_t)value);
}

// Finds the setting of an item for this board and checks its value; a
// refusal names the setting.
bool request_take(settings_request_t *rq, const item_t *it, const board_t *b)
{
    const char *eq = strchr(it->text, '=');
    if (eq == nullptr || eq == it->text) {
        say("%s'%s' is not SETTING=VALUE", refusal_at(rq, it->line), shown(it->text, -1));
        return false;
    }
    setting_t s;
    if (!setting_named(rq, it->text, (int)(eq - it->text), it->line, b, &s))
        return false;
    int slot = setting_slot(&s);
    if (rq->named[slot]) {
        say("%s%s: given twice", refusal_at(rq, it->line), setting_name(&s));
        return false;
    }
    rq->named[slot] = true;
    rq->line[slot] = it->line;
    value_check_t why = parse_value(&s, b, eq + 1, &rq->value[slot]);
    if (why != VALUE_OK) {
        refuse_value(rq, &s, b, eq + 1, why, it->line);
        return false;
    }
    rq->given[slot] = true;
    if (s.sw == nullptr && s.feature->sw != nullptr)
        rq->valued[s.feature->sw - SWITCHES] = s.feature;
    return true;
}
