// What each command costs on the image: the image calls it makes (open, fstat, flock, stat,
// lseek, pread, pwrite, fsync, close, as the fault seam counts them), run in this process.
// A command may make no more than its share; a command given twice must cost twice as much,
// since every cycle reads the file afresh and nothing grows from one cycle to the next.
#include "harness.h"

// Calls per command beyond a session "0": a cycle begins with one stat of the path (still the
// locked file, still long enough); a family-0 cycle reads the sub-system id, whose warnings are
// printed at every number, and the header block only for the commands that use the port count.
// Then one pread per region on first use (OEM words, LLDP word, port templates), one pwrite
// per write, one fsync after writing. Start-up and exit: open, fstat (kind, size, identity),
// lock, the sub-system id for the menu; at option 0 the cycle's stat and (family 0) the
// sub-system id, then close.
TEST(Cost, EachCommandWithinItsShare)
{
    const image_plan_t vn = board(0, 0x10), mr = board(1, 0x30);
    static const struct { const char *what; image_plan_t plan; const char *in; unsigned long most; } rows[] = {
        {"start and exit", vn, "", 7},                   // the session "0" alone
        {"family 1 start and exit", mr, "", 6},
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
        // Every value word set, so that the reports decode every feature and the main switch
        // asks about each of its four.
        fixture_t fx = make_fixture(row.plan, {{OEM, 0x013F55AA}, {LLDP, 0x3}, {LED, 0x11}, {GPIO, 0x22},
                                               {MODE, 0x33}, {ARP, 0xF}, {WOL, 0x44}});
        unsigned long calls[3];
        for (int times = 0; times < 3; times++) {
            std::string in;
            for (int i = 0; i < times; i++)
                in += row.in;
            put_back(fx);
            here_t s = run_here(fx.path, {"-f", "@"}, in + "0\n");
            ASSERT_EQ(0, s.status) << s.out;
            ASSERT_EQ(std::string::npos, s.out.find("[Error]")) << s.out;
            calls[times] = s.calls;
        }
        const unsigned long one = *row.in ? calls[1] - calls[0] : calls[0];
        EXPECT_LE(one, row.most);
        EXPECT_EQ(2 * (calls[1] - calls[0]), calls[2] - calls[0]);
    }
}
