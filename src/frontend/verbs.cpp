// Scripted use: show, set, save and apply, a second front end over the
// dialogue's own rules. A setting is offered where the menu offers its
// editor (the menu rows and their PHY gates), takes its answer's base, range
// and stored bits from the editor's row, and is stored by the same steps the
// dialogue runs (the editors' store, the switches' merge of their bit, the
// ARP, LLDP and port-template steps). Every setting of one set or apply is
// one command: all are checked before anything is written, then written in
// one cycle and synced once, or undone together.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

// Exit statuses of the verbs.
enum { VERB_DONE = 0, VERB_FAILED = 1, VERB_REFUSED = 2, VERB_NO_IMAGE = 3 };

#define NAME_OF(x) #x
static const char *const FAMILY_NAMES[] = {NAME_OF(Vantrel), NAME_OF(Mirolane)};
static_assert(Vantrel == 0 && Mirolane == 1, "family names are indexed by family");

#define PREFIX "norvask_oem_tool: "
#define MSG_USAGE PREFIX "usage: norvask_oem_tool %s\n"
#define MSG_OUTPUT PREFIX "standard output cannot be written\n"
#define MSG_CLOSE PREFIX "closing the image failed after its changes were synced\n"

// ---------------------------------------------------------------- settings
enum setting_kind_t {
    SET_WORD,    // a value word of a word editor
    SET_YT,      // one half of the YT8521S LED words, all four in one editor
    SET_ARP,     // SMBus ARP on or off
    SET_LLDP,    // the LLDP default
    SET_PORTS,   // enabled ports: option 12 answered with (port count - value)
    SET_ENABLE,  // a switch's answer
};

// One setting per answer the dialogue asks. `option` is the menu number of
// its editor in family 0 and family 1 (0: none there); the menu row gives
// the word it works on and the PHY classes it is offered for. The enables
// are asked by option 1 (port disable by option 12), after their values in
// this table, which is in menu order.
typedef struct {
    const char *name;
    setting_kind_t kind;
    int option[2];
    const word_editor_t *editor;  // base, range and stored bits of a number
    const switch_row_t *sw;       // the switch it answers or hands over to
    int half;                     // SET_YT: LED0, LED1, LED2, blink
} setting_t;

static const setting_t SETTINGS[] = {
    {"yt-led0", SET_YT, {2, 0}, &YT_LED_EDITOR, &LED_SWITCH, 0},
    {"yt-led1", SET_YT, {2, 0}, &YT_LED_EDITOR, &LED_SWITCH, 1},
    {"yt-led2", SET_YT, {2, 0}, &YT_LED_EDITOR, &LED_SWITCH, 2},
    {"yt-blink", SET_YT, {2, 0}, &YT_LED_EDITOR, &LED_SWITCH, 3},
    {"led", SET_WORD, {3, 0}, &MV_LED_EDITOR, &LED_SWITCH, 0},
    {"led", SET_WORD, {4, 2}, &INNER_LED_EDITOR, &LED_SWITCH, 0},
    {"led-enable", SET_ENABLE, {1, 1}, nullptr, &LED_SWITCH, 0},
    {"gpio", SET_WORD, {5, 0}, &GPIO_EDITOR, &GPIO_SWITCH, 0},
    {"gpio-enable", SET_ENABLE, {1, 0}, nullptr, &GPIO_SWITCH, 0},
    {"phy-mode", SET_WORD, {6, 0}, &PHY_MODE_EDITOR, &PHY_MODE_SWITCH, 0},
    {"phy-mode-enable", SET_ENABLE, {1, 0}, nullptr, &PHY_MODE_SWITCH, 0},
    {"smbus-arp", SET_ARP, {9, 5}, nullptr, nullptr, 0},
    {"wake-io", SET_WORD, {10, 0}, &WAKE_IO_EDITOR, &WAKE_IO_SWITCH, 0},
    {"wake-io-enable", SET_ENABLE, {1, 0}, nullptr, &WAKE_IO_SWITCH, 0},
    {"lldp", SET_LLDP, {11, 6}, &LLDP_EDITOR, nullptr, 0},
    {"enabled-ports", SET_PORTS, {12, 0}, nullptr, &NETPORT_SWITCH, 0},
    {"port-disable-enable", SET_ENABLE, {12, 0}, nullptr, &NETPORT_SWITCH, 0},
};
#define NSETTINGS (sizeof SETTINGS / sizeof SETTINGS[0])

typedef struct {
    int family;
    char phy;
    sys_ctrl_t cfg;  // port count, enabled ports, WOL, NCSI
    uint32_t port_mask;
    const menu_table_t *menu;
} board_t;

// What one set or apply asks for, by setting.
typedef struct {
    bool named[NSETTINGS];  // given, valid or not
    bool given[NSETTINGS];  // given with a valid value
    int32_t value[NSETTINGS];
    unsigned line[NSETTINGS];  // its line in an apply file, 0 for an argument
} request_t;

static bool read_board(img_t *img, board_t *b)
{
    uint32_t sid = INVALID_ID;
    if (!rd_img(img, SUB_SYS_ID_ADDR, &sid))
        return false;
    b->port_mask = fw_get_port_mask(img);
    fw_decode_config(&b->cfg, sid, b->port_mask);
    b->family = sid_family(sid);
    bool known;
    b->phy = b->family == Mirolane ? mr_phy_class(sid, &known) : vn_phy_class(sid);
    b->menu = b->family == Mirolane ? &mr_menu_table : &vn_menu_table;
    return img_failure(img) == IMG_OK;
}

