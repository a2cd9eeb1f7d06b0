// Every command is all or nothing: sessions run in this process while one image call after
// another fails (an I/O error, or a write that stores half its bytes first).
#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "harness.h"
#include "norvask-oem-cfg.h"

#define OPEN_FAIL "[Error] Fail to open file!\n"
#define READ_FAIL "[Error] Fail to read file!\n"
#define WRITE_FAIL "[Error] Fail to write file!\n"
#define UNDONE "[Warn]The command was undone.\n"
#define G "Please input config val of GPIO :"
#define GPIO_SET "\nConfiguration completed successfully\n    GPIO : 0xab\n" \
                 "\nEnable GPIO configuration or not 'Y' or 'N' : "

struct here_t { run_t r; bytes_t image; unsigned long calls; };

static void put_file(const std::string &path, const void *data, size_t n)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write((const char *)data, (std::streamsize)n);
}

// One session on the fixture's bytes written afresh; call `fail` of the run (1: the opening of
// the image) fails in `mode`. The status is the tool's own (-1, 0 or 1).
static here_t run_here(const fixture_t &fx, const std::string &in, unsigned long fail = 0,
                       img_fault_mode_t mode = IMG_FAULT_ERROR)
{
    const std::string in_path = fx.path + ".in", out_path = fx.path + ".out";
    put_file(fx.path, fx.bytes.data(), fx.bytes.size());
    put_file(in_path, in.data(), in.size());
    fflush(stdout);
    int saved_in = dup(0), saved_out = dup(1);
    int in_fd = open(in_path.c_str(), O_RDONLY), out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    close(in_fd);
    close(out_fd);
    std::string path = fx.path;
    char arg0[] = "norvask_oem_tool", arg1[] = "-f";
    char *argv[] = {arg0, arg1, path.data(), nullptr};
    const unsigned long before = img_calls();
    img_fault_after(fail, mode);
    here_t h{{"", oem_tool_main(3, argv)}, {}, 0};
    img_fault_clear();
    h.calls = img_calls() - before;
    fflush(stdout);
    clearerr(stdout);
    dup2(saved_in, 0);
    dup2(saved_out, 1);
    close(saved_in);
    close(saved_out);
    bytes_t out = read_file(out_path);
    h.r.out.assign(out.begin(), out.end());
    h.image = read_file(fx.path);
    unlink(in_path.c_str());
    unlink(out_path.c_str());
    return h;
}

static const words_t SET = {{OEM_CFG_ADDR, 0x004055AA}, {LLDP_START_ADDR, 0x3}, {LED_CFG_ADDR, 0x11},
                            {GPIO_CFG_ADDR, 0x22}, {PHY_MODE_CFG_ADDR, 0x33}, {WOL_CFG_ADDR, 0x44}};

// Each call of each command fails in turn. The output up to the error is the fault-free one;
// then a failure at start-up or in the identity check ends the run (-1), a failed command
// is undone and the run goes on to option 0 (status 1), and a failed close at option 0 keeps
// the completed command (status 1). Answers are chosen to mean nothing at the menu: after a
// failed command they are refused. The last "0" is left for a failure in the exit cycle.
TEST(FaultTable, EveryImageCallOfEveryCommand)
{
    const image_plan_t vn = board(0, 0x10), mr = board(1, 0x30);
    static const struct { image_plan_t plan; const char *in; } rows[] = {
        {vn, "5\nab\ny\n"},                    // GPIO
        {board(0, 0x52), "6\na1\nn\n"},        // MV PHY mode
        {board(0, 0x60), "2\na\nb\nc\nd\ny\n"},  // YT LED, two words
        {board(0, 0x51), "3\nfff\ny\n"},       // MV LED
        {vn, "4\nabcdef\nn\n"},                // inner LED
        {vn, "9\n0\n"},                        // SMBus ARP
        {vn, "10\n300\ny\n"},                  // wake IO
        {vn, "11\nc\n"},                       // LLDP
        {vn, "1\ny\nn\ny\ny\n"},               // four switches, one command
        {vn, "-2\n"},                          // reset
        {vn, "12\n2\ny\n"},                    // port disable: header block and switch
        {vn, "7\n"},
        {vn, "-1\n"},
        {mr, "1\ny\n"},
        {mr, "2\nabcdef\ny\n"},
        {mr, "5\n0\n"},
        {mr, "6\nc\n"},
        {mr, "3\n"},
        {mr, "-2\n"},
    };
    for (const auto &row : rows) {
        fixture_t fx = make_fixture(row.plan, SET);
        const std::string in = std::string(row.in) + "0\n0\n";
        const here_t ok = run_here(fx, in);
        ASSERT_EQ(0, ok.r.status) << row.in << ok.r.out;
        for (img_fault_mode_t mode : {IMG_FAULT_ERROR, IMG_FAULT_PARTIAL})
            for (unsigned long n = 1; n <= ok.calls; n++) {
                SCOPED_TRACE(::testing::PrintToString(in) + " call " + std::to_string(n) + " mode " +
                             std::to_string(mode));
                here_t f = run_here(fx, in, n, mode);
                size_t at = f.r.out.find("[Error] Fail to ");
                ASSERT_NE(std::string::npos, at) << "unnoticed:\n" << f.r.out;
                EXPECT_EQ(ok.r.out.substr(0, at), f.r.out.substr(0, at));
                const std::string tail = f.r.out.substr(at);
                const bool in_exit_cycle = at == ok.r.out.size();
                EXPECT_TRUE(same_image(in_exit_cycle ? ok.image : fx.bytes, f.image));
                if (tail == OPEN_FAIL || (at == 0 && tail == READ_FAIL))
                    EXPECT_EQ(-1, f.r.status);
                else if (tail == WRITE_FAIL)
                    EXPECT_TRUE(in_exit_cycle && f.r.status == 1);  // the close at option 0
                else
                    EXPECT_TRUE(f.r.status == 1 && (tail.starts_with(READ_FAIL UNDONE) ||
                                                    tail.starts_with(WRITE_FAIL UNDONE))) << tail;
            }
        unlink(fx.path.c_str());
    }
}

// Whole transcripts of one GPIO command, each image call of it failing in turn: every call
// gives one of these, and each of these is given by some call.
TEST(FaultTable, Transcripts)
{
    fixture_t fx = make_fixture(board(0, 0x10));
    const bytes_t done = with_words(fx.bytes, {{GPIO_CFG_ADDR, 0xAB}, {OEM_CFG_ADDR, 0x000155AA}});
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
    const unsigned long calls = run_here(fx, in).calls;
    for (img_fault_mode_t mode : {IMG_FAULT_ERROR, IMG_FAULT_PARTIAL}) {
        std::vector<bool> seen(std::size(outcomes));
        for (unsigned long n = 1; n <= calls; n++) {
            here_t f = run_here(fx, in, n, mode);
            size_t i = 0;
            while (i < seen.size() && !(outcomes[i].out == f.r.out && outcomes[i].status == f.r.status &&
                                        outcomes[i].image == f.image))
                i++;
            if (i < seen.size())
                seen[i] = true;
            else
                ADD_FAILURE() << "call " << n << " mode " << mode << ": status " << f.r.status << "\n" << f.r.out;
        }
        for (size_t i = 0; i < seen.size(); i++)
            EXPECT_TRUE(seen[i]) << "never given:\n" << outcomes[i].out;
    }
    unlink(fx.path.c_str());
}
