// The scripted verbs: show, save, set and apply. Each runs on the image the
// command runner opened (read-only for show, save and a dry run) and on the
// board it read; the runner syncs, undoes and ends.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#define PREFIX TOOL_NAME ": "
#define SETTINGS_FILE_MAX 65536

static int read_failed(void)
{
    fputs(MSG_READ_FAIL, stderr);
    return EXIT_NO_IMAGE;
}

int verb_show(command_run_t *r)
{
    return show_board(r->img, &r->board, r->argv[0], r->option) ? EXIT_DONE : read_failed();
}

int verb_save(command_run_t *r)
{
    return save_settings(r->img, &r->board) ? EXIT_DONE : read_failed();
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

// One set or apply: every item checked, then all stored in one cycle, or
// nothing. A dry run lists the words it would change.
static int set_items(command_run_t *r, const item_t *items, size_t n)
{
    settings_request_t rq;
    memset(&rq, 0, sizeof rq);
    bool ok = true;
    for (size_t i = 0; i < n; i++)
        ok = request_take(&rq, &items[i], &r->board) && ok;
    ok = request_check_image(r->img, &r->board, &rq) && ok;
    if (img_failure(r->img) != IMG_OK)
        return read_failed();
    if (!ok)
        return EXIT_REFUSED;
    if (!request_store(r->img, &r->board, &rq))
        return EXIT_FAILED;
    if (r->img->dry_run) {
        setting_t ports = {&FEATURES[F_PORTS], 0, nullptr};
        change_list_t list = {rq.value[setting_slot(&ports)], false};
        img_each_change(r->img, print_change, &list);
    }
    return EXIT_DONE;
}

int verb_set(command_run_t *r)
{
    item_t items[MAX_ITEMS];
    if (r->argc - 1 > MAX_ITEMS) {
        fprintf(stderr, PREFIX MSG_TOO_MANY_SETTINGS, MAX_ITEMS);
        return EXIT_REFUSED;
    }
    for (int i = 1; i < r->argc; i++)
        items[i - 1] = item_t{r->argv[i], 0};
    return set_items(r, items, (size_t)(r->argc - 1));
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

// Splits a settings file into its items: one SETTING=VALUE a line; blank
// lines and lines starting with # are skipped; LF or CR LF line ends. A NUL
// byte is refused: it would hide the rest of its line.
static int file_items(char *buf, size_t len, item_t *items, size_t *n)
{
    unsigned line = 0;
    *n = 0;
    for (char *p = buf, *next; p < buf + len; p = next) {
        line++;
        char *end = (char *)memchr(p, '\n', (size_t)(buf + len - p));
        next = end == nullptr ? buf + len : end + 1;
        end = end == nullptr ? buf + len : end;
        if (memchr(p, '\0', (size_t)(end - p)) != nullptr) {
            fprintf(stderr, PREFIX "line %u: a NUL byte in the line\n", line);
            return EXIT_REFUSED;
        }
        while (end > p && isspace((unsigned char)end[-1]))
            end--;
        *end = '\0';
        while (isspace((unsigned char)*p))
            p++;
        if (*p == '\0' || *p == '#')
            continue;
        if (*n == MAX_ITEMS) {
            fprintf(stderr, PREFIX "line %u: " MSG_TOO_MANY_SETTINGS, line, MAX_ITEMS);
            return EXIT_REFUSED;
        }
        items[(*n)++] = item_t{p, line};
    }
    return EXIT_DONE;
}

int verb_apply(command_run_t *r)
{
    char buf[SETTINGS_FILE_MAX + 1];
    item_t items[MAX_ITEMS];
    size_t len, n;
    bool too_long;
    if (!read_settings_file(r->argv[1], buf, SETTINGS_FILE_MAX, &len, &too_long)) {
        fprintf(stderr, PREFIX "cannot read the settings file: %s\n", strerror(errno));
        return EXIT_REFUSED;
    }
    if (too_long) {
        fprintf(stderr, PREFIX "the settings file is longer than %d bytes\n", SETTINGS_FILE_MAX);
        return EXIT_REFUSED;
    }
    int status = file_items(buf, len, items, &n);
    return status != EXIT_DONE ? status : set_items(r, items, n);
}
