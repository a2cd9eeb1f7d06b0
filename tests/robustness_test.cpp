// The built tool under closed or failing standard descriptors, terminating signals at a question,
// file size limits, an image replaced between commands and an odd name.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "harness.h"

#define GPIO_Q "\nConfiguration completed successfully\n    GPIO : 0x1f\n" \
               "\nEnable GPIO configuration or not 'Y' or 'N' : "
#define GPIO_ON G GPIO_Q "GPIO configuration is : ON.\n\n"
#define PORTS_ASKED "current port num : 4, max port num : 4\nPlease input the number of disabled network ports:"
#define PORTS_Q PORTS_ASKED "\nConfiguration completed successfully, current port num:0x3\n" \
            "\nEnable netport disable configuration or not 'Y' or 'N' : "
#define LOST "norvask_oem_tool: standard output cannot be written, the unfinished command was undone\n"
#define REFUSED "Illegal input!!!\n" P

static const image_plan_t B = board(0, 0x10);
static const std::string GPIO_IN = "5\n1f\ny\n0\n";

static void to_file(int fd, const char *path)
{
    int f = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(f, fd);
    close(f);
}

// The image untouched in every case. The reader of standard output goes away at the GPIO
// question: the command, finished after it, is undone.
TEST(Process, StandardDescriptorsClosedOrLost)
{
    run_rows({
        {B, {}, GPIO_IN, "norvask_oem_tool: standard output is closed\n", {}, 255, {"-f", "@"}, 0, [] { close(1); }},
        {B, {}, GPIO_IN, "@V" P MENU_END, {}, 255, {"-f", "@"}, 0, [] { close(0); }},
        {B, {}, GPIO_IN, LOST, {}, 255, {"-f", "@"}, 0, [] { to_file(1, "/dev/full"); }},
    });
    fixture_t fx = make_fixture(B);
    const std::string err = fx.path + ".err", asked = vn_menu(fx.path) + P G GPIO_Q;
    child_t c = start_tool({"-f", fx.path}, [&] { to_file(2, err.c_str()); });
    ASSERT_EQ(5, write(c.in_fd, "5\n1f\n", 5));
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
    static const struct { words_t pre; std::string typed, asked; } places[] = {
        {{}, "5\n1f\n", P G GPIO_Q}, {{}, "12\n1\n", P PORTS_Q}, {{}, "", P},
        {{{LED, 1}, {GPIO, 2}}, "1\ny\n", P "\nEnable LED configuration or not 'Y' or 'N' : LED configuration is : "
                                          "ON.\n\nEnable GPIO configuration or not 'Y' or 'N' : "},
    };
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        for (const auto &place : places) {
            SCOPED_TRACE(std::to_string(sig) + " after " + ::testing::PrintToString(place.typed));
            fixture_t fx = make_fixture(B, place.pre);
            const std::string asked = vn_menu(fx.path) + place.asked;
            child_t c = start_tool({"-f", fx.path}, [] { set_limit(RLIMIT_CORE, 0); });
            ASSERT_EQ((ssize_t)place.typed.size(), write(c.in_fd, place.typed.data(), place.typed.size()));
            ASSERT_EQ(asked, read_output(c, asked.size()));
            kill(c.pid, sig);
            run_t r = finish_tool(c, "");
            EXPECT_EQ(place.typed.empty() ? "\n[Error] Interrupted!\n"
                                          : "\n[Error] Interrupted, the unfinished command was undone!\n", r.out);
            EXPECT_EQ(128 + sig, r.status);
            EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
        }
}

// Writes past the file size limit fail, SIGXFSZ at its default action: the command is undone
// (status 1) or, when every write fits, completes (status 0); the tool is never killed.
TEST(Process, FileSizeLimitsWithTheDefaultSignalAction)
{
    auto fsize = [](rlim_t n) { return [n] { set_limit(RLIMIT_FSIZE, n); signal(SIGXFSZ, SIG_DFL); }; };
    const std::string ports_in = "12\n1\ny\n0\n";
    run_rows({
        {B, {}, GPIO_IN, "@V" P G WRITE_FAIL UNDONE "\n" P REFUSED, {}, 1, {"-f", "@"}, 0, fsize(0xFF006)},
        {B, {}, ports_in, "@V" P PORTS_ASKED WRITE_FAIL UNDONE "\n" P REFUSED, {}, 1, {"-f", "@"}, 0, fsize(0)},
        {B, {}, ports_in, "@V" P PORTS_Q WRITE_FAIL UNDONE "\n" P, {}, 1, {"-f", "@"}, 0, fsize(1024)},
        {B, {}, ports_in, "@V" P PORTS_Q "netport disable configuration is : ON.\n\n" P, {{OEM, 0x010055AA}}, 0,
         {"-f", "@"}, ENABLE_THREE_PORTS, fsize(0xFF006)},
    });
}

// The image named on the command line is replaced between two commands: nothing is written to
// either file and the run ends. A symlink to it keeps working, its name's control characters
// shown escaped in the menu's note line.
TEST(Process, ImageReplacedBetweenCommands)
{
    enum { KEPT, RENAMED_OVER, TRUNCATED };
    for (int change : {KEPT, RENAMED_OVER, TRUNCATED}) {
        SCOPED_TRACE(change);
        fixture_t fx = make_fixture(B), other = make_fixture(B, {{GPIO, 7}});
        const std::string link = fx.path + ".lnk\n\x01\x7f", held = fx.path + ".held",
                          path = change == KEPT ? link : fx.path, shown = change == KEPT ? fx.path + ".lnk\\n\\x01\\x7f" : fx.path;
        ASSERT_EQ(0, symlink(fx.path.c_str(), link.c_str()) | ::link(fx.path.c_str(), held.c_str()));
        const std::string listed = vn_menu(shown) + P + vn_menu(shown) + "\n" P;
        child_t c = start_tool({"-f", path});
        ASSERT_EQ(2, write(c.in_fd, "8\n", 2));
        ASSERT_EQ(listed, read_output(c, listed.size()));
        ASSERT_EQ(0, change == RENAMED_OVER ? rename(other.path.c_str(), fx.path.c_str())
                     : change == TRUNCATED  ? truncate(fx.path.c_str(), OEM) : 0);
        run_t r = finish_tool(c, GPIO_IN);
        EXPECT_EQ(change == KEPT ? std::string(GPIO_ON P) : "norvask_oem_tool: " + shown + (change == TRUNCATED ? ": too short\n"
                                   : ": no longer the file opened at start-up\n") + OPEN_FAIL, r.out);
        EXPECT_EQ(change == KEPT ? 0 : 255, r.status);
        // The file locked at start-up (cut short: the rest counts as zeros), and the other one.
        bytes_t first = read_file(held), want = change == KEPT ? with_words(fx.bytes, {{GPIO, 0x1F}, {OEM, 0x155AA}}) : fx.bytes;
        if (change == TRUNCATED) {
            first.resize(fx.bytes.size(), 0);
            std::fill(want.begin() + OEM, want.end(), 0);
        }
        EXPECT_TRUE(same_image(other.bytes, read_file(change == RENAMED_OVER ? fx.path : other.path)));
        EXPECT_TRUE(same_image(want, first));
        unlink(link.c_str());
        unlink(held.c_str());
    }
}