static bool needs_ports(const setting_t *s)
{
    return s->sw == &NETPORT_SWITCH;
}

// The menu row of the setting's editor on this board, whatever its gate.
static const menu_row_t *editor_row(const setting_t *s, const board_t *b)
{
    int num = s->option[b->family];
    return num == 0 ? nullptr : find_row(b->menu, num);
}

// Offered where the dialogue offers its editor or switch.
static bool available(const setting_t *s, const board_t *b)
{
    const menu_row_t *row = editor_row(s, b);
    return row != nullptr && gate_passes(row, b->phy) && (!needs_ports(s) || board_ports_supported(b->cfg.port_num));
}

static uint32_t value_addr(const setting_t *s, const board_t *b)
{
    return editor_row(s, b)->addr + (s->kind == SET_YT ? (uint32_t)(s->half / 2) * IMG_WORD_SIZE : 0);
}

static bool is_value(const setting_t *s)
{
    return s->kind != SET_ENABLE;
}

// The word whose erasure silences an enable's switch: the word of its value
// editor, found through the menu whatever the PHY class, as option 1 asks
// every switch. False for port disable, whose switch always asks.
static bool silencing_word(const setting_t *en, const board_t *b, uint32_t *addr)
{
    for (const setting_t &s : SETTINGS)
        if (is_value(&s) && s.kind != SET_PORTS && s.sw == en->sw && editor_row(&s, b) != nullptr) {
            *addr = editor_row(&s, b)->addr;
            return true;
        }
    return false;
}

// The enable that answers switch sw on this board, -1 if none.
static int enable_of(const switch_row_t *sw, const board_t *b)
{
    for (size_t i = 0; i < NSETTINGS; i++)
        if (SETTINGS[i].kind == SET_ENABLE && SETTINGS[i].sw == sw && available(&SETTINGS[i], b))
            return (int)i;
    return -1;
}

// Whether a value setting of switch sw is named on this board.
static bool value_named(const request_t *rq, const switch_row_t *sw, const board_t *b)
{
    for (size_t i = 0; i < NSETTINGS; i++)
        if (is_value(&SETTINGS[i]) && SETTINGS[i].sw == sw && rq->named[i] && available(&SETTINGS[i], b))
            return true;
    return false;
}

// ---------------------------------------------------------------- values
enum value_check_t { VALUE_OK, VALUE_NOT_NUMBER, VALUE_RANGE, VALUE_NOT_ON_OFF, VALUE_NOT_YES_NO };

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

// One of the two spellings of a state: the state is v.
static bool parse_word(const char *text, const char *a, const char *b, int32_t state, int32_t *v)
{
    if (strcmp(text, a) != 0 && strcmp(text, b) != 0)
        return false;
    *v = state;
    return true;
}

// The range of a number setting: its editor's, or 1 to the port count.
static void value_range(const setting_t *s, const board_t *b, int64_t *lo, int64_t *hi, num_base_t *base)
{
    if (s->kind == SET_PORTS) {
        *lo = 1;
        *hi = b->cfg.port_num;
        *base = BASE_DEC;
        return;
    }
    *lo = s->editor->min;
    *hi = s->editor->max;
    *base = s->editor->base;
}

static value_check_t parse_value(const setting_t *s, const board_t *b, const char *text, int32_t *v)
{
    if (s->kind == SET_ARP)
        return parse_word(text, "on", "1", 1, v) || parse_word(text, "off", "0", 0, v) ? VALUE_OK : VALUE_NOT_ON_OFF;
    if (s->kind == SET_ENABLE)
        return parse_word(text, "yes", "yes", 1, v) || parse_word(text, "no", "no", 0, v) ? VALUE_OK
                                                                                          : VALUE_NOT_YES_NO;
    int64_t lo, hi, n;
    num_base_t base;
    value_range(s, b, &lo, &hi, &base);
    if (!parse_number(text, base, &n))
        return VALUE_NOT_NUMBER;
    if (n < lo || n > hi)
        return VALUE_RANGE;
    *v = (int32_t)n;
    return VALUE_OK;
}

// ---------------------------------------------------------------- refusals
static void refusal_start(unsigned line)
{
    fputs(PREFIX, stderr);
    if (line > 0)
        fprintf(stderr, "line %u: ", line);
}

static void refuse_value(const setting_t *s, const board_t *b, const char *text, value_check_t why, unsigned line)
{
    refusal_start(line);
    int64_t lo, hi;
    num_base_t base;
    switch (why) {
    case VALUE_NOT_ON_OFF:
        fprintf(stderr, "%s: '%s' is not on or off\n", s->name, text);
        return;
    case VALUE_NOT_YES_NO:
        fprintf(stderr, "%s: '%s' is not yes or no\n", s->name, text);
        return;
    default:
        break;
    }
    value_range(s, b, &lo, &hi, &base);
    const char *kind = base == BASE_HEX ? "hexadecimal" : "decimal";
    if (why == VALUE_NOT_NUMBER)
        fprintf(stderr, "%s: '%s' is not a %s number\n", s->name, text, kind);
    else if (base == BASE_HEX)
        fprintf(stderr, "%s: '%s' is out of range, %llx to %llx\n", s->name, text, (long long)lo, (long long)hi);
    else
        fprintf(stderr, "%s: '%s' is out of range, %lld to %lld\n", s->name, text, (long long)lo, (long long)hi);
}

