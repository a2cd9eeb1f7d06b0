// The built tool under closed or failing standard descriptors, terminating signals at a question,
// file size limits, an image replaced between commands, an odd name, and the lock on the image.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

#define GPIO_Q "\nConfiguration completed successfully\n    GPIO : 0x1f\n" \
               "\nEnable GPIO configuration or not 'Y' or 'N' : "
#define GPIO_ON G GPIO_Q "GPIO configuration is : ON.\n\n"
#define PORTS_ASKED "current port num : 4, max port num : 4\nPlease input the number of disabled network ports:"
#define PORTS_Q PORTS_ASKED "\nConfiguration completed successfully, current port num:0x3\n" \
            "\nEnable netport disable configuration or not 'Y' or 'N' : "
#define LOST "norvask_oem_tool: standard output cannot be written, the unfinished command was undone\n"
#define INTR "\n[Error] Interrupted, the unfinished command was undone!\n"

static const image_plan_t B = board(0, 0x10);
static const std::string GPIO_IN = "5\n1f\ny\n0\n", PORTS_IN = "12\n1\ny\n0\n";
static const words_t GPIO_DONE = {{GPIO, 0x1F}, {OEM, 0x000155AA}}, PORTS_DONE = {{OEM, 0x010055AA}};

static void to_file(int fd, const char *path)
{
    int f = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(f, fd);
    close(f);
}

// The image untouched in every row; only a regular file or a block device is an image.
TEST(Process, StandardDescriptorsClosedOrLostAndNoImage)
{
    const std::string fifo = testing::TempDir() + "norvask-fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    run_rows({
        {B, {}, GPIO_IN, "norvask_oem_tool: standard output is closed\n", {}, 255, {"-f", "@"}, 0, {},
         [] { close(1); }},
        {B, {}, GPIO_IN, "@V" P MENU_END, {}, 255, {"-f", "@"}, 0, {}, [] { close(0); }},
        {B, {}, GPIO_IN, "norvask_oem_tool: standard output is closed\n", {}, 255, {"-f", "@"}, 0, {},
         [] { close(0); close(1); }},
        {B, {}, GPIO_IN, LOST, {}, 255, {"-f", "@"}, 0, {}, [] { to_file(1, "/dev/full"); }},
        {B, {}, "0\n", "norvask_oem_tool: " + fifo + ": not a regular file or block device\n" OPEN_FAIL, {}, 255,
         {"-f", fifo}},
    });
    unlink(fifo.c_str());
    // The reader of standard output goes away at the GPIO question: the command is undone.
    fixture_t fx = make_fixture(B);
    const std::string err = fx.path + ".err", asked = vn_menu(fx.path) + P G GPIO_Q;
    child_t c = start_tool({"-f", fx.path}, {}, [&] { to_file(2, err.c_str()); });
    ASSERT_EQ((ssize_t)5, write(c.in_fd, "5\n1f\n", 5));
    ASSERT_EQ(asked, read_output(c, asked.size()));
    to_file(c.out_fd, "/dev/null");
    EXPECT_EQ(255, finish_tool(c, "y\n0\n").status);
    EXPECT_EQ(LOST, file_text(err));
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    unlink(err.c_str());
}

// A terminating signal at a question: the unfinished command is undone, the tool ends by it.
TEST(Process, SignalsUndoTheUnfinishedCommand)
{
    static const struct { words_t pre; std::string typed, asked, said; } places[] = {
        {{}, "5\n1f\n", P G GPIO_Q, INTR}, {{}, "12\n1\n", P PORTS_Q, INTR},
        {{{LED, 1}, {GPIO, 2}}, "1\ny\n", P "\nEnable LED configuration or not 'Y' or 'N' : LED configuration is : "
                                          "ON.\n\nEnable GPIO configuration or not 'Y' or 'N' : ", INTR},
        {{}, "", P, "\n[Error] Interrupted!\n"},
    };
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        for (const auto &place : places) {
            SCOPED_TRACE(std::to_string(sig) + " after " + ::testing::PrintToString(place.typed));
            fixture_t fx = make_fixture(B, place.pre);
            const std::string asked = vn_menu(fx.path) + place.asked;
            child_t c = start_tool({"-f", fx.path}, {RLIMIT_CORE, 0});
            ASSERT_EQ((ssize_t)place.typed.size(), write(c.in_fd, place.typed.data(), place.typed.size()));
            ASSERT_EQ(asked, read_output(c, asked.size()));
            kill(c.pid, sig);
            run_t r = finish_tool(c, "");
            EXPECT_EQ(place.said, r.out);
            EXPECT_EQ(128 + sig, r.status);
            EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
        }
}

