// The scripted verbs: show, save, get, set, apply and verify. Each runs on
// the image the command runner opened (read-only for show, save, get, verify
// and a dry run) and on the board it read; the runner syncs, undoes and ends.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#define SETTINGS_FILE_MAX 65536
#define UTF8_BOM          "\xEF\xBB\xBF"  // an editor's mark at the start of a file

// The image could not be read: its one line, with the reason the read
// left (a read that came up short has none).
int verb_read_failed(const char *path)
{
    say("%s: cannot read (%s)", shown(path, -1), errno != 0 ? strerror(errno) : "short read");
    return EXIT_NO_IMAGE;
}

int verb_show(command_run_t *r)
{
    bool json = (r->options & OPT_JSON) != 0;
    return show_board(r->img, &r->board, r->argv[0], json) ? EXIT_DONE
                                                           : verb_read_failed(r->argv[0]);
}

int verb_save(command_run_t *r)
{
    return save_settings(r->img, &r->board) ? EXIT_DONE : verb_read_failed(r->argv[0]);
}

#define HEADER_BYTES (IMG_HEADER_WORDS * IMG_WORD_SIZE)

typedef struct {
    int ports;         // the enabled ports of the template copied, if any
    bool header_told;  // the header block is one line, however many words changed
    bool print;        // false: only counted
    int changed;       // words
} change_list_t;

// One word a dry run changed; the header block as the template it became.
static void print_change(uint32_t addr, uint32_t before, uint32_t now, void *ctx)
{
    change_list_t *list = (change_list_t *)ctx;
    list->changed++;
    if (!list->print)
        return;
    if (addr - IMG_HEADER_ADDR >= HEADER_BYTES) {
        printf("0x%x : 0x%x -> 0x%x\n", addr, before, now);
    } else if (!list->header_told) {
        printf("0x%x-0x%x : header block -> template for %d enabled ports\n", IMG_HEADER_ADDR,
               IMG_HEADER_ADDR + HEADER_BYTES - 1, list->ports);
        list->header_told = true;
    }
}

// A file that does not start with the image magic is most likely not an
// image at all (a typo in a script's path): written only with --force.
static int check_magic(command_run_t *r, bool verify)
{
    uint32_t word0;
    if (!rd_img(r->img, IMG_HEADER_ADDR, &word0))
        return verb_read_failed(r->argv[0]);
    if (word0 == IMG_HEADER || (r->options & OPT_FORCE) != 0)
        return EXIT_DONE;
    say("%s: " MSG_NOT_MAGIC "%s", shown(r->argv[0], -1), word0, IMG_HEADER,
        verify ? "" : " nothing written (--force writes it)");
    return EXIT_NO_IMAGE;
}

// A reading as verify shows it: as save writes it, or what the word holds.
static void reading_shown(const reading_t *rd, char text[16])
{
    if (rd->state == READ_VALUE)
        snprintf(text, 16, "%s", rd->text);
    else
        snprintf(text, 16, rd->state == READ_ERASED ? "(erased)" : "(0x%x)", rd->word);
}

static void print_word_difference(uint32_t addr, uint32_t was, uint32_t now, void *)
{
    printf("0x%x: image 0x%x, file 0x%x\n", addr, was, now);
}

// verify's lines: each setting of the file whose value the image does not
// hold, in the file's order; a change no setting shows (a signature, an
// enable bit) by its word.
static int print_differences(command_run_t *r, const settings_request_t *rq, const item_t *items,
                             size_t n, const reading_t *before)
{
    bool told = false;
    for (size_t i = 0; i < n; i++) {
        setting_t s;
        char image[16], file[16];
        setting_named(rq, items[i].text, (int)(strchr(items[i].text, '=') - items[i].text),
                      items[i].line, &r->board, &s);
        setting_text(&s, rq->value[setting_slot(&s)], file);
        reading_shown(&before[i], image);
        if (strcmp(image, file) != 0)
            printf("%s: image %s, file %s\n", setting_name(&s), image, file), told = true;
    }
    if (!told)
        img_each_change(r->img, print_word_difference, nullptr);
    return EXIT_ANSWER_NO;
}

// One set, apply or verify: every item checked, then all stored in one
// cycle, or nothing. A dry run lists the words it would change; verify (a
// dry run that lists nothing) the settings that would change them.
static int set_items(command_run_t *r, const char *file, const item_t *items, size_t n, bool verify)
{
    int status = check_magic(r, verify);
    if (status != EXIT_DONE)
        return status;
    settings_request_t rq;
    memset(&rq, 0, sizeof rq);
    rq.file = file;
    bool ok = true;
    for (size_t i = 0; i < n; i++)
        ok = request_take(&rq, &items[i], &r->board) && ok;
    errno = 0;
    ok = request_check_image(r->img, &r->board, &rq) && ok;
    if (img_failure(r->img) != IMG_OK)
        return verb_read_failed(r->argv[0]);
    if (!ok)
        return EXIT_REFUSED;
    static reading_t before[MAX_ITEMS];
    for (size_t i = 0; verify && i < n; i++) {
        setting_t s;
        setting_named(&rq, items[i].text, (int)(strchr(items[i].text, '=') - items[i].text),
                      items[i].line, &r->board, &s);
        if (!setting_read(r->img, &r->board, &s, &before[i]))
            return verb_read_failed(r->argv[0]);
    }
    errno = 0;
    if (!request_store(r->img, &r->board, &rq))
        return EXIT_FAILED;
    if (!r->img->dry_run)
        return EXIT_DONE;
    change_list_t list = {rq.value[feature_slot(&FEATURES[F_PORTS], 0)], false, !verify, 0};
    img_each_change(r->img, print_change, &list);
    if (verify)
        return list.changed == 0 ? EXIT_DONE : print_differences(r, &rq, items, n, before);
    if (list.changed == 0)
        printf("nothing to write\n");
    return EXIT_DONE;
}