// One NAME=VALUE, from an argument or a line of an apply file.
typedef struct {
    const char *text;
    unsigned line;
} item_t;

// The setting named by the first len characters of name that is offered on
// this board, -1 if none. *known: the name exists; *ports: it is offered
// here but for the board's port count.
static int find_setting(const char *name, int len, const board_t *b, bool *known, bool *ports)
{
    *known = *ports = false;
    for (size_t i = 0; i < NSETTINGS; i++) {
        const setting_t *s = &SETTINGS[i];
        if ((int)strlen(s->name) != len || strncmp(s->name, name, (size_t)len) != 0)
            continue;
        *known = true;
        if (available(s, b))
            return (int)i;
        const menu_row_t *row = editor_row(s, b);
        *ports = *ports || (row != nullptr && gate_passes(row, b->phy) && needs_ports(s));
    }
    return -1;
}

// Finds the setting of an item for this board and checks its value; a
// refusal names the setting. Needs nothing of the image but the board.
static bool take_item(const item_t *it, const board_t *b, request_t *rq)
{
    const char *eq = strchr(it->text, '=');
    if (eq == nullptr || eq == it->text) {
        refusal_start(it->line);
        fprintf(stderr, "'%s' is not SETTING=VALUE\n", it->text);
        return false;
    }
    int len = (int)(eq - it->text);
    bool known, ports;
    int found = find_setting(it->text, len, b, &known, &ports);
    if (found < 0) {
        refusal_start(it->line);
        if (!known)
            fprintf(stderr, "%.*s: unknown setting\n", len, it->text);
        else if (ports)
            fprintf(stderr, "%.*s: not available on a board with %u ports\n", len, it->text, b->cfg.port_num);
        else
            fprintf(stderr, "%.*s: not available on family %d (%s), PHY class %c\n", len, it->text, b->family,
                    FAMILY_NAMES[b->family], b->phy);
        return false;
    }
    const setting_t *s = &SETTINGS[found];
    if (rq->named[found]) {
        refusal_start(it->line);
        fprintf(stderr, "%s: given twice\n", s->name);
        return false;
    }
    rq->named[found] = true;
    rq->line[found] = it->line;
    value_check_t why = parse_value(s, b, eq + 1, &rq->value[found]);
    if (why != VALUE_OK) {
        refuse_value(s, b, eq + 1, why, it->line);
        return false;
    }
    rq->given[found] = true;
    return true;
}

// ---------------------------------------------------------------- image checks
// The four YT answers: each one given, else the half its word holds now.
static bool yt_answers(img_t *img, const board_t *b, const request_t *rq, int32_t answers[2 * YT_LED_WORDS],
                       uint32_t *addr)
{
    uint32_t words[YT_LED_WORDS];
    for (size_t i = 0; i < NSETTINGS; i++) {
        const setting_t *s = &SETTINGS[i];
        if (s->kind != SET_YT)
            continue;
        *addr = editor_row(s, b)->addr;
        if (!rd_img_words(img, *addr, words, YT_LED_WORDS))
            return false;
        answers[s->half] = rq->given[i] ? rq->value[i]
                                        : (int32_t)field_get(words[s->half / 2], s->half % 2 ? HIGH_HALF : LOW_HALF);
    }
    return true;
}

// Whether the value given for switch sw leaves its word erased, so that the
// switch would stay silent (only the YT answers ffff, ffff can).
static bool leaves_erased(img_t *img, const board_t *b, const request_t *rq, const switch_row_t *sw, bool *erased)
{
    *erased = false;
    for (size_t i = 0; i < NSETTINGS; i++) {
        const setting_t *s = &SETTINGS[i];
        if (!is_value(s) || s->sw != sw || !rq->given[i] || !available(s, b))
            continue;
        if (s->kind == SET_YT) {
            int32_t answers[2 * YT_LED_WORDS];
            uint32_t addr, words[YT_LED_WORDS];
            if (!yt_answers(img, b, rq, answers, &addr))
                return false;
            yt_led_words(answers, words);
            *erased = words[0] == INVALID_ID;
        } else {
            *erased = editor_store_value(s->editor, rq->value[i]) == INVALID_ID;
        }
        return true;
    }
    return true;
}

// The refusals that depend on the image: an enable whose switch would stay
// silent, port disable without the port count, a template without the
// magic. False when one is found or a word cannot be read.
static bool check_image(img_t *img, const board_t *b, const request_t *rq)
{
    bool ok = true;
    for (size_t i = 0; i < NSETTINGS && img_failure(img) == IMG_OK; i++) {
        const setting_t *s = &SETTINGS[i];
        if (!rq->given[i])
            continue;
        if (s->kind == SET_PORTS) {
            uint32_t first = 0;
            if (!port_template_usable(img, (unsigned)rq->value[i], &first) && img_failure(img) == IMG_OK) {
                refusal_start(rq->line[i]);
                fprintf(stderr, "%s: the port template at 0x%x lacks the header magic, its first word is 0x%x\n",
                        s->name, PORT_TEMPLATES[rq->value[i] - 1], first);
                ok = false;
            }
            continue;
        }
        if (s->kind != SET_ENABLE)
            continue;
        uint32_t addr;
        bool with_value = value_named(rq, s->sw, b), erased = false;
        if (!silencing_word(s, b, &addr)) {
            if (!with_value) {
                refusal_start(rq->line[i]);
                fprintf(stderr, "%s: only with enabled-ports\n", s->name);
                ok = false;
            }
            continue;
        }
        if (!(with_value ? leaves_erased(img, b, rq, s->sw, &erased) : switch_silent(img, addr, &erased)))
            break;
        if (erased) {
            refusal_start(rq->line[i]);
            fprintf(stderr, with_value ? "%s: the value given leaves its word erased, there is nothing to enable\n"
                                       : "%s: its value word is erased, there is nothing to enable\n",
                    s->name);
            ok = false;
        }
    }
    return ok && img_failure(img) == IMG_OK;
}

