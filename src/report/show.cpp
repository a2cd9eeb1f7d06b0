// The scripted show: the board, every setting offered on it, the warnings
// the dialogue would print and the raw OEM words, as text or as JSON.
#include "norvask-oem-cfg.h"

#include <cctype>
#include <cstring>

#define MAX_WARNINGS 24
#define WARN_TAG     "[Warn]"

typedef struct {
    int n;
    char text[MAX_WARNINGS][96];
} warnings_t;

typedef struct {
    int n;
    setting_t s[MAX_SETTINGS];
    reading_t r[MAX_SETTINGS];
    warnings_t w;
    uint32_t words[OEM_LIST_WORDS], lldp;
} shown_t;

// A report warning without its layout.
static void add_warning(warnings_t *w, const char *text)
{
    while (*text == '\n')
        text++;
    if (strncmp(text, WARN_TAG, strlen(WARN_TAG)) == 0)
        text += strlen(WARN_TAG);
    if (w->n < MAX_WARNINGS)
        snprintf(w->text[w->n++], sizeof w->text[0], "%s", text);
}

// A file without the image magic first, the board's warnings, the
// report's, then each word no value gives.
static bool collect(img_t *img, const board_t *b, shown_t *sh)
{
    char board[4][BOARD_WARNING_LEN];
    const char *report[MAX_WARNINGS];
    uint32_t word0;
    int nb = board_warnings(b, board, 4);
    int nr = report_warnings(img, b->family, report, MAX_WARNINGS);
    if (nr < 0 || !rd_img(img, IMG_HEADER_ADDR, &word0))
        return false;
    sh->w.n = 0;
    if (word0 != IMG_HEADER)
        snprintf(sh->w.text[sh->w.n++], sizeof sh->w.text[0], MSG_NOT_MAGIC, word0, IMG_HEADER);
    for (int i = 0; i < nb; i++)
        add_warning(&sh->w, board[i]);
    for (int i = 0; i < nr; i++)
        add_warning(&sh->w, report[i]);
    setting_t all[MAX_SETTINGS];
    int n = settings_all(all);
    sh->n = 0;
    for (int i = 0; i < n; i++) {
        if (!setting_offered(&all[i], b))
            continue;
        reading_t *r = &sh->r[sh->n];
        sh->s[sh->n++] = all[i];
        if (!setting_read(img, b, &all[i], r))
            return false;
        if (r->state == READ_OTHER && sh->w.n < MAX_WARNINGS)
            snprintf(sh->w.text[sh->w.n++], sizeof sh->w.text[0],
                     "%s: word 0x%x holds 0x%x, which no value of the setting gives",
                     setting_name(&all[i]), r->addr, r->word);
    }
    return rd_img_words(img, OEM_CFG_ADDR, sh->words, OEM_LIST_WORDS) &&
           rd_img(img, LLDP_START_ADDR, &sh->lldp);
}

static void show_text(const char *path, const board_t *b, const shown_t *sh)
{
    fputs("image                ", stdout);
    print_path(path);
    printf("\nfamily               %d (%s)\nphy-class            %c\nports                %u\n"
           "enabled              %u\nwol                  %s\nncsi                 %s\n",
           b->family, family_name(b->family), b->phy, b->cfg.port_num, b->cfg.valid_port,
           b->cfg.wol ? "yes" : "no", b->cfg.ncsi ? "yes" : "no");
    for (int i = 0; i < sh->n; i++) {
        const reading_t *r = &sh->r[i];
        if (r->state == READ_VALUE)
            printf("%-20s %s\n", setting_name(&sh->s[i]), r->text);
        else if (r->state == READ_ERASED)
            printf("%-20s (erased)\n", setting_name(&sh->s[i]));
        else
            printf("%-20s (0x%x)\n", setting_name(&sh->s[i]), r->word);
    }
    for (int i = 0; i < sh->w.n; i++)
        printf("warning              %s\n", sh->w.text[i]);
    print_oem_words(sh->words, sh->lldp);
}

// The length of the well-formed UTF-8 sequence at p, or 0 with *bad set to
// the length of its maximal ill-formed subpart (each becomes one U+FFFD).
static unsigned utf8_length(const unsigned char *p, unsigned *bad)
{
    unsigned char b = p[0], lo = 0x80, hi = 0xBF;
    unsigned len = b >= 0xC2 && b <= 0xDF   ? 2
                   : b >= 0xE0 && b <= 0xEF ? 3
                   : b >= 0xF0 && b <= 0xF4 ? 4
                                            : 0;
    if (b == 0xE0)
        lo = 0xA0;  // overlong
    else if (b == 0xED)
        hi = 0x9F;  // surrogates
    else if (b == 0xF0)
        lo = 0x90;  // overlong
    else if (b == 0xF4)
        hi = 0x8F;  // above U+10FFFF
    *bad = 1;
    if (len == 0)
        return 0;
    for (unsigned k = 1; k < len; k++) {
        bool ok = k == 1 ? p[k] >= lo && p[k] <= hi : p[k] >= 0x80 && p[k] <= 0xBF;
        if (!ok) {
            *bad = k;
            return 0;
        }
    }
    return len;
}

// A JSON string: quotes, backslashes and control characters escaped; any
// ill-formed UTF-8 becomes U+FFFD, so that any path gives valid JSON.
static void json_string(const char *s)
{
    putchar('"');
    for (const unsigned char *p = (const unsigned char *)s; *p != '\0';) {
        unsigned bad, len = *p < 0x80 ? 1 : utf8_length(p, &bad);
        if (len == 0) {
            fputs("\\ufffd", stdout);
            p += bad;
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

static void show_json(const char *path, const board_t *b, const shown_t *sh)
{
    fputs("{\"image\": ", stdout);
    json_string(path);
    printf(", \"family\": %d, \"family_name\": ", b->family);
    json_string(family_name(b->family));
    printf(
        ", \"phy_class\": \"%c\", \"ports\": %u, \"enabled_ports\": %u, \"wol\": %s, \"ncsi\": %s,\n"
        " \"settings\": {",
        isprint((unsigned char)b->phy) ? b->phy : '?', b->cfg.port_num, b->cfg.valid_port,
        b->cfg.wol ? "true" : "false", b->cfg.ncsi ? "true" : "false");
    for (int i = 0; i < sh->n; i++) {
        printf("%s\n  ", i > 0 ? "," : "");
        json_string(setting_name(&sh->s[i]));
        fputs(": ", stdout);
        if (sh->r[i].state == READ_VALUE)
            json_string(sh->r[i].text);
        else
            fputs("null", stdout);
    }
    fputs("},\n \"warnings\": [", stdout);
    for (int i = 0; i < sh->w.n; i++) {
        fputs(i > 0 ? ", " : "", stdout);
        json_string(sh->w.text[i]);
    }
    fputs("],\n \"words\": {", stdout);
    for (uint32_t i = 0; i <= OEM_LIST_WORDS; i++)
        printf("%s\"0x%x\": \"0x%x\"", i > 0 ? ", " : "",
               i < OEM_LIST_WORDS ? OEM_CFG_ADDR + i * IMG_WORD_SIZE : LLDP_START_ADDR,
               i < OEM_LIST_WORDS ? sh->words[i] : sh->lldp);
    fputs("}}\n", stdout);
}

// Prints only once every word could be read; false otherwise.
bool show_board(img_t *img, const board_t *b, const char *path, bool json)
{
    shown_t sh;
    if (!collect(img, b, &sh))
        return false;
    (json ? show_json : show_text)(path, b, &sh);
    return true;
}
