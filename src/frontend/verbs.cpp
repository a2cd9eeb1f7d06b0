// The scripted verbs: show, save, set and apply. Each runs on the image the
// command runner opened (read-only for show, save and a dry run) and on the
// board it read; the runner syncs, undoes and ends.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#define PREFIX            TOOL_NAME ": "
#define SETTINGS_FILE_MAX 65536

// The image could not be read: its one line, with the reason the read
// left (a read that came up short has none).
int verb_read_failed(const char *path)
{
    const char *why = errno != 0 ? strerror(errno) : "short read";
    fputs(PREFIX, stderr);
    fput_escaped(path, -1, stderr);
    fprintf(stderr, ": cannot read (%s)\n", why);
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

// A file that does not start with the image magic is most likely not an
// image at all (a typo in a script's path): written only with --force.
static int check_magic(command_run_t *r)
{
    uint32_t word0;
    if (!rd_img(r->img, IMG_HEADER_ADDR, &word0))
        return verb_read_failed(r->argv[0]);
    if (word0 == IMG_HEADER || (r->options & OPT_FORCE) != 0)
        return EXIT_DONE;
    fputs(PREFIX, stderr);
    fput_escaped(r->argv[0], -1, stderr);
    fprintf(stderr, ": " MSG_NOT_MAGIC " nothing written (--force writes it)\n", word0, IMG_HEADER);
    return EXIT_NO_IMAGE;
}

// One set or apply: every item checked, then all stored in one cycle, or
// nothing. A dry run lists the words it would change.
static int set_items(command_run_t *r, const char *file, const item_t *items, size_t n)
{
    int status = check_magic(r);
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
    errno = 0;
    if (!request_store(r->img, &r->board, &rq))
        return EXIT_FAILED;
    if (r->img->dry_run) {
        change_list_t list = {rq.value[feature_slot(&FEATURES[F_PORTS], 0)], false};
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
    return set_items(r, nullptr, items, (size_t)(r->argc - 1));
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

// The start of a refusal of a settings file, or of its line (0: the file).
static void file_refusal(const char *file, unsigned line)
{
    fputs(PREFIX, stderr);
    fput_escaped(file, -1, stderr);
    if (line > 0)
        fprintf(stderr, ":%u", line);
    fputs(": ", stderr);
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
            file_refusal(file, line);
            fputs("a NUL byte in the line\n", stderr);
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
            file_refusal(file, line);
            fprintf(stderr, MSG_TOO_MANY_SETTINGS, MAX_ITEMS);
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
    const char *path = r->argv[1];
    const char *file = strcmp(path, "-") == 0 ? "<stdin>" : path;
    if (!read_settings_file(path, buf, SETTINGS_FILE_MAX, &len, &too_long)) {
        const char *why = strerror(errno);
        file_refusal(file, 0);
        fprintf(stderr, "%s\n", why);
        return EXIT_REFUSED;
    }
    if (too_long) {
        file_refusal(file, 0);
        fprintf(stderr, "longer than %d bytes\n", SETTINGS_FILE_MAX);
        return EXIT_REFUSED;
    }
    int status = file_items(file, buf, len, items, &n);
    return status != EXIT_DONE ? status : set_items(r, file, items, n);
}
