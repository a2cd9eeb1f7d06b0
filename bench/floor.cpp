// norvask_floor: the least a program does for the benchmark's commands.
//
// It reads the same answer script as norvask_oem_tool and keeps the tool's
// rules for the image, making only the system calls they take:
//   - the image is opened, checked (regular file, long enough) and locked
//     once; the sub-system id is read for the menu;
//   - every command first checks, with one stat of the path, that the path
//     still names the locked file and that the file is still long enough,
//     then reads the sub-system id, whose warnings every family-0 command
//     prints (a refused number and the exit too);
//   - each part of the image a command needs (the header's port mask, the
//     OEM words, the LLDP word, a port template) is read with one pread,
//     before any write to it, as an undo record needs the bytes it replaces;
//   - writes go through in the order of the dialogue, one pwrite per word or
//     block; the copied header is read back to verify it; a command that
//     wrote ends with fsync; the image is closed at the end;
//   - a journal beside the image: before a command first writes a part of
//     the image, the bytes it read of that part go to the journal with one
//     pwrite and an fsync (the first record also creates the journal, syncs
//     its directory and carries a digest of the image, read whole once per
//     run); after the command's fsync the journal is closed and removed and
//     its directory synced. At the start the directory is opened, checked
//     for writing and synced, and the journal's name looked up;
//   - every prompt and question is written before its answer is read, and a
//     command's last output goes out with the next prompt.
// It stores the same values as the tool, so both leave the same image. Its
// texts are shorter than the tool's; it knows no other command, catches no
// signal and rolls nothing back (no failure happens in the benchmark).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "norvask-oem-cfg.h"

static int s_fd = -1;
static const char *s_path;
static struct stat s_locked;

static char s_in[4096];
static size_t s_in_len = 0, s_in_pos = 0;
static bool s_in_end = false;

static char s_out[8192];

static int s_dir = -1, s_jfd = -1;
static char s_jpath[4200];
static bool s_digest_read = false;
static unsigned s_covered = 0;  // parts of the image this command has journaled
static off_t s_jsize = 0;
static size_t s_out_len = 0;

[[noreturn]] static void fail(void)
{
    exit(2);
}

__attribute__((format(printf, 1, 2))) static void out(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(s_out + s_out_len, sizeof s_out - s_out_len, fmt, ap);
    va_end(ap);
    if (n > 0)
        s_out_len +=
            (size_t)n < sizeof s_out - s_out_len ? (size_t)n : sizeof s_out - s_out_len - 1;
}

static void flush_out(void)
{
    if (s_out_len > 0 && write(1, s_out, s_out_len) != (ssize_t)s_out_len)
        fail();
    s_out_len = 0;
}

// Shows what is pending, prompt last, then reads one answer line without its
// newline; the end of input ends the run.
static void commit(void);
static bool s_done = false;  // a command completed: its journal goes once its output is out

static void ask(char *line, size_t cap)
{
    flush_out();
    if (s_done)
        commit();
    s_done = false;
    size_t n = 0;
    for (;;) {
        if (s_in_pos == s_in_len) {
            ssize_t got = s_in_end ? 0 : read(0, s_in, sizeof s_in);
            if (got <= 0) {
                s_in_end = true;
                if (n == 0)
                    exit(255);
                break;
            }
            s_in_len = (size_t)got;
            s_in_pos = 0;
        }
        char c = s_in[s_in_pos++];
        if (c == '\n')
            break;
        if (n + 1 < cap)
            line[n++] = c;
    }
    line[n] = '\0';
}

static long ask_hex(const char *prompt)
{
    char line[256];
    out("%s", prompt);
    ask(line, sizeof line);
    return strtol(line, nullptr, 16);
}

static bool ask_yes(const char *question)
{
    char line[256];
    out("%s", question);
    ask(line, sizeof line);
    return line[0] == 'y' || line[0] == 'Y';
}

