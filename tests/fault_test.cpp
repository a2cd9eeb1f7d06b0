// Every command is all or nothing and within its share of image calls, in this process.
#include "harness.h"

// Each command of both families with the image calls it may make beyond a session "0": a cycle's stat,
// a family-0 cycle's sub-system id (and header, for the port count), one pread per region on first use,
// one pwrite per write, one fsync; a writing command's journal J: the image's entry checked, open, fstat,
// the first record (pwrite, fsync), the directory's fsync, close, and once done the entry checked, unlink
// and the directory's fsync (J = 10), and 2 for each later write (a record, its sync). Start-up: open,
// fstat, lock, the directory held, the image's and the journal's entries, access, the directory opened
// and synced, the id; option 0: stat, id, and the three closes.
static const image_plan_t VN = board(0, 0x10), MR = board(1, 0x30);
static const struct {
    image_plan_t plan;
    const char *in;
    unsigned long most;
} COMMANDS[] = {
    {VN, "5\nab\ny\n", 18},              // GPIO: stat, id, OEM, value, stamp, fsync, J of two
    {board(0, 0x52), "6\na1\nn\n", 18},  // PHY mode
    {board(0, 0x60), "2\na\nb\nc\nd\ny\n", 18},  // YT LED: two words, one write
    {board(0, 0x51), "3\nfff\ny\n", 18},
    {VN, "4\nabcdef\nn\n", 18},
    {VN, "9\n0\n", 18},
    {VN, "10\n300\ny\n", 18},
    {VN, "11\nc\n", 19},          // LLDP: stat, id, LLDP, value, OEM, stamp, fsync, J of two
    {VN, "1\ny\nn\ny\ny\n", 24},  // four switches: stat, id, OEM, 4 stamps, fsync, J of four
    {VN, "-2\n", 19},             // reset: stat, id, OEM, LLDP, area, LLDP, fsync, J of two
    {VN, "", 15},
    {MR, "", 14},  // start-up and exit alone
    {VN, "12\n2\ny\n", 21},
    {VN, "12\n0\ny\n", 21},  // stat, id, header, templates, copy, read back, OEM, stamp, fsync, J
    {VN, "7\n", 5},          // show: stat, id, header, OEM, LLDP
    {VN, "-1\n", 4},
    {VN, "13\n", 2},
    {VN, "8\n", 2},
    {MR, "1\ny\n", 14},
    {MR, "2\nabcdef\ny\n", 17},
    {MR, "5\n0\n", 17},
    {MR, "6\nc\n", 18},
    {MR, "3\n", 3},
    {MR, "-2\n", 18},
    {MR, "13\n", 1},
};

// Each command given once, twice and three times: within its share, twice costing twice as much. Then
// each call of it fails in turn: the output up to the error is the fault-free one; a failure at start-up
// or identity ends the run (-1), a failed command is undone (status 1), a failed close at option 0 keeps
// it (status 1). Every value word is set, so that reports and option 1 touch every feature.
TEST(FaultTable, EveryImageCallOfEveryCommand)
{
    for (const auto &row : COMMANDS) {
        SCOPED_TRACE(::testing::PrintToString(row.in));
        fixture_t fx = make_fixture(row.plan, {{OEM, 0x013F55AA},
                                               {LLDP, 0x3},
                                               {LED, 0x11},
                                               {GPIO, 0x22},
                                               {MODE, 0x33},
                                               {ARP, 0xF},
                                               {WOL, 0x44}});
        unsigned long calls[3];
        for (int times = 0; times < 3; times++) {
            std::string in = "0\n";
            for (int i = 0; i < times; i++)
                in.insert(0, row.in);
            put_back(fx);
            here_t s = run_here(fx.path, {"-f", "@"}, in);
            ASSERT_TRUE(s.status == 0 && s.out.find("[Error]") == std::string::npos) << s.out;
            calls[times] = s.calls;
        }
        // The first writing command of a run also reads the image whole, once, for its digest.
        const unsigned long first = calls[1] - calls[0], again = calls[2] - calls[1];
        EXPECT_LE(*row.in ? again : calls[0], row.most);
        EXPECT_TRUE(first == again || first == again + IMG_FLASH_SIZE / 0x10000)
            << first << " " << again;

        const std::string in = std::string(row.in) + "0\n0\n";
        put_back(fx);
        const here_t ok = run_here(fx.path, {"-f", "@"}, in);
        const bytes_t done = read_file(fx.path);
        each_fault(ok.calls, [&](unsigned long n, img_fault_mode_t mode) {
            put_back(fx);
            here_t f = run_here(fx.path, {"-f", "@"}, in, n, mode);
            unlink((fx.path + ".norvask-journal").c_str());
            if (f.err.find(": the journal could not be removed for good (") != std::string::npos) {
                EXPECT_TRUE(f.status == -1 &&
                            same_image(done, read_file(fx.path)));  // the command completed
                return;
            }
            size_t at = f.out.find("[Error] Fail to ");
            ASSERT_NE(std::string::npos, at) << "unnoticed:\n" << f.out;
            EXPECT_EQ(ok.out.substr(0, at), f.out.substr(0, at));
            const std::string tail = f.out.substr(at);
            const bool in_exit_cycle = at == ok.out.size();
            EXPECT_TRUE(same_image(in_exit_cycle ? done : fx.bytes, read_file(fx.path)));
            EXPECT_TRUE(tail == OPEN_FAIL || (at == 0 && tail == READ_FAIL) ? f.status == -1
                        : tail == WRITE_FAIL
                            ? in_exit_cycle && f.status == 1  // the close at option 0
                            : f.status == 1 && (tail.starts_with(READ_FAIL UNDONE) ||
                                                tail.starts_with(WRITE_FAIL UNDONE)))
                << f.status << " " << tail;
        });
    }
}
