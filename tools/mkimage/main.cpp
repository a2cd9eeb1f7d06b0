// norvask_mkimage: writes a synthetic 1 MiB flash image for demos and tests.
//
// Every option is one row of OPTIONS: its name, the kind of argument it
// takes, its help line and the setter that checks the argument and records
// it. The usage text is generated from the same rows, so the two cannot
// drift apart. A setter changes the request only when its argument is valid.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "image_gen.h"
#include "norvask-version.h"

namespace {

const char PROG[] = "norvask_mkimage";

// What the command line asks for.
struct request_t {
    image_plan_t plan = image_plan_default();
    int family = -1;            // -1: not given
    const char *phy = nullptr;  // PHY name, checked once the family is known
    bool device_given = false;  // explicit ids win over the ones names stand for
    bool code_given = false;
};

enum arg_kind_t { ARG_NONE, ARG_BIT, ARG_COUNT, ARG_HEX, ARG_NAME, ARG_WORD, ARG_BYTES };

// The placeholder the usage text shows for each kind of argument.
const char *const ARG_SHOWN[] = {"", "0|1", "N", "HEX", "NAME", "OFFSET=VALUE", "BYTES"};

struct option_t {
    const char *name;
    arg_kind_t kind;
    bool describes_board;  // giving it writes the sub-system id word
    const char *help;
    bool (*set)(request_t &req, const char *arg);  // false: the argument is refused;
                                                   // none: prints to standard output and ends
};

// Digits of `base` only: no sign, no blanks, at least one digit, at most `max`.
bool parse_digits(const char *s, unsigned base, uint32_t max, uint32_t *out)
{
    uint64_t v = 0;
    if (*s == '\0')
        return false;
    for (; *s != '\0'; s++) {
        const char *digits = "0123456789abcdef";
        const char *d = strchr(digits, *s >= 'A' && *s <= 'F' ? *s - 'A' + 'a' : *s);
        if (d == nullptr || (unsigned)(d - digits) >= base)
            return false;
        v = v * base + (unsigned)(d - digits);
        if (v > max)
            return false;
    }
    *out = (uint32_t)v;
    return true;
}

bool has_hex_prefix(const char *s)
{
    return s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

// Hexadecimal, with or without a 0x prefix.
bool parse_hex(const char *s, uint32_t max, uint32_t *out)
{
    return parse_digits(has_hex_prefix(s) ? s + 2 : s, 16, max, out);
}

// Decimal, or hexadecimal with a 0x prefix.
bool parse_count(const char *s, uint32_t max, uint32_t *out)
{
    return has_hex_prefix(s) ? parse_digits(s + 2, 16, max, out) : parse_digits(s, 10, max, out);
}

bool set_family(request_t &req, const char *arg)
{
    uint32_t n;
    if (!parse_digits(arg, 10, 1, &n))
        return false;
    req.family = (int)n;
    return true;
}

bool set_phy(request_t &req, const char *arg)
{
    req.phy = arg;
    return true;
}

bool set_device_id(request_t &req, const char *arg)
{
    return req.device_given = parse_hex(arg, 0xFFFF, &req.plan.device_id);
}

bool set_phy_code(request_t &req, const char *arg)
{
    return req.code_given = parse_hex(arg, SID_PHY_CODE_FIELD, &req.plan.phy_code);
}

bool set_ports(request_t &req, const char *arg)
{
    return parse_digits(arg, 10, SID_PORT_NUM_FIELD, &req.plan.ports);
}

bool set_flag(bool *flag, const char *arg)
{
    uint32_t n;
    if (!parse_digits(arg, 10, 1, &n))
        return false;
    *flag = n != 0;
    return true;
}

bool set_wol(request_t &req, const char *arg)
{
    return set_flag(&req.plan.wol, arg);
}

bool set_ncsi(request_t &req, const char *arg)
{
    return set_flag(&req.plan.ncsi, arg);
}

bool set_port_mask(request_t &req, const char *arg)
{
    return parse_hex(arg, 0xFFFFFFFFu, &req.plan.port_mask);
}

bool set_pattern(request_t &req, const char *)
{
    req.plan.pattern = true;
    return true;
}

// OFFSET=VALUE, both hexadecimal; the offset a word of the flash.
bool set_word(request_t &req, const char *arg)
{
    const char *eq = strchr(arg, '=');
    if (eq == nullptr)
        return false;
    std::string offset(arg, eq);
    uint32_t at, value;
    if (!parse_hex(offset.c_str(), IMG_FLASH_SIZE - IMG_WORD_SIZE, &at) ||
        at % IMG_WORD_SIZE != 0 || !parse_hex(eq + 1, 0xFFFFFFFFu, &value))
        return false;
    req.plan.words.push_back({at, value});
    return true;
}

bool set_size(request_t &req, const char *arg)
{
    uint32_t n;
    if (!parse_count(arg, IMG_FLASH_SIZE, &n))
        return false;
    req.plan.size = n;
    return true;
}

const option_t OPTIONS[] = {
    {"--family", ARG_COUNT, true, "controller family: 0 or 1", set_family},
    {"--phy", ARG_NAME, true, "PHY by name (names below; the family is 0 if not given)", set_phy},
    {"--device-id", ARG_HEX, true, "device id (16 bits)", set_device_id},
    {"--phy-code", ARG_HEX, true, "OEM PHY code (8 bits)", set_phy_code},
    {"--ports", ARG_COUNT, true, "number of network ports, 0 to 7 (default 4)", set_ports},
    {"--wol", ARG_BIT, true, "WOL flag", set_wol},
    {"--ncsi", ARG_BIT, true, "NCSI flag", set_ncsi},
    {"--port-mask", ARG_HEX, false, "port mask of the header block (default: all ports)",
     set_port_mask},
    {"--pattern", ARG_NONE, false, "fill the bytes the tool does not own with a pattern",
     set_pattern},
    {"--word", ARG_WORD, false, "store a 32-bit word (repeatable)", set_word},
    {"--size", ARG_BYTES, false, "make the file this long (default 0x100000, at most that)",
     set_size},
    {"--help", ARG_NONE, false, "show this text", nullptr},
    {"--version", ARG_NONE, false, "print the version (the same as norvask_oem_tool's)", nullptr},
};

void usage(FILE *to)
{
    fprintf(to,
            "Usage: %s [options] OUTPUT\n"
            "Writes a synthetic 1 MiB flash image: erased flash, the image magic and a\n"
            "port mask in the header block, the four port-count templates, and a\n"
            "sub-system id word built from the options (left erased when none is given).\n"
            "\n",
            PROG);
    for (const option_t &o : OPTIONS) {
        std::string head =
            std::string(o.name) + (o.kind == ARG_NONE ? "" : " ") + ARG_SHOWN[o.kind];
        fprintf(to, "  %-20s %s\n", head.c_str(), o.help);
    }
    fprintf(to, "\nPHY names of family 0: %s\nPHY names of family 1: %s\n",
            image_phy_names(0).c_str(), image_phy_names(1).c_str());
}

int fail(const std::string &what)
{
    fprintf(stderr, "%s: %s\nTry '%s --help'.\n", PROG, what.c_str(), PROG);
    return 2;
}

void version(FILE *to)
{
    fprintf(to, "%s version %d.%d.%d\n", PROG, OEM_VERSION_MAIN, OEM_VERSION_SUB,
            OEM_VERSION_UPDATE);
}

// Standard output flushed and closed: 0, or 2 with one line on standard error
// when what was printed could not all be written (a full disk, a closed pipe).
int close_stdout()
{
    bool failed = ferror(stdout) != 0;
    int err = errno;
    if (fclose(stdout) != 0)
        failed = true, err = errno;
    if (!failed)
        return 0;
    fprintf(stderr, "%s: cannot write standard output: %s\n", PROG, strerror(err != 0 ? err : EIO));
    return 2;
}

const option_t *find_option(const char *name)
{
    for (const option_t &o : OPTIONS)
        if (strcmp(o.name, name) == 0)
            return &o;
    return nullptr;
}

// 0, or the errno of the first failure (*why: its text). The image goes to
// a new file in the output's directory, synced, then renamed over the
// output: an existing image is replaced whole or not at all, and nothing is
// written through a link or into anything but a regular file.
int write_image(const char *path, const std::vector<uint8_t> &img, const char **why)
{
    struct stat st;
    *why = nullptr;
    bool exists = lstat(path, &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return *why = "not a regular file", EEXIST;
    if (!exists && errno != ENOENT)
        return errno;
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = exists ? st.st_mode & 07777 : 0666 & ~mask;
    const char *slash = strrchr(path, '/');
    std::string tmp = std::string(path, slash == nullptr ? 0 : (size_t)(slash - path + 1)) +
                      ".norvask_mkimage.XXXXXX";  // a short name: the output's may be NAME_MAX long
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    size_t done = 0;
    ssize_t n = 1;
    while (done < img.size() && (n = write(fd, img.data() + done, img.size() - done)) > 0)
        done += (size_t)n;
    int err = n <= 0 ? (n < 0 ? errno : EIO) : 0;
    if (err == 0 && (fchmod(fd, mode) != 0 || fsync(fd) != 0))
        err = errno;
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && rename(tmp.c_str(), path) != 0)
        err = errno;
    if (err != 0)
        unlink(tmp.c_str());
    return err;
}

}  // namespace

int main(int argc, char **argv)
{
    request_t req;
    const char *out = nullptr;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] != '-') {
            if (out != nullptr)
                return fail(std::string("more than one output file: ") + arg);
            out = arg;
            continue;
        }
        const option_t *o = find_option(arg);
        if (o == nullptr)
            return fail(std::string("unknown option: ") + arg);
        if (o->set == nullptr) {  // --help, --version
            errno = 0;
            (strcmp(o->name, "--help") == 0 ? usage : version)(stdout);
            return close_stdout();
        }
        const char *value = "";
        if (o->kind != ARG_NONE) {
            if (i + 1 >= argc)
                return fail(std::string("missing value for ") + o->name);
            value = argv[++i];
        }
        if (!o->set(req, value))
            return fail(std::string("bad value for ") + o->name + ": " + value);
        req.plan.has_sid = req.plan.has_sid || o->describes_board;
    }
    if (out == nullptr)
        return fail("no output file");
    if (req.phy != nullptr || req.family >= 0) {
        int family = req.family >= 0 ? req.family : 0;
        const char *name = req.phy != nullptr ? req.phy : family == 0 ? "inner" : "copper";
        uint32_t device_id, phy_code;
        if (!image_phy_by_name(family, name, &device_id, &phy_code))
            return fail("no PHY " + std::string(name) + " in family " + std::to_string(family) +
                        " (" + image_phy_names(family) + ")");
        if (!req.device_given)
            req.plan.device_id = device_id;
        if (!req.code_given)
            req.plan.phy_code = phy_code;
    }
    const char *why;
    if (int err = write_image(out, image_build(&req.plan), &why); err != 0) {
        fprintf(stderr, "%s: cannot write %s: %s\n", PROG, out,
                why != nullptr ? why : strerror(err));
        return 2;
    }
    return 0;
}
