// Every command is all or nothing and within its share of image calls, in this process.
#include "harness.h"

static const image_plan_t VN = board(0, 0x10), MR = board(1, 0x30);
// One command of each kind of store (a value and its switch, two words in one write, the ARP word,
// the LLDP region, the switches, the defaults, the header block), the reports, each family's start.
// Image calls beyond a session "0": a cycle's stat and id (family 0: header), a pread per region on
// first use, a pwrite per write, an fsync; a journal 13, and 2 a later write.
static const struct {
    image_plan_t plan;
    const char *in;
    unsigned long most_calls;
} COMMANDS[] = {
    {.plan = VN, .in = "5\nab\ny\n", .most_calls = 21},
    {.plan = board(0, 0x60), .in = "2\na\nb\nc\nd\ny\n", .most_calls = 21},
    {.plan = VN, .in = "9\n0\n", .most_calls = 21},
    {.plan = VN, .in = "11\nc\n", .most_calls = 22},
    {.plan = VN, .in = "1\ny\nn\ny\ny\n", .most_calls = 27},
    {.plan = VN, .in = "-2\n", .most_calls = 22},
    {.plan = VN, .in = "12\n2\ny\n", .most_calls = 24},
    {.plan = VN, .in = "7\n", .most_calls = 5},
    {.plan = VN, .in = "", .most_calls = 15},
    {.plan = MR, .in = "", .most_calls = 14},
    {.plan = MR, .in = "6\nc\n", .most_calls = 21},
    {.plan = MR, .in = "3\n", .most_calls = 3},
};

// Each command once, twice, thrice: within its share. Then each of its calls fails in turn: output
// as without fault up to the error; the run ended (-1) at start-up, the command undone (1), or kept
// when the close at option 0 failed (1). Every value word set: the reports touch every feature.
TEST(FaultTable, EveryImageCallOfEveryCommand)
{
    for (const auto &row : COMMANDS) {
        SCOPED_TRACE(::testing::PrintToString(row.in));
        fixture_t fx = make_fixture(row.plan, {{OEM, 0x013F55AA},
                                               {LLDP, 3},
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
            here_t run = run_here(fx.path, {"-f", "@"}, in);
            ASSERT_EQ(0, run.status) << run.out;
            calls[times] = run.calls;
        }
        // The first writing command of a run also reads the image whole, once, for its digest.
        const unsigned long first = calls[1] - calls[0], again = calls[2] - calls[1];
        EXPECT_LE(*row.in ? again : calls[0], row.most_calls);
        EXPECT_TRUE(first == again || first == again + IMG_FLASH_SIZE / 0x10000) << first;

        const std::string in = std::string(row.in) + "0\n0\n";
        put_back(fx);
        const here_t ok = run_here(fx.path, {"-f", "@"}, in);
        const bytes_t done = read_file(fx.path);
        each_fault(ok.calls, [&](unsigned long n, img_fault_mode_t mode) {
            put_back(fx);
            here_t run = run_here(fx.path, {"-f", "@"}, in, n, mode);
            unlink((fx.path + JOURNAL_SUFFIX).c_str());
            const size_t at = run.out.find("[Error] Fail to ");
            ASSERT_NE(std::string::npos, at) << "unnoticed:\n" << run.out;
            EXPECT_EQ(ok.out.substr(0, at), run.out.substr(0, at));
            const std::string tail = run.out.substr(at);
            const bool exit_cycle = at == ok.out.size();
            EXPECT_TRUE(same_image(exit_cycle ? done : fx.bytes, read_file(fx.path)));
            const bool ends_run = tail == OPEN_FAIL || (at == 0 && tail == READ_FAIL);
            EXPECT_EQ(ends_run ? -1 : 1, run.status) << tail;
            EXPECT_TRUE(ends_run || (exit_cycle && tail == WRITE_FAIL) ||
                        tail.starts_with(READ_FAIL UNDONE) || tail.starts_with(WRITE_FAIL UNDONE))
                << tail;
        });
    }
}