// ---------------------------------------------------------------- writing
// Answers switch sw with its -enable when given, else with the state it has
// now, as the dialogue's user would to keep it.
static bool answer_switch(img_t *img, const board_t *b, const request_t *rq, const switch_row_t *sw)
{
    int en = enable_of(sw, b);
    bool on;
    if (en >= 0 && rq->given[en])
        on = rq->value[en] != 0;
    else if (!switch_state(img, sw, &on))
        return false;
    return switch_store(img, sw, on);
}

// The switch after a value editor, silent while the value word is erased.
static bool after_value(img_t *img, const board_t *b, const request_t *rq, const switch_row_t *sw, uint32_t addr)
{
    bool silent;
    return switch_silent(img, addr, &silent) && (silent || answer_switch(img, b, rq, sw));
}

typedef bool (*run_fn)(img_t *img, const board_t *b, const request_t *rq, size_t i);

static bool run_word(img_t *img, const board_t *b, const request_t *rq, size_t i)
{
    const setting_t *s = &SETTINGS[i];
    uint32_t addr = value_addr(s, b);
    return wt_img(img, addr, editor_store_value(s->editor, rq->value[i])) &&
           after_value(img, b, rq, s->editor->sw, addr);
}

// The four YT answers are one editor, run at the first of them given.
static bool run_yt(img_t *img, const board_t *b, const request_t *rq, size_t i)
{
    for (size_t j = 0; j < i; j++)
        if (SETTINGS[j].kind == SET_YT && rq->given[j])
            return true;
    int32_t answers[2 * YT_LED_WORDS];
    uint32_t addr, words[YT_LED_WORDS];
    if (!yt_answers(img, b, rq, answers, &addr))
        return false;
    yt_led_words(answers, words);
    return wt_img_words(img, addr, words, YT_LED_WORDS) && after_value(img, b, rq, SETTINGS[i].sw, addr);
}

static bool run_arp(img_t *img, const board_t *b, const request_t *rq, size_t i)
{
    return smbus_arp_store(img, value_addr(&SETTINGS[i], b), rq->value[i] != 0);
}

static bool run_lldp(img_t *img, const board_t *b, const request_t *rq, size_t i)
{
    return lldp_store(img, value_addr(&SETTINGS[i], b), rq->value[i]);
}

static bool run_ports(img_t *img, const board_t *b, const request_t *rq, size_t i)
{
    return port_template_copy(img, (unsigned)rq->value[i], stderr) && answer_switch(img, b, rq, SETTINGS[i].sw);
}

// An enable without its value is option 1 answering that switch alone; with
// its value, the value's editor answers it.
static bool run_enable(img_t *img, const board_t *b, const request_t *rq, size_t i)
{
    return value_named(rq, SETTINGS[i].sw, b) || switch_store(img, SETTINGS[i].sw, rq->value[i] != 0);
}

static const run_fn RUNS[] = {run_word, run_yt, run_arp, run_lldp, run_ports, run_enable};  // by kind

// Option 1 first, then the editors in menu order.
static bool run_request(img_t *img, const board_t *b, const request_t *rq)
{
    static const bool PASSES[] = {true, false};
    for (bool option_1 : PASSES)
        for (size_t i = 0; i < NSETTINGS; i++)
            if (rq->given[i] && (SETTINGS[i].kind == SET_ENABLE) == option_1 && !RUNS[SETTINGS[i].kind](img, b, rq, i))
                return false;
    return true;
}

#define HEADER_BYTES (IMG_HEADER_WORDS * IMG_WORD_SIZE)

typedef struct {
    int ports;         // the enabled ports of the template copied, if any
    bool header_told;  // the header block is one line, however many words changed
} change_list_t;

// One word a dry run changed; the header block as the template it became.
static void print_change(uint32_t addr, uint32_t before, uint32_t now, void *ctx)
{
    change_list_t *list = (change_list_t *)ctx;
    if (addr - IMG_HEADER_ADDR >= HEADER_BYTES) {
        printf("0x%x : 0x%x -> 0x%x\n", addr, before, now);
    } else if (!list->header_told) {
        printf("0x%x-0x%x : header block -> template for %d enabled ports\n", IMG_HEADER_ADDR,
               IMG_HEADER_ADDR + HEADER_BYTES - 1, list->ports);
        list->header_told = true;
    }
}

static img_t s_img;

// Opens, locks and checks the image and reads the board.
static int open_for_verb(const char *path, board_t *b)
{
    if (!open_image(&s_img, path, stderr))
        return VERB_NO_IMAGE;
    if (!img_cycle_begin(&s_img)) {
        fputs(MSG_OPEN_FAIL, stderr);
    } else if (!read_board(&s_img, b)) {
        fputs(MSG_READ_FAIL, stderr);
    } else {
        return VERB_DONE;
    }
    img_end(&s_img);
    return VERB_NO_IMAGE;
}

// A failed write or read: the whole command is undone.
static int undo_failed(void)
{
    report_failure(&s_img, stderr);
    img_end(&s_img);
    return VERB_FAILED;
}