// Writes past the file size limit fail, SIGXFSZ at its default action: the command is undone
// (status 1) or, when every write fits, completes (status 0); the tool is never killed.
TEST(Process, FileSizeLimitsWithTheDefaultSignalAction)
{
    // Outcomes: 0 complete, 1 the first write fails, 2 the header block is copied, the switch fails.
    static const struct { rlim_t limit; int gpio, ports; } limits[] = {
        {0, 1, 1}, {4, 1, 1}, {512, 1, 1}, {1024, 1, 2}, {0xF1002, 1, 2}, {0xFF006, 1, 0}, {0xFF02A, 0, 0},
    };
    const std::string gpio[] = {"@V" P GPIO_ON P, "@V" P G WRITE_FAIL UNDONE "\n" P "Illegal input!!!\n" P},
                      ports[] = {"@V" P PORTS_Q "netport disable configuration is : ON.\n\n" P,
                                 "@V" P PORTS_ASKED WRITE_FAIL UNDONE "\n" P "Illegal input!!!\n" P,
                                 "@V" P PORTS_Q WRITE_FAIL UNDONE "\n" P};
    std::vector<row_t> rows;
    for (const auto &l : limits) {
        const limit_t limit = {RLIMIT_FSIZE, l.limit};
        auto xfsz = [] { signal(SIGXFSZ, SIG_DFL); };
        rows.push_back({B, {}, GPIO_IN, gpio[l.gpio], l.gpio ? words_t{} : GPIO_DONE, l.gpio ? 1 : 0, {"-f", "@"},
                        0, limit, xfsz});
        rows.push_back({B, {}, PORTS_IN, ports[l.ports], l.ports ? words_t{} : PORTS_DONE, l.ports ? 1 : 0,
                        {"-f", "@"}, l.ports ? 0 : ENABLE_THREE_PORTS, limit, xfsz});
    }
    run_rows(rows);
}

// The image named on the command line is replaced between two commands: nothing is written to
// either file and the run ends. A symlink left alone keeps working.
TEST(Process, ImageReplacedBetweenCommands)
{
    enum { KEPT, RETARGETED, RENAMED_OVER, TRUNCATED };
    for (int change : {KEPT, RETARGETED, RENAMED_OVER, TRUNCATED}) {
        SCOPED_TRACE(change);
        fixture_t fx = make_fixture(B), other = make_fixture(B, {{GPIO, 7}});
        const std::string link = fx.path + ".lnk", held = fx.path + ".held";
        ASSERT_EQ(0, symlink(fx.path.c_str(), link.c_str()) | ::link(fx.path.c_str(), held.c_str()));
        const std::string path = change == RENAMED_OVER || change == TRUNCATED ? fx.path : link;
        const std::string listed = vn_menu(path) + P + vn_menu(path) + "\n" P;
        child_t c = start_tool({"-f", path});
        ASSERT_EQ((ssize_t)2, write(c.in_fd, "8\n", 2));
        ASSERT_EQ(listed, read_output(c, listed.size()));
        ASSERT_EQ(0, change == RETARGETED ? unlink(link.c_str()) | symlink(other.path.c_str(), link.c_str())
                     : change == RENAMED_OVER ? rename(other.path.c_str(), fx.path.c_str())
                     : change == TRUNCATED    ? truncate(fx.path.c_str(), OEM_CFG_ADDR)
                                              : 0);
        run_t r = finish_tool(c, GPIO_IN);
        EXPECT_EQ(change == KEPT ? std::string(GPIO_ON P)
                                 : "norvask_oem_tool: " + path + (change == TRUNCATED ? ": too short\n" : ": no longer the file "
                                   "opened at start-up\n") + OPEN_FAIL, r.out);
        EXPECT_EQ(change == KEPT ? 0 : 255, r.status);
        // The file locked at start-up (cut short: the rest counts as zeros), and the other one.
        bytes_t first = read_file(held), want = change == KEPT ? with_words(fx.bytes, GPIO_DONE) : fx.bytes;
        if (change == TRUNCATED) {
            first.resize(fx.bytes.size(), 0);
            std::fill(want.begin() + OEM_CFG_ADDR, want.end(), 0);
        }
        EXPECT_TRUE(same_image(other.bytes, read_file(change == RENAMED_OVER ? fx.path : other.path)));
        EXPECT_TRUE(same_image(want, first));
        unlink(link.c_str());
        unlink(held.c_str());
    }
}

// Control characters of the image's name are shown escaped in the menu's note line.
TEST(Process, ImageNameEscapedInTheMenu)
{
    fixture_t fx = make_fixture(B);
    const std::string odd = fx.path + "\n[Note] x\x01\x7f";
    ASSERT_EQ(0, rename(fx.path.c_str(), odd.c_str()));
    run_t r = run_tool({"-f", odd}, "0\n");
    EXPECT_EQ(vn_menu(fx.path + "\\n[Note] x\\x01\\x7f") + P, r.out);
    EXPECT_EQ(0, r.status);
    unlink(odd.c_str());
}

TEST(Lock, SecondInstanceIsRefusedWhileTheFirstRuns)
{
    fixture_t fx = make_fixture(B);
    const std::string waiting = vn_menu(fx.path) + P;
    child_t first = start_tool({"-f", fx.path});
    ASSERT_EQ(waiting, read_output(first, waiting.size()));
    run_t second = run_tool({"-f", fx.path}, "-2\n0\n");
    EXPECT_EQ("norvask_oem_tool: " + fx.path + ": locked by another process\n" OPEN_FAIL
              "[Error] The image is in use by another process.\n", second.out);
    EXPECT_EQ(255, second.status);
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    run_t ended = finish_tool(first, "0\n");
    EXPECT_EQ("", ended.out);
    EXPECT_EQ(0, ended.status);
    run_t again = run_tool({"-f", fx.path}, "0\n");
    EXPECT_EQ(waiting, again.out);
    EXPECT_EQ(0, again.status);
}
