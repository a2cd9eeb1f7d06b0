// Every command is all or nothing: sessions run in this process while one image call after
// another fails (an I/O error, or a write that stores half its bytes first).
#include "harness.h"

#define GPIO_SET "\nConfiguration completed successfully\n    GPIO : 0xab\n" \
                 "\nEnable GPIO configuration or not 'Y' or 'N' : "

// Each call of each command fails in turn. The output up to the error is the fault-free one;
// then a failure at start-up or in the identity check ends the run (-1), a failed command
// is undone and the run goes on to option 0 (status 1), and a failed close at option 0 keeps
// the completed command (status 1). Answers are chosen to mean nothing at the menu: after a
// failed command they are refused. The last "0" is left for a failure in the exit cycle.
TEST(FaultTable, EveryImageCallOfEveryCommand)
{
    const image_plan_t vn = board(0, 0x10), mr = board(1, 0x30);
    static const struct { image_plan_t plan; const char *in; } rows[] = {
        {vn, "5\nab\ny\n"},                      // GPIO
        {board(0, 0x52), "6\na1\nn\n"},          // MV PHY mode
        {board(0, 0x60), "2\na\nb\nc\nd\ny\n"},  // YT LED, two words
        {board(0, 0x51), "3\nfff\ny\n"},         // MV LED
        {vn, "4\nabcdef\nn\n"},                  // inner LED
        {vn, "9\n0\n"},                          // SMBus ARP
        {vn, "10\n300\ny\n"},                    // wake IO
        {vn, "11\nc\n"},                         // LLDP
        {vn, "1\ny\nn\ny\ny\n"},                 // four switches, one command
        {vn, "-2\n"},                            // reset
        {vn, "12\n2\ny\n"},                      // port disable: header block and switch
        {vn, "7\n"}, {vn, "-1\n"}, {mr, "1\ny\n"}, {mr, "2\nabcdef\ny\n"}, {mr, "5\n0\n"}, {mr, "6\nc\n"},
        {mr, "3\n"}, {mr, "-2\n"},
    };
    for (const auto &row : rows) {
        fixture_t fx = make_fixture(row.plan, {{OEM, 0x004055AA}, {LLDP, 3}, {LED, 0x11}, {GPIO, 0x22},
                                               {MODE, 0x33}, {WOL, 0x44}});
        const std::string in = std::string(row.in) + "0\n0\n";
        SCOPED_TRACE(::testing::PrintToString(in));
        const here_t ok = run_here(fx.path, {"-f", "@"}, in);
        ASSERT_EQ(0, ok.status) << ok.out;
        const bytes_t done = read_file(fx.path);
        each_fault(ok.calls, [&](unsigned long n, img_fault_mode_t mode) {
            put_back(fx);
            here_t f = run_here(fx.path, {"-f", "@"}, in, n, mode);
            size_t at = f.out.find("[Error] Fail to ");
            ASSERT_NE(std::string::npos, at) << "unnoticed:\n" << f.out;
            EXPECT_EQ(ok.out.substr(0, at), f.out.substr(0, at));
            const std::string tail = f.out.substr(at);
            const bool in_exit_cycle = at == ok.out.size();
            EXPECT_TRUE(same_image(in_exit_cycle ? done : fx.bytes, read_file(fx.path)));
            if (tail == OPEN_FAIL || (at == 0 && tail == READ_FAIL))
                EXPECT_EQ(-1, f.status);
            else if (tail == WRITE_FAIL)
                EXPECT_TRUE(in_exit_cycle && f.status == 1);  // the close at option 0
            else
                EXPECT_TRUE(f.status == 1 && (tail.starts_with(READ_FAIL UNDONE) ||
                                              tail.starts_with(WRITE_FAIL UNDONE))) << tail;
        });
    }
}

// Whole transcripts of one GPIO command, each image call of it failing in turn: every call
// gives one of these, and each of these is given by some call, in both modes.
TEST(FaultTable, Transcripts)
{
    fixture_t fx = make_fixture(board(0, 0x10));
    const bytes_t done = with_words(fx.bytes, {{GPIO, 0xAB}, {OEM, 0x000155AA}});
    const std::string in = "5\nab\ny\n0\n0\n", menu = vn_menu(fx.path) + P, set = menu + G + GPIO_SET,
                      on = set + "GPIO configuration is : ON.\n\n", refused = "Illegal input!!!\n" P;
    const struct { std::string out; int status; const bytes_t &image; } outcomes[] = {
        {OPEN_FAIL, -1, fx.bytes},  // open, fstat, lock (an I/O error is not "in use")
        {READ_FAIL, -1, fx.bytes},  // the sub-system id at start-up
        {menu + OPEN_FAIL, -1, fx.bytes},
        {menu + READ_FAIL UNDONE P + refused + refused, 1, fx.bytes},  // the board record
        {menu + G READ_FAIL UNDONE "\n" P + refused, 1, fx.bytes},
        {menu + G WRITE_FAIL UNDONE "\n" P + refused, 1, fx.bytes},
        {set + WRITE_FAIL UNDONE "\n" P, 1, fx.bytes},
        {on + WRITE_FAIL UNDONE P, 1, fx.bytes},  // fsync
        {on + P OPEN_FAIL, -1, done},
        {on + P READ_FAIL UNDONE P, 1, done},
        {on + P WRITE_FAIL, 1, done},  // the close at option 0
    };
    std::vector<int> seen(std::size(outcomes));  // bit 0 with an error, bit 1 half-written
    each_fault(run_here(fx.path, {"-f", "@"}, in).calls, [&](unsigned long n, img_fault_mode_t mode) {
        put_back(fx);
        here_t f = run_here(fx.path, {"-f", "@"}, in, n, mode);
        const bytes_t image = read_file(fx.path);
        size_t i = 0;
        while (i < seen.size() && !(outcomes[i].out == f.out && outcomes[i].status == f.status &&
                                    outcomes[i].image == image))
            i++;
        if (i < seen.size())
            seen[i] |= 1 << mode;
        else
            ADD_FAILURE() << "status " << f.status << "\n" << f.out;
    });
    for (size_t i = 0; i < seen.size(); i++)
        EXPECT_EQ(3, seen[i]) << "not given in every mode:\n" << outcomes[i].out;
}
