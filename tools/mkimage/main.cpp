// norvask_mkimage: writes a synthetic 1 MiB flash image for demos and tests.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image_gen.h"

static const char USAGE[] =
    "Usage: norvask_mkimage [options] OUTPUT\n"
    "Writes a synthetic 1 MiB flash image: erased flash, the image magic and a\n"
    "port mask in the header block, the four port-count templates, and a\n"
    "sub-system id word built from the options (left erased when none is given).\n"
    "\n"
    "  --family N          controller family: 0 or 1\n"
    "  --phy NAME          PHY by name; family 0: inner, yt, mv-fiber, mv-copper,\n"
    "                      mv, other; family 1: copper, fiber\n"
    "  --device-id HEX     device id (16 bits)\n"
    "  --phy-code HEX      OEM PHY code (8 bits)\n"
    "  --ports N           number of network ports, 0 to 7 (default 4)\n"
    "  --wol 0|1           WOL flag\n"
    "  --ncsi 0|1          NCSI flag\n"
    "  --port-mask HEX     port mask of the header block (default: all ports)\n"
    "  --pattern           fill the bytes the tool does not own with a pattern\n"
    "  --word OFFSET=VALUE store a 32-bit word (repeatable)\n"
    "  --size BYTES        make the file this long (default 0x100000, at most that)\n"
    "  --help              show this text\n";

static bool parse_u32(const char *s, uint32_t max, uint32_t *out)
{
    if (s == nullptr || *s == '\0' || *s == '-')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = (uint32_t)v;
    return true;
}

static bool parse_hex(const char *s, uint32_t max, uint32_t *out)
{
    std::string t = s ? s : "";
    if (t.rfind("0x", 0) != 0 && t.rfind("0X", 0) != 0)
        t = "0x" + t;
    return parse_u32(t.c_str(), max, out);
}

static int fail(const char *what, const char *arg)
{
    fprintf(stderr, "norvask_mkimage: %s: %s\n", what, arg ? arg : "(missing)");
    return 2;
}

static bool parse_word(const char *arg, image_plan_t *plan)
{
    const char *eq = arg ? strchr(arg, '=') : nullptr;
    if (eq == nullptr)
        return false;
    std::string off(arg, eq);
    uint32_t a, v;
    if (!parse_hex(off.c_str(), 0xFFFFC, &a) || a % 4 != 0 || !parse_hex(eq + 1, 0xFFFFFFFF, &v))
        return false;
    plan->words.push_back({a, v});
    return true;
}

int main(int argc, char **argv)
{
    image_plan_t plan = image_plan_default();
    const char *out = nullptr;
    int family = -1;
    const char *phy = nullptr;
    bool dev_given = false, code_given = false;
    for (int i = 1; i < argc; i++) {
        std::string opt = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        uint32_t n;
        bool ok = true;
        if (opt == "--help") {
            fputs(USAGE, stdout);
            return 0;
        } else if (opt == "--pattern") {
            plan.pattern = true;
            continue;
        } else if (opt == "--family") {
            ok = parse_u32(val, 1, &n);
            family = (int)n;
        } else if (opt == "--phy") {
            phy = val;
            ok = val != nullptr;
        } else if (opt == "--device-id") {
            ok = dev_given = parse_hex(val, 0xFFFF, &plan.device_id);
        } else if (opt == "--phy-code") {
            ok = code_given = parse_hex(val, 0xFF, &plan.phy_code);
        } else if (opt == "--ports") {
            ok = parse_u32(val, 7, &plan.ports);
        } else if (opt == "--wol" || opt == "--ncsi") {
            ok = parse_u32(val, 1, &n);
            (opt == "--wol" ? plan.wol : plan.ncsi) = n != 0;
        } else if (opt == "--port-mask") {
            ok = parse_hex(val, 0xFFFFFFFF, &plan.port_mask);
        } else if (opt == "--word") {
            ok = parse_word(val, &plan);
        } else if (opt == "--size") {
            ok = parse_u32(val, IMAGE_FULL_SIZE, &n);
            plan.size = n;
        } else if (opt.rfind("-", 0) != 0 && out == nullptr) {
            out = argv[i];
            continue;
        } else {
            return fail("unknown option", argv[i]);
        }
        if (!ok)
            return fail(("bad value for " + opt).c_str(), val);
        i++;
        if (opt != "--word" && opt != "--size" && opt != "--port-mask")
            plan.has_sid = true;
    }
    if (out == nullptr) {
        fputs(USAGE, stderr);
        return 2;
    }
    if (phy != nullptr || family >= 0) {
        int fam = family >= 0 ? family : 0;
        const char *name = phy ? phy : (fam == 0 ? "inner" : "copper");
        uint32_t dev, code;
        if (!image_phy_by_name(fam, name, &dev, &code))
            return fail("unknown PHY for this family", name);
        // Explicit ids win over the ones the names stand for.
        if (!dev_given)
            plan.device_id = dev;
        if (!code_given)
            plan.phy_code = code;
    }
    std::vector<uint8_t> img = image_build(&plan);
    FILE *f = fopen(out, "wb");
    if (f == nullptr)
        return fail("cannot create", out);
    bool ok = fwrite(img.data(), 1, img.size(), f) == img.size();
    ok = fclose(f) == 0 && ok;
    if (!ok)
        return fail("cannot write", out);
    return 0;
}