// One set or apply: every item checked, then all written in one cycle and
// synced once, or nothing.
static int set_items(const char *path, const item_t *items, size_t n, bool dry_run)
{
    board_t b;
    int status = open_for_verb(path, &b);
    if (status != VERB_DONE)
        return status;
    static request_t rq;
    memset(&rq, 0, sizeof rq);
    bool ok = true;
    for (size_t i = 0; i < n; i++)
        ok = take_item(&items[i], &b, &rq) && ok;
    ok = check_image(&s_img, &b, &rq) && ok;
    if (img_failure(&s_img) != IMG_OK) {
        fputs(MSG_READ_FAIL, stderr);
        img_end(&s_img);
        return VERB_NO_IMAGE;
    }
    if (!ok) {
        img_end(&s_img);
        return VERB_REFUSED;
    }
    s_img.dry_run = dry_run;
    bool written = run_request(&s_img, &b, &rq);
    if (con_interrupted() != 0) {
        fputs(undo_command(&s_img) == IMG_NOT_RESTORED ? MSG_NOT_RESTORED : MSG_UNDONE, stderr);
        end_by_signal(&s_img, con_interrupted());
    }
    if (!written || !img_cycle_sync(&s_img))
        return undo_failed();
    if (dry_run) {
        change_list_t list = {0, false};
        for (size_t i = 0; i < NSETTINGS; i++)
            if (SETTINGS[i].kind == SET_PORTS && rq.given[i])
                list.ports = rq.value[i];
        img_each_change(&s_img, print_change, &list);
    }
    img_cycle_release(&s_img);
    if (!img_end(&s_img))
        fputs(MSG_CLOSE, stderr);
    return VERB_DONE;
}

// ---------------------------------------------------------------- reading
enum reading_state_t { READ_ERASED, READ_VALUE, READ_OTHER };

// A setting as the image holds it, in the notation set takes; READ_OTHER: a
// word that no value of the setting gives (word, at addr).
typedef struct {
    reading_state_t state;
    uint32_t addr, word;
    char text[16];
} reading_t;

typedef bool (*read_fn)(img_t *img, const board_t *b, const setting_t *s, reading_t *r);

static void reading_number(reading_t *r, num_base_t base, uint32_t v)
{
    r->state = READ_VALUE;
    snprintf(r->text, sizeof r->text, base == BASE_HEX ? "%x" : "%u", v);
}

static bool read_value_word(img_t *img, const board_t *b, const setting_t *s, reading_t *r)
{
    r->addr = value_addr(s, b);
    if (!rd_img(img, r->addr, &r->word))
        return false;
    r->state = r->word == INVALID_ID ? READ_ERASED : READ_OTHER;
    return true;
}

// A word the editor could have stored: no bits outside its store mask, in
// its answer's range.
static bool read_word(img_t *img, const board_t *b, const setting_t *s, reading_t *r)
{
    if (!read_value_word(img, b, s, r))
        return false;
    const word_editor_t *ed = s->editor;
    if (r->state == READ_OTHER && (r->word & ~ed->store_mask) == 0 && (int64_t)r->word >= ed->min &&
        (int64_t)r->word <= ed->max)
        reading_number(r, ed->base, r->word);
    return true;
}

static bool read_yt(img_t *img, const board_t *b, const setting_t *s, reading_t *r)
{
    if (!read_value_word(img, b, s, r))
        return false;
    if (r->state == READ_OTHER)
        reading_number(r, s->editor->base, field_get(r->word, s->half % 2 ? HIGH_HALF : LOW_HALF));
    return true;
}

static bool read_arp(img_t *img, const board_t *b, const setting_t *s, reading_t *r)
{
    if (!read_value_word(img, b, s, r))
        return false;
    if (r->word == SMBUS_ARP_ON || r->word == SMBUS_ARP_OFF) {
        r->state = READ_VALUE;
        snprintf(r->text, sizeof r->text, "%s", r->word == SMBUS_ARP_ON ? "on" : "off");
    }
    return true;
}

// The enabled ports the header's port mask names; a mask naming none is
// shown as it is.
static bool read_ports(img_t *, const board_t *b, const setting_t *, reading_t *r)
{
    r->addr = PORT_MASK_ADDR;
    r->word = b->port_mask;
    r->state = READ_OTHER;
    if (fw_get_valid_port(b->port_mask) != 0)
        reading_number(r, BASE_DEC, b->cfg.valid_port);
    return true;
}

static bool read_enable(img_t *img, const board_t *, const setting_t *s, reading_t *r)
{
    bool on;
    if (!switch_state(img, s->sw, &on))
        return false;
    r->state = READ_VALUE;
    snprintf(r->text, sizeof r->text, "%s", on ? "yes" : "no");
    return true;
}

static const read_fn READS[] = {read_word, read_yt, read_arp, read_word, read_ports, read_enable};  // by kind

// ---------------------------------------------------------------- show
#define MAX_WARNINGS 16
#define WARN_TAG "[Warn]"
#define MSG_OTHER "%s: word 0x%x holds 0x%x, which no value of the setting gives"

typedef struct {
    int n;
    const char *text[MAX_WARNINGS];
    char other[NSETTINGS][96];
} warnings_t;

// The report's warning text without its layout.
static const char *warning_text(const char *text)
{
    while (*text == '\n')
        text++;
    return strncmp(text, WARN_TAG, strlen(WARN_TAG)) == 0 ? text + strlen(WARN_TAG) : text;
}