int verb_set(command_run_t *r)
{
    item_t items[MAX_ITEMS];
    if (r->argc - 1 > MAX_ITEMS) {
        say(MSG_TOO_MANY_SETTINGS, MAX_ITEMS);
        return EXIT_REFUSED;
    }
    for (int i = 1; i < r->argc; i++)
        items[i - 1] = item_t{r->argv[i], 0};
    return set_items(r, nullptr, items, (size_t)(r->argc - 1), false);
}

// Every name checked before any value is printed; a word that holds no value
// of its setting prints an empty line and makes the status 1.
int verb_get(command_run_t *r)
{
    settings_request_t rq;
    memset(&rq, 0, sizeof rq);
    setting_t s[MAX_ITEMS];
    bool ok = true;
    if (r->argc - 1 > MAX_ITEMS) {
        say(MSG_TOO_MANY_SETTINGS, MAX_ITEMS);
        return EXIT_REFUSED;
    }
    for (int i = 1; i < r->argc; i++)
        ok = setting_named(&rq, r->argv[i], (int)strlen(r->argv[i]), 0, &r->board, &s[i - 1]) && ok;
    if (!ok)
        return EXIT_REFUSED;
    int status = EXIT_DONE;
    for (int i = 1; i < r->argc; i++) {
        reading_t rd;
        if (!setting_read(r->img, &r->board, &s[i - 1], &rd))
            return verb_read_failed(r->argv[0]);
        printf("%s\n", rd.state == READ_VALUE ? rd.text : "");
        status = rd.state == READ_VALUE ? status : EXIT_ANSWER_NO;
    }
    return status;
}

// Reads a whole settings file ("-": standard input) into buf, up to cap
// bytes; *too_long when there is more.
static bool read_settings_file(const char *path, char *buf, size_t cap, size_t *len, bool *too_long)
{
    int fd = strcmp(path, "-") == 0 ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    *len = 0;
    ssize_t got = 1;
    char extra;
    while (got != 0 && *len <= cap) {
        got = *len < cap ? read(fd, buf + *len, cap - *len) : read(fd, &extra, 1);
        if (got < 0 && errno != EINTR)
            break;
        *len += got > 0 ? (size_t)got : 0;
    }
    *too_long = *len > cap;
    int saved = errno;
    if (fd != STDIN_FILENO)
        close(fd);
    errno = saved;
    return got >= 0;
}

// Splits a settings file into its items, one SETTING=VALUE a line, LF or
// CR LF line ends. # starts a comment anywhere (no value holds one); blanks
// at the ends of a line and around = are dropped. A NUL byte is refused: it
// would hide the rest of its line.
static int file_items(const char *file, char *buf, size_t len, item_t *items, size_t *n)
{
    unsigned line = 0;
    *n = 0;
    for (char *p = buf, *next; p < buf + len; p = next) {
        line++;
        char *end = (char *)memchr(p, '\n', (size_t)(buf + len - p));
        next = end == nullptr ? buf + len : end + 1;
        end = end == nullptr ? buf + len : end;
        if (memchr(p, '\0', (size_t)(end - p)) != nullptr) {
            say("%s:%u: a NUL byte in the line", shown(file, -1), line);
            return EXIT_REFUSED;
        }
        char *hash = (char *)memchr(p, '#', (size_t)(end - p));
        end = hash != nullptr ? hash : end;
        while (end > p && isspace((unsigned char)end[-1]))
            end--;
        *end = '\0';
        while (isspace((unsigned char)*p))
            p++;
        if (*p == '\0')
            continue;
        char *eq = strchr(p, '=');
        if (eq != nullptr) {  // "lldp = 3" as "lldp=3"
            char *name_end = eq, *value = eq + 1;
            while (name_end > p && isspace((unsigned char)name_end[-1]))
                name_end--;
            while (isspace((unsigned char)*value))
                value++;
            *name_end = '=';
            memmove(name_end + 1, value, strlen(value) + 1);
        }
        if (*n == MAX_ITEMS) {
            say("%s:%u: " MSG_TOO_MANY_SETTINGS, shown(file, -1), line, MAX_ITEMS);
            return EXIT_REFUSED;
        }
        items[(*n)++] = item_t{p, line};
    }
    return EXIT_DONE;
}

// apply and verify: the settings of FILE against the image.
static int file_settings(command_run_t *r, bool verify)
{
    char buf[SETTINGS_FILE_MAX + 1];
    item_t items[MAX_ITEMS];
    size_t len, n;
    bool too_long;
    const char *path = r->argv[1];
    const char *file = strcmp(path, "-") == 0 ? "<stdin>" : path;
    if (!read_settings_file(path, buf, SETTINGS_FILE_MAX, &len, &too_long)) {
        say("%s: %s", shown(file, -1), strerror(errno));
        return EXIT_REFUSED;
    }
    if (too_long) {
        say("%s: longer than %d bytes", shown(file, -1), SETTINGS_FILE_MAX);
        return EXIT_REFUSED;
    }
    size_t bom = len >= 3 && memcmp(buf, UTF8_BOM, 3) == 0 ? 3 : 0;
    int status = file_items(file, buf + bom, len - bom, items, &n);
    if (status == EXIT_DONE && n == 0) {
        say("%s: no settings", shown(file, -1));
        return EXIT_REFUSED;
    }
    return status != EXIT_DONE ? status : set_items(r, file, items, n, verify);
}

int verb_apply(command_run_t *r)
{
    return file_settings(r, false);
}

int verb_verify(command_run_t *r)
{
    return file_settings(r, true);
}