static uint32_t le_word(const unsigned char *b)
{
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

static void rd_block(uint32_t addr, unsigned char *b, size_t n)
{
    if (pread(s_fd, b, n, addr) != (ssize_t)n)
        fail();
}

static uint32_t rd(uint32_t addr)
{
    unsigned char b[4];
    rd_block(addr, b, sizeof b);
    return le_word(b);
}

// The part `bit` of the image, whose bytes before the command are b[0, n),
// made durable in the journal before its first write.
static void cover(unsigned bit, const unsigned char *b, size_t n)
{
    static unsigned char rec[40 + 12 + 4096];
    if (s_covered & bit)
        return;
    size_t head = 0;
    if (s_jfd < 0) {
        struct stat now;  // the digest is fresh while the image's times are the tool's own
        if (fstat(s_fd, &now) != 0)
            fail();
        static unsigned char whole[0x10000];
        for (off_t at = 0; !s_digest_read && at < s_locked.st_size; at += (off_t)sizeof whole)
            if (pread(s_fd, whole, sizeof whole, at) < 0)
                fail();
        s_digest_read = true;
        if ((s_jfd = open(s_jpath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)) < 0 ||
            fchmod(s_jfd, s_locked.st_mode & 0666) != 0)  // the image's bits, whatever the umask
            fail();
        head = 40;
        s_jsize = 0;
    }
    memcpy(rec + head + 8, b, n);
    if (pwrite(s_jfd, rec, head + 12 + n, s_jsize) < 0 || fsync(s_jfd) != 0 ||
        (head != 0 && fsync(s_dir) != 0))
        fail();
    s_jsize += (off_t)(head + 12 + n);
    s_covered |= bit;
}

static void commit(void)
{
    struct stat now;  // the image's times after its last write
    if (s_jfd >= 0 &&
        (fstat(s_fd, &now) != 0 || close(s_jfd) != 0 || unlink(s_jpath) != 0 || fsync(s_dir) != 0))
        fail();
    s_jfd = -1;
    s_covered = 0;
}

enum { PART_HEADER = 1, PART_LLDP = 2, PART_OEM = 4 };

static void wt_block(uint32_t addr, const unsigned char *b, size_t n)
{
    if (pwrite(s_fd, b, n, addr) != (ssize_t)n)
        fail();
}

static void wt(uint32_t addr, uint32_t val)
{
    unsigned char b[4] = {(unsigned char)val, (unsigned char)(val >> 8), (unsigned char)(val >> 16),
                          (unsigned char)(val >> 24)};
    wt_block(addr, b, sizeof b);
}

// The path must still name the locked file, long enough to hold every word.
static bool still_locked_file(void)
{
    struct stat st;
    return stat(s_path, &st) == 0 && st.st_dev == s_locked.st_dev && st.st_ino == s_locked.st_ino &&
           st.st_size >= (off_t)IMG_MIN_SIZE;
}

// The OEM word with one enable bit set or cleared and the signature stamped,
// as the switches store it.
static uint32_t stamped(uint32_t w, uint32_t bit, bool on)
{
    if ((w & OEM_SIG_FIELD) != MAGIC_MASK)
        w = 0;
    return (w & ~bit) | MAGIC_MASK | (on ? bit : 0);
}

static void listing(void)
{
    unsigned char b[OEM_LIST_WORDS * 4];
    rd_block(OEM_CFG_ADDR, b, sizeof b);
    uint32_t lldp = rd(LLDP_START_ADDR);
    out("\nConfiguration List:\n");
    for (uint32_t i = 0; i < OEM_LIST_WORDS; i++)
        out("0x%x : 0x%x\n", OEM_CFG_ADDR + 4 * i, le_word(b + 4 * i));
    out("0x%x : 0x%x\n\n", LLDP_START_ADDR, lldp);
}

static void gpio(void)
{
    uint32_t v = (uint32_t)ask_hex("GPIO value:") & GPIO_VAL_FIELD;
    unsigned char b[8];  // the OEM word and the GPIO word it replaces
    rd_block(OEM_CFG_ADDR, b, sizeof b);
    cover(PART_OEM, b, sizeof b);
    wt(GPIO_CFG_ADDR, v);
    out("\nConfiguration completed successfully\n    GPIO : 0x%x\n", v);
    bool on = ask_yes("Switch GPIO on? (Y/N):");
    wt(OEM_CFG_ADDR, stamped(le_word(b), GPIO_OEM_EN, on));
    out("GPIO configuration is : %s.\n\n", on ? "ON" : "OFF");
}

static void lldp(void)
{
    uint32_t v = (uint32_t)ask_hex("LLDP value:") & LLDP_TX_FIELD;
    unsigned char old[4];  // the word it replaces
    rd_block(LLDP_START_ADDR, old, sizeof old);
    cover(PART_LLDP, old, sizeof old);
    wt(LLDP_START_ADDR, v);
    uint32_t w = rd(OEM_CFG_ADDR);
    unsigned char ow[4] = {(unsigned char)w, (unsigned char)(w >> 8), (unsigned char)(w >> 16),
                           (unsigned char)(w >> 24)};
    cover(PART_OEM, ow, sizeof ow);
    if ((w & OEM_SIG_FIELD) != MAGIC_MASK)
        w = 0;
    wt(OEM_CFG_ADDR, w | MAGIC_MASK);
    out("\nConfiguration completed successfully, LLDP TX config : 0x%x\n\n", v);
}

static void smbus_arp(void)
{
    bool on = ask_hex("SMBus ARP, 1 enable, 0 disable:") == 1;
    unsigned char b[VN_SMBUS_ARP_ADDR + 4 - OEM_CFG_ADDR];  // the OEM word to the ARP word
    rd_block(OEM_CFG_ADDR, b, sizeof b);
    cover(PART_OEM, b, sizeof b);
    wt(VN_SMBUS_ARP_ADDR, on ? SMBUS_ARP_ON : SMBUS_ARP_OFF);
    wt(OEM_CFG_ADDR, stamped(le_word(b), SMBUS_ARP_OEM_EN, true));
    out("\nConfiguration completed successfully, %s SMBUS ARP\n\n", on ? "Enable" : "Disable");
}

static void port_disable(uint32_t ports, const unsigned char *header)
{
    uint32_t mask = le_word(header + PORT_MASK_ADDR) & PORT_MASK_FIELD;
    static const uint32_t templates[MAX_PORT_NUM] = {ENABLE_ONE_PORT, ENABLE_TWO_PORTS,
                                                     ENABLE_THREE_PORTS, ENABLE_FOUR_PORTS};
    if (ports < 1 || ports > MAX_PORT_NUM)
        fail();
    out("ports %u of %u\n", mask, ports);
    uint32_t n = (uint32_t)ask_hex("Ports to disable:") & 0xF;
    if (n >= ports)
        fail();
    uint32_t remain = ports - n;
    unsigned char block[IMG_HEADER_WORDS * 4], back[sizeof block];
    rd_block(templates[remain - 1], block, sizeof block);
    cover(PART_HEADER, header, sizeof block);
    wt_block(IMG_HEADER_ADDR, block, sizeof block);
    rd_block(IMG_HEADER_ADDR, back, sizeof back);
    if (memcmp(block, back, sizeof block) != 0)
        fail();
    out("\nConfiguration completed successfully, current port num:0x%x\n", remain);
    bool on = ask_yes("Switch port disable on? (Y/N):");
    uint32_t w = rd(OEM_CFG_ADDR);
    unsigned char ow[4] = {(unsigned char)w, (unsigned char)(w >> 8), (unsigned char)(w >> 16),
                           (unsigned char)(w >> 24)};
    cover(PART_OEM, ow, sizeof ow);
    wt(OEM_CFG_ADDR, stamped(w, NETPORT_DISABLE_EN, on));
    out("netport disable configuration is : %s.\n\n", on ? "ON" : "OFF");
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 255;
    s_path = argv[2];
    s_fd = open(s_path, O_RDWR | O_CLOEXEC);
    if (s_fd < 0 || fstat(s_fd, &s_locked) != 0 || !S_ISREG(s_locked.st_mode) ||
        s_locked.st_size < (off_t)IMG_MIN_SIZE || flock(s_fd, LOCK_EX | LOCK_NB) != 0)
        return 255;
    // The journal's place: beside the file, in a directory that can be written and synced.
    char *real = realpath(s_path, nullptr), dir[4096];
    struct stat st;
    if (real == nullptr || stat(real, &st) != 0)
        return 255;
    snprintf(s_jpath, sizeof s_jpath, "%s.norvask-journal", real);
    snprintf(dir, sizeof dir, "%s", real);
    *strrchr(dir, '/') = '\0';
    free(real);
    s_dir = open(dir[0] ? dir : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s_dir < 0 || lstat(s_jpath, &st) == 0 || access(dir[0] ? dir : "/", W_OK) != 0 ||
        fsync(s_dir) != 0)
        return 255;
    uint32_t sid = rd(SUB_SYS_ID_ADDR);
    out("\nmenu of family %u, PHY code 0x%x, %s\n", 0u,
        (sid >> SID_PHY_CODE_SHIFT) & SID_PHY_CODE_FIELD, s_path);
    for (;;) {
        char line[256];
        out("\nInput your number:");
        ask(line, sizeof line);
        long num = strtol(line, nullptr, 10);
        if (!still_locked_file())
            return 255;
        sid = rd(SUB_SYS_ID_ADDR);
        uint32_t ports = sid & SID_PORT_NUM_FIELD;
        bool wrote = true;
        switch (num) {
        case 0:
            flush_out();
            return close(s_fd) == 0 && close(s_dir) == 0 ? 0 : 1;
        case 7: {
            uint32_t mask = rd(PORT_MASK_ADDR) & PORT_MASK_FIELD;
            out("\nports %u of %u", mask == 0xF ? 4u : 0u, ports);
            listing();
            wrote = false;
            break;
        }
        case -1:
            listing();
            wrote = false;
            break;
        case 5:
            gpio();
            break;
        case 11:
            lldp();
            break;
        case 9:
            smbus_arp();
            break;
        case 12: {
            unsigned char header[IMG_HEADER_WORDS * 4];
            rd_block(IMG_HEADER_ADDR, header, sizeof header);
            port_disable(ports, header);
            break;
        }
        default:
            out("Illegal input, please input 0--8\n");
            wrote = false;
            break;
        }
        if (wrote && fsync(s_fd) != 0)
            fail();
        s_done = true;
    }
}