// JSON string: quotes, backslashes and control characters escaped; bytes
// that are not UTF-8 become U+FFFD, so any path gives valid JSON.
static void json_string(const char *s)
{
    putchar('"');
    for (const unsigned char *p = (const unsigned char *)s; *p != '\0';) {
        unsigned len = *p < 0x80 ? 1 : (*p & 0xE0) == 0xC0 ? 2 : (*p & 0xF0) == 0xE0 ? 3 : (*p & 0xF8) == 0xF0 ? 4 : 0;
        for (unsigned k = 1; k < len; k++)
            if ((p[k] & 0xC0) != 0x80)
                len = 0;
        if (len == 0 || (len == 2 && *p < 0xC2)) {
            fputs("\\ufffd", stdout);
            p++;
        } else if (len > 1) {
            fwrite(p, 1, len, stdout);
            p += len;
        } else {
            if (*p == '"' || *p == '\\')
                printf("\\%c", *p);
            else if (*p < 0x20 || *p == 0x7F)
                printf("\\u%04x", *p);
            else
                putchar(*p);
            p++;
        }
    }
    putchar('"');
}

static bool collect_warnings(const board_t *b, const reading_t *readings, warnings_t *w)
{
    w->n = report_warnings(&s_img, b->family, w->text, MAX_WARNINGS);
    if (w->n < 0)
        return false;
    for (size_t i = 0; i < NSETTINGS; i++)
        if (available(&SETTINGS[i], b) && readings[i].state == READ_OTHER && w->n < MAX_WARNINGS) {
            snprintf(w->other[i], sizeof w->other[i], MSG_OTHER, SETTINGS[i].name, readings[i].addr,
                     readings[i].word);
            w->text[w->n++] = w->other[i];
        }
    return true;
}

static bool read_all(const board_t *b, reading_t *readings)
{
    for (size_t i = 0; i < NSETTINGS; i++)
        if (available(&SETTINGS[i], b) && !READS[SETTINGS[i].kind](&s_img, b, &SETTINGS[i], &readings[i]))
            return false;
    return true;
}

static void show_text(const char *path, const board_t *b, const reading_t *readings, const warnings_t *w,
                      const uint32_t *words, uint32_t lldp)
{
    fputs("image                ", stdout);
    print_path(path);
    printf("\nfamily               %d (%s)\nphy-class            %c\nports                %u\n"
           "enabled              %u\nwol                  %s\nncsi                 %s\n",
           b->family, FAMILY_NAMES[b->family], b->phy, b->cfg.port_num, b->cfg.valid_port,
           b->cfg.wol ? "yes" : "no", b->cfg.ncsi ? "yes" : "no");
    for (size_t i = 0; i < NSETTINGS; i++) {
        if (!available(&SETTINGS[i], b))
            continue;
        const reading_t *r = &readings[i];
        if (r->state == READ_VALUE)
            printf("%-20s %s\n", SETTINGS[i].name, r->text);
        else if (r->state == READ_ERASED)
            printf("%-20s (erased)\n", SETTINGS[i].name);
        else
            printf("%-20s (0x%x)\n", SETTINGS[i].name, r->word);
    }
    for (int i = 0; i < w->n; i++)
        printf("warning              %s\n", warning_text(w->text[i]));
    print_oem_words(words, lldp);
}

static void show_json(const char *path, const board_t *b, const reading_t *readings, const warnings_t *w,
                      const uint32_t *words, uint32_t lldp)
{
    fputs("{\"image\": ", stdout);
    json_string(path);
    printf(", \"family\": %d, \"family_name\": ", b->family);
    json_string(FAMILY_NAMES[b->family]);
    printf(", \"phy_class\": \"%c\", \"ports\": %u, \"enabled_ports\": %u, \"wol\": %s, \"ncsi\": %s,\n"
           " \"settings\": {",
           isprint((unsigned char)b->phy) ? b->phy : '?', b->cfg.port_num, b->cfg.valid_port,
           b->cfg.wol ? "true" : "false", b->cfg.ncsi ? "true" : "false");
    const char *sep = "";
    for (size_t i = 0; i < NSETTINGS; i++) {
        if (!available(&SETTINGS[i], b))
            continue;
        printf("%s\n  ", sep);
        json_string(SETTINGS[i].name);
        fputs(": ", stdout);
        if (readings[i].state == READ_VALUE)
            json_string(readings[i].text);
        else
            fputs("null", stdout);
        sep = ",";
    }
    fputs("},\n \"warnings\": [", stdout);
    for (int i = 0; i < w->n; i++) {
        fputs(i > 0 ? ", " : "", stdout);
        json_string(warning_text(w->text[i]));
    }
    fputs("],\n \"words\": {", stdout);
    for (uint32_t i = 0; i <= OEM_LIST_WORDS; i++)
        printf("%s\"0x%x\": \"0x%x\"", i > 0 ? ", " : "",
               i < OEM_LIST_WORDS ? OEM_CFG_ADDR + i * IMG_WORD_SIZE : LLDP_START_ADDR,
               i < OEM_LIST_WORDS ? words[i] : lldp);
    fputs("}}\n", stdout);
}

