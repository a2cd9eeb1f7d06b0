// What each command costs on the image: the image calls it makes (open, fstat, flock, stat,
// lseek, pread, pwrite, fsync, close, as the fault seam counts them), run in this process.
// A command may make no more than its share; a command given twice must cost twice as much,
// since every cycle reads the file afresh and nothing grows from one cycle to the next.
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "harness.h"
#include "norvask-oem-cfg.h"

struct spent_t { unsigned long calls; int status; std::string out; };

// One session in this process on the fixture's bytes, written afresh; standard input and
// output are redirected with freopen and standard output is put back afterwards.
static spent_t spend(const fixture_t &fx, const std::string &answers)
{
    const std::string in_path = fx.path + ".in", out_path = fx.path + ".out";
    std::ofstream(fx.path, std::ios::binary | std::ios::trunc)
        .write((const char *)fx.bytes.data(), (std::streamsize)fx.bytes.size());
    std::ofstream(in_path, std::ios::binary | std::ios::trunc) << answers;
    fflush(stdout);
    int saved_out = dup(1);
    EXPECT_TRUE(freopen(in_path.c_str(), "r", stdin) && freopen(out_path.c_str(), "w", stdout));
    std::string path = fx.path;
    char arg0[] = "norvask_oem_tool", arg1[] = "-f";
    char *argv[] = {arg0, arg1, path.data(), nullptr};
    const unsigned long before = img_calls();
    int status = oem_tool_main(3, argv);
    spent_t s{img_calls() - before, status, ""};
    fflush(stdout);
    dup2(saved_out, 1);
    close(saved_out);
    clearerr(stdout);
    bytes_t out = read_file(out_path);
    s.out.assign(out.begin(), out.end());
    unlink(in_path.c_str());
    unlink(out_path.c_str());
    return s;
}

// A configured image, so that the reports decode every feature and read every word they show.
// Every value word is set, so that the main switch asks about each of its four features.
static const words_t SET = {{OEM_CFG_ADDR, 0x013F55AA}, {LLDP_START_ADDR, 0x3}, {LED_CFG_ADDR, 0x11},
                            {GPIO_CFG_ADDR, 0x22}, {PHY_MODE_CFG_ADDR, 0x33}, {VN_SMBUS_ARP_ADDR, SMBUS_ARP_ON},
                            {WOL_CFG_ADDR, 0x44}};

// Calls per command beyond a session "0": a cycle begins with one stat of the path (still the
// locked file, still long enough); a family-0 cycle reads the sub-system id, whose warnings are
// printed at every number, and the header block only for the commands that use the port count.
// Then one pread per region on first use (OEM words, LLDP word, port templates), one pwrite
// per write, one fsync after writing.
TEST(Cost, EachCommandWithinItsShare)
{
    const image_plan_t vn = board(0, 0x10), mr = board(1, 0x30);
    static const struct { const char *what; image_plan_t plan; const char *in; unsigned long most; } rows[] = {
        {"show configuration", vn, "7\n", 5},            // stat, id, header, OEM, LLDP
        {"raw listing", vn, "-1\n", 4},                  // stat, id, OEM, LLDP
        {"GPIO value + switch", vn, "5\n1234\ny\n", 6},  // stat, id, OEM, value, stamp, fsync
        {"LLDP value", vn, "11\n1\n", 7},                // stat, id, LLDP, value, OEM, stamp, fsync
        {"SMBus ARP", vn, "9\n0\n", 6},                  // stat, id, OEM, value, stamp, fsync
        {"port disable 0 + switch", vn, "12\n0\ny\n", 9},  // stat, id, header, templates, copy,
                                                          // read back, OEM, stamp, fsync
        {"main switch, four answers", vn, "1\ny\nn\ny\ny\n", 8},  // stat, id, OEM, 4 stamps, fsync
        {"area reset", vn, "-2\n", 7},                   // stat, id, OEM, LLDP, area, LLDP, fsync
        {"refused number", vn, "13\n", 2},               // stat, id
        {"menu again", vn, "8\n", 2},                    // stat, id
        {"family 1 show configuration", mr, "3\n", 3},   // stat, OEM, LLDP
        {"family 1 LLDP value", mr, "6\nc\n", 6},        // stat, LLDP, value, OEM, stamp, fsync
        {"family 1 refused number", mr, "13\n", 1},      // stat
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        fixture_t fx = make_fixture(row.plan, SET);
        const spent_t none = spend(fx, "0\n"), once = spend(fx, std::string(row.in) + "0\n"),
                      twice = spend(fx, std::string(row.in) + row.in + "0\n");
        for (const spent_t *s : {&none, &once, &twice}) {
            ASSERT_EQ(0, s->status) << s->out;
            ASSERT_EQ(std::string::npos, s->out.find("[Error]")) << s->out;
        }
        const unsigned long one = once.calls - none.calls;
        EXPECT_LE(one, row.most);
        EXPECT_EQ(2 * one, twice.calls - none.calls);
        unlink(fx.path.c_str());
    }
}

// Start-up and exit: open, fstat (kind, size, identity), lock, the sub-system id for the menu;
// at option 0 the cycle's stat and (family 0) the sub-system id, then close.
TEST(Cost, StartAndExit)
{
    static const struct { int family; unsigned long most; } rows[] = {{0, 7}, {1, 6}};
    for (const auto &row : rows) {
        fixture_t fx = make_fixture(board(row.family, 0x30));
        const spent_t s = spend(fx, "0\n");
        EXPECT_EQ(0, s.status) << s.out;
        EXPECT_LE(s.calls, row.most) << "family " << row.family;
        unlink(fx.path.c_str());
    }
}
