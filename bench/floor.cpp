// norvask_floor: the least a program can do for the benchmark's commands.
//
// It reads the same answer script as norvask_oem_tool and, for each family-0
// command of the benchmark mix, makes only the system calls that command
// needs: open the image, pread the board words and the words the command
// looks at, pwrite the words it changes (one call per contiguous run of
// words), one write of its output, fsync when it wrote, close. It stores the
// same values as the tool, so both leave the same image behind; it checks
// nothing else and knows no other command.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "norvask-oem-cfg.h"

static char s_in[4096];
static size_t s_in_len = 0, s_in_pos = 0;
static bool s_in_end = false;

// One line of standard input without its newline; false at the end.
static bool next_line(char *line, size_t cap)
{
    size_t n = 0;
    for (;;) {
        if (s_in_pos == s_in_len) {
            if (s_in_end)
                break;
            ssize_t got = read(0, s_in, sizeof s_in);
            if (got <= 0) {
                s_in_end = true;
                break;
            }
            s_in_len = (size_t)got;
            s_in_pos = 0;
        }
        char c = s_in[s_in_pos++];
        if (c == '\n') {
            line[n] = '\0';
            return true;
        }
        if (n + 1 < cap)
            line[n++] = c;
    }
    line[n] = '\0';
    return n > 0;
}

static uint32_t le_word(const unsigned char *b)
{
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

static uint32_t rd(int fd, uint32_t addr)
{
    unsigned char b[4];
    if (pread(fd, b, 4, addr) != 4)
        return INVALID_ID;
    return le_word(b);
}

static void wt(int fd, uint32_t addr, uint32_t val)
{
    unsigned char b[4] = {(unsigned char)val, (unsigned char)(val >> 8), (unsigned char)(val >> 16),
                          (unsigned char)(val >> 24)};
    if (pwrite(fd, b, 4, addr) != 4)
        exit(2);
}

// Sets or clears one enable bit and stamps the signature, as the switches do.
static void stamp(int fd, uint32_t bit, bool on)
{
    uint32_t w = rd(fd, OEM_CFG_ADDR);
    if ((w & OEM_SIG_FIELD) != MAGIC_MASK)
        w = 0;
    w = (w & ~bit) | MAGIC_MASK | (on ? bit : 0);
    wt(fd, OEM_CFG_ADDR, w);
}

static char s_out[8192];
static size_t s_out_len = 0;

__attribute__((format(printf, 1, 2))) static void out(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(s_out + s_out_len, sizeof s_out - s_out_len, fmt, ap);
    va_end(ap);
    if (n > 0)
        s_out_len += (size_t)n < sizeof s_out - s_out_len ? (size_t)n : sizeof s_out - s_out_len - 1;
}

static void flush_out(void)
{
    if (write(1, s_out, s_out_len) < 0)
        exit(2);
    s_out_len = 0;
}

static void listing(int fd)
{
    unsigned char b[OEM_LIST_WORDS * 4];
    if (pread(fd, b, sizeof b, OEM_CFG_ADDR) != (ssize_t)sizeof b)
        memset(b, 0xFF, sizeof b);
    out("\nConfiguration List:\n");
    for (uint32_t i = 0; i < OEM_LIST_WORDS; i++)
        out("0x%x : 0x%x\n", OEM_CFG_ADDR + 4 * i, le_word(b + 4 * i));
    out("0x%x : 0x%x\n\n", LLDP_START_ADDR, rd(fd, LLDP_START_ADDR));
}

static long hex_answer(void)
{
    char line[256];
    if (!next_line(line, sizeof line))
        exit(255);
    return strtol(line, nullptr, 16);
}

static bool yes_answer(void)
{
    char line[256];
    if (!next_line(line, sizeof line))
        exit(255);
    return line[0] == 'y' || line[0] == 'Y';
}

static void port_disable(int fd, uint32_t ports)
{
    static const uint32_t templates[MAX_PORT_NUM] = {ENABLE_ONE_PORT, ENABLE_TWO_PORTS, ENABLE_THREE_PORTS,
                                                     ENABLE_FOUR_PORTS};
    long n = hex_answer() & 0xF;
    uint32_t remain = ports - (uint32_t)n;
    if (ports < 1 || ports > MAX_PORT_NUM || remain < 1)
        exit(2);
    unsigned char block[IMG_HEADER_WORDS * 4], back[sizeof block];
    if (pread(fd, block, sizeof block, templates[remain - 1]) != (ssize_t)sizeof block ||
        pwrite(fd, block, sizeof block, IMG_HEADER_ADDR) != (ssize_t)sizeof block ||
        pread(fd, back, sizeof back, IMG_HEADER_ADDR) != (ssize_t)sizeof back || memcmp(block, back, sizeof block))
        exit(2);
    out("\nConfiguration completed successfully, current port num:0x%x\n", remain);
    bool on = yes_answer();
    stamp(fd, NETPORT_DISABLE_EN, on);
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 255;
    const char *path = argv[2];
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 255;
    uint32_t sid = rd(fd, SUB_SYS_ID_ADDR);
    close(fd);
    out("\nmenu of family %u, PHY code 0x%x, %s\n", 0u, (sid >> SID_PHY_CODE_SHIFT) & SID_PHY_CODE_FIELD, path);
    out("\nInput your number:");
    flush_out();
    char line[256];
    for (;;) {
        if (!next_line(line, sizeof line))
            return 255;
        long num = strtol(line, nullptr, 10);
        if (num == 0)
            return 0;
        fd = open(path, O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return 255;
        // The board record every family-0 command starts from.
        sid = rd(fd, SUB_SYS_ID_ADDR);
        uint32_t ports = sid & SID_PORT_NUM_FIELD;
        uint32_t mask = rd(fd, PORT_MASK_ADDR) & PORT_MASK_FIELD;
        bool wrote = true;
        switch (num) {
        case 7:
            out("\nports %u of %u", mask == 0xF ? 4u : 0u, ports);
            listing(fd);
            wrote = false;
            break;
        case -1:
            listing(fd);
            wrote = false;
            break;
        case 5: {
            uint32_t v = (uint32_t)hex_answer() & GPIO_VAL_FIELD;
            wt(fd, GPIO_CFG_ADDR, v);
            out("\nConfiguration completed successfully\n    GPIO : 0x%x\n", v);
            stamp(fd, GPIO_OEM_EN, yes_answer());
            break;
        }
        case 11: {
            uint32_t v = (uint32_t)hex_answer() & LLDP_TX_FIELD;
            wt(fd, LLDP_START_ADDR, v);
            uint32_t w = rd(fd, OEM_CFG_ADDR);
            if ((w & OEM_SIG_FIELD) != MAGIC_MASK)
                w = 0;
            wt(fd, OEM_CFG_ADDR, w | MAGIC_MASK);
            out("\nConfiguration completed successfully, LLDP TX config : 0x%x\n", v);
            break;
        }
        case 9: {
            bool on = hex_answer() == 1;
            wt(fd, VN_SMBUS_ARP_ADDR, on ? SMBUS_ARP_ON : SMBUS_ARP_OFF);
            stamp(fd, SMBUS_ARP_OEM_EN, true);
            out("\nConfiguration completed successfully, %s SMBUS ARP\n", on ? "Enable" : "Disable");
            break;
        }
        case 12:
            port_disable(fd, ports);
            break;
        default:
            out("Illegal input, please input 0--8\n");
            wrote = false;
            break;
        }
        out("\nInput your number:");
        flush_out();
        if (wrote)
            fsync(fd);
        close(fd);
    }
}