static int verb_show(char **pos, int, bool json)
{
    board_t b;
    int status = open_for_verb(pos[0], &b);
    if (status != VERB_DONE)
        return status;
    static reading_t readings[NSETTINGS];
    static warnings_t w;
    uint32_t words[OEM_LIST_WORDS], lldp;
    bool ok = read_all(&b, readings) && collect_warnings(&b, readings, &w) &&
              rd_img_words(&s_img, OEM_CFG_ADDR, words, OEM_LIST_WORDS) && rd_img(&s_img, LLDP_START_ADDR, &lldp);
    img_end(&s_img);
    if (!ok) {
        fputs(MSG_READ_FAIL, stderr);
        return VERB_NO_IMAGE;
    }
    (json ? show_json : show_text)(pos[0], &b, readings, &w, words, lldp);
    return VERB_DONE;
}

// ---------------------------------------------------------------- save
// Each value whose word is set, then its -enable where its switch would ask.
// The enabled ports only where the OEM word carries the signature, as option
// 12 always leaves it: applied, they stamp the word.
static int verb_save(char **pos, int, bool)
{
    board_t b;
    int status = open_for_verb(pos[0], &b);
    if (status != VERB_DONE)
        return status;
    static reading_t readings[NSETTINGS];
    uint32_t oem;
    bool ok = read_all(&b, readings) && rd_img(&s_img, OEM_CFG_ADDR, &oem);
    if (ok)
        printf("# norvask_oem_tool %d.%d.%d: family %d (%s), PHY class %c, %u ports\n", OEM_VERSION_MAIN,
               OEM_VERSION_SUB, OEM_VERSION_UPDATE, b.family, FAMILY_NAMES[b.family], b.phy, b.cfg.port_num);
    bool saved[NSETTINGS] = {};
    for (size_t i = 0; i < NSETTINGS && ok; i++) {
        const setting_t *s = &SETTINGS[i];
        const reading_t *r = &readings[i];
        if (!available(s, &b) || r->state == READ_ERASED || (s->kind == SET_PORTS && !oem_is_stamped(oem)))
            continue;
        if (r->state == READ_OTHER) {
            printf("# " MSG_OTHER "; left out\n", s->name, r->addr, r->word);
            continue;
        }
        if (is_value(s)) {
            printf("%s=%s\n", s->name, r->text);
            saved[i] = true;
            continue;
        }
        bool with_value = false, silent = false;
        uint32_t addr;
        for (size_t j = 0; j < i; j++)
            with_value = with_value || (saved[j] && SETTINGS[j].sw == s->sw);
        if (with_value && silencing_word(s, &b, &addr))
            ok = switch_silent(&s_img, addr, &silent);
        if (with_value && !silent && ok)
            printf("%s=%s\n", s->name, r->text);
    }
    img_end(&s_img);
    if (!ok) {
        fputs(MSG_READ_FAIL, stderr);
        return VERB_NO_IMAGE;
    }
    return VERB_DONE;
}

// ---------------------------------------------------------------- set, apply
#define MAX_ITEMS 256
#define SETTINGS_FILE_MAX 65536

static item_t s_items[MAX_ITEMS];

static int verb_set(char **pos, int npos, bool dry_run)
{
    if (npos - 1 > MAX_ITEMS) {
        fprintf(stderr, PREFIX "more than %d settings\n", MAX_ITEMS);
        return VERB_REFUSED;
    }
    for (int i = 1; i < npos; i++)
        s_items[i - 1] = item_t{pos[i], 0};
    return set_items(pos[0], s_items, (size_t)(npos - 1), dry_run);
}

// Reads a whole settings file ("-": standard input) into buf.
static bool read_settings_file(const char *path, char *buf, size_t cap, size_t *len)
{
    int fd = strcmp(path, "-") == 0 ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    *len = 0;
    ssize_t got = 0;
    while (*len < cap && ((got = read(fd, buf + *len, cap - *len)) > 0 || (got < 0 && errno == EINTR)))
        *len += got > 0 ? (size_t)got : 0;
    if (got == 0 && *len == cap) {
        char extra;
        got = read(fd, &extra, 1) == 0 ? 0 : -1;
        errno = got < 0 ? EFBIG : 0;
    }
    int saved = errno;
    if (fd != STDIN_FILENO)
        close(fd);
    errno = saved;
    return got == 0;
}

// A settings file as save writes it: one SETTING=VALUE a line; blank lines
// and lines starting with # are skipped; LF or CR LF line ends.
static int verb_apply(char **pos, int, bool dry_run)
{
    static char buf[SETTINGS_FILE_MAX + 1];
    size_t len;
    if (!read_settings_file(pos[1], buf, SETTINGS_FILE_MAX, &len)) {
        fprintf(stderr, PREFIX "cannot read the settings file: %s\n", strerror(errno));
        return VERB_REFUSED;
    }
    buf[len] = '\0';
    size_t n = 0;
    unsigned line = 0;
    for (char *p = buf, *next; p < buf + len; p = next) {
        line++;
        char *end = (char *)memchr(p, '\n', (size_t)(buf + len - p));
        next = end == nullptr ? buf + len : end + 1;
        end = end == nullptr ? buf + len : end;
        while (end > p && isspace((unsigned char)end[-1]))
            end--;
        *end = '\0';
        while (isspace((unsigned char)*p))
            p++;
        if (*p == '\0' || *p == '#')
            continue;
        if (n == MAX_ITEMS) {
            fprintf(stderr, PREFIX "line %u: more than %d settings\n", line, MAX_ITEMS);
            return VERB_REFUSED;
        }
        s_items[n++] = item_t{p, line};
    }
    return set_items(pos[0], s_items, n, dry_run);
}

// ---------------------------------------------------------------- dispatch
#define HELP_TEXT                                                                                            \
    "Usage:\n"                                                                                               \
    "  norvask_oem_tool -f IMAGE                        edit IMAGE in the menu dialogue (-F the same)\n"     \
    "  norvask_oem_tool -v                              print the version (--version the same)\n"            \
    "  norvask_oem_tool show  IMAGE [--json]            print the board, the settings and the OEM words\n"   \
    "  norvask_oem_tool set   IMAGE SETTING=VALUE... [--dry-run]\n"                                          \
    "                                                   change the settings named, all or nothing\n"         \
    "  norvask_oem_tool save  IMAGE                     print the settings of IMAGE as a settings file\n"    \
    "  norvask_oem_tool apply IMAGE FILE [--dry-run]    set the settings of FILE (- standard input)\n"      \
    "  norvask_oem_tool --help                          this text\n"                                         \
    "\n"                                                                                                     \
    "Settings (each is offered where the menu offers its editor):\n"                                        \
    "  gpio=HEX                  family 0; stored AND ffff (option 5)\n"                                     \
    "  phy-mode=HEX              family 0, PHY class M (option 6)\n"                                         \
    "  led=HEX                   family 0 classes F, C, M (option 3) and I (option 4); family 1 class I\n"   \
    "  yt-led0=HEX yt-led1=HEX yt-led2=HEX yt-blink=HEX\n"                                                   \
    "                            family 0 class Y (option 2); a half not given keeps its value\n"           \
    "  smbus-arp=on|off          on or off, also 1 or 0 (option 9; family 1 option 5)\n"                     \
    "  wake-io=MS                family 0; decimal milliseconds, 1 to 65535 (option 10)\n"                   \
    "  lldp=HEX                  0 to f (option 11; family 1 option 6)\n"                                    \
    "  enabled-ports=N           family 0 boards of 1 to 4 ports; 1 to the port count (option 12)\n"         \
    "  led-enable=yes|no gpio-enable=yes|no phy-mode-enable=yes|no wake-io-enable=yes|no\n"                 \
    "                            the feature's switch (option 1); alone only while its value is set\n"       \
    "  port-disable-enable=yes|no  the switch of option 12, only with enabled-ports\n"                      \
    "A value given without its -enable keeps the switch as it is. HEX may start with 0x.\n"                  \
    "\n"                                                                                                     \
    "Exit status: 0 done; 1 a write failed and every change was undone; 2 refused settings or\n"           \
    "bad usage, nothing written; 3 the image cannot be opened, locked or read, or is too short.\n"          \
    "\n"                                                                                                     \
    "Examples:\n"                                                                                            \
    "  norvask_oem_tool set board.img gpio=1a2b gpio-enable=yes wake-io=250\n"                               \
    "  norvask_oem_tool save golden.img > golden.cfg\n"                                                      \
    "  for f in line/*.img; do norvask_oem_tool apply \"$f\" golden.cfg || exit 1; done\n"                   \
    "  norvask_oem_tool show board.img --json | jq -e '.settings.\"gpio-enable\" == \"yes\"'\n"             \
    "  norvask_oem_tool set board.img enabled-ports=2 --dry-run\n"

static int verb_help(char **, int, bool)
{
    fputs(HELP_TEXT, stdout);
    return VERB_DONE;
}

typedef struct {
    const char *word;
    const char *option;  // its one option, NULL: none
    int min_args, max_args;  // IMAGE and the rest
    int (*run)(char **pos, int npos, bool option);
    const char *usage;
} verb_t;

static const verb_t VERBS[] = {
    {"show", "--json", 1, 1, verb_show, "show IMAGE [--json]"},
    {"set", "--dry-run", 1, INT_MAX, verb_set, "set IMAGE SETTING=VALUE... [--dry-run]"},
    {"save", nullptr, 1, 1, verb_save, "save IMAGE"},
    {"apply", "--dry-run", 2, 2, verb_apply, "apply IMAGE FILE [--dry-run]"},
    {"--help", nullptr, 0, 0, verb_help, "--help"},
};

static const verb_t *find_verb(const char *arg)
{
    for (const verb_t &v : VERBS)
        if (strcmp(v.word, arg) == 0)
            return &v;
    return nullptr;
}

bool verb_word(const char *arg)
{
    return find_verb(arg) != nullptr;
}

// Data goes to standard output, refusals and errors to standard error.
int verb_main(int argc, char **argv)
{
    const verb_t *v = find_verb(argv[1]);
    s_img.fd = -1;
    static char *pos[MAX_ITEMS + 2];
    int npos = 0;
    bool option = false, usage_ok = true;
    for (int i = 2; i < argc; i++) {
        if (strncmp(argv[i], "--", 2) != 0) {
            usage_ok = usage_ok && npos < MAX_ITEMS + 2;
            if (usage_ok)
                pos[npos++] = argv[i];
            continue;
        }
        // Its own option, once.
        usage_ok = usage_ok && v->option != nullptr && strcmp(argv[i], v->option) == 0 && !option;
        option = true;
    }
    int status;
    if (!usage_ok || npos < v->min_args || npos > v->max_args) {
        fprintf(stderr, MSG_USAGE, v->usage);
        status = VERB_REFUSED;
    } else {
        status = v->run(pos, npos, option);
    }
    if (!con_flush() && status == VERB_DONE) {
        fputs(MSG_OUTPUT, stderr);
        status = VERB_FAILED;
    }
    if (con_interrupted() != 0)
        end_by_signal(&s_img, con_interrupted());
    return status;
}
