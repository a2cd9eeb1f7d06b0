// The built tool with standard descriptors closed or failing, signals, a file size limit, an image replaced.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "harness.h"

#define GPIO_Q G "\nConfiguration completed successfully\n    GPIO : 0x1f\n\nEnable GPIO configuration or not 'Y' or 'N' : "
#define LOST "norvask_oem_tool: standard output cannot be written, the unfinished command was undone\n"

static const image_plan_t B = board(0, 0x10);
static const std::string GPIO_IN = "5\n1f\ny\n0\n";

static void to_file(int fd, const char *path) { int f = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600); dup2(f, fd), close(f); }

// The tool on `path`: `typed`; once `shown` is read, `act`; then `rest` and the end of input.
static run_t interrupted(const std::string &path, const std::string &typed, const std::string &shown,
                         const std::function<void(child_t &)> &act, const std::string &rest = "",
                         const std::function<void()> &setup = nullptr) {
    child_t c = start_tool({"-f", path}, setup);
    EXPECT_EQ((ssize_t)typed.size(), write(c.in_fd, typed.data(), typed.size()));
    EXPECT_EQ(shown, read_output(c, shown.size()));
    act(c);
    return finish_tool(c, rest);
}

// Output or input closed, a write past the file size limit with SIGXFSZ at its default action (the word
// put back, the tool not killed), the reader of output gone at a question (the command after it undone).
TEST(Process, StandardDescriptorsAndFileSizeLimit) {
    run_rows({
        {B, {}, GPIO_IN, "norvask_oem_tool: standard output is closed\n", {}, 255, {"-f", "@"}, 0, [] { close(1); }},
        {B, {}, GPIO_IN, "@V" P MENU_END, {}, 255, {"-f", "@"}, 0, [] { close(0); }},
        {B, {}, GPIO_IN, "@V" P G WRITE_FAIL UNDONE "\n" P "Illegal input!!!\n" P, {}, 1, {"-f", "@"}, 0,
         [] { set_limit(RLIMIT_FSIZE, GPIO + 2), signal(SIGXFSZ, SIG_DFL); }},
    });
    fixture_t fx = make_fixture(B);
    const std::string err = fx.path + ".err";
    run_t r = interrupted(fx.path, "5\n1f\n", vn_menu(fx.path) + P GPIO_Q, [](child_t &c) { to_file(c.out_fd, "/dev/null"); },
                          "y\n0\n", [&] { to_file(2, err.c_str()); });
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(LOST, file_text(err));
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    unlink(err.c_str());
}

// A terminating signal at a question: the unfinished command is undone, the tool ends by the signal.
TEST(Process, SignalsUndoTheUnfinishedCommand) {
    // The last place comes after a command undone for a write past the file size limit: the undo
    // lets the signals through again.
    static const struct { words_t pre; std::string typed, asked; bool limited = false; } places[] = {
        {{}, "5\n1f\n", P GPIO_Q}, {{}, "", P},
        {{}, "5\n1f\n12\n0\n", P G WRITE_FAIL UNDONE "\n" P "current port num : 4, max port num : 4\nPlease input the number "
         "of disabled network ports:\nConfiguration completed successfully, current port num:0x4\n\nEnable netport disable "
         "configuration or not 'Y' or 'N' : ", true},
        {{{LED, 1}, {GPIO, 2}}, "1\ny\n", P "\nEnable LED configuration or not 'Y' or 'N' : LED configuration is : "
                                          "ON.\n\nEnable GPIO configuration or not 'Y' or 'N' : "},
    };
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        for (const auto &place : places) {
            SCOPED_TRACE(std::to_string(sig) + " after " + ::testing::PrintToString(place.typed));
            fixture_t fx = make_fixture(B, place.pre);
            run_t r = interrupted(fx.path, place.typed, vn_menu(fx.path) + place.asked, [&](child_t &c) { kill(c.pid, sig); }, "",
                                  [&] { set_limit(RLIMIT_CORE, 0), set_limit(RLIMIT_FSIZE, place.limited ? GPIO + 2 : RLIM_INFINITY); });
            EXPECT_EQ(place.typed.empty() ? "\n[Error] Interrupted!\n"
                                          : "\n[Error] Interrupted, the unfinished command was undone!\n", r.out);
            EXPECT_EQ(-sig, r.status);
            EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
        }
}

// The image named on the command line is replaced between two commands: nothing is written and
// the run ends. A symlink to it keeps working, its name's control characters escaped in the menu.
TEST(Process, ImageReplacedBetweenCommands) {
    enum { KEPT, RENAMED_OVER, TRUNCATED };
    for (int change : {KEPT, RENAMED_OVER, TRUNCATED}) {
        SCOPED_TRACE(change);
        fixture_t fx = make_fixture(B), other = make_fixture(B, {{GPIO, 7}});
        const std::string link = fx.path + ".lnk\n\x01\x7f", shown = change == KEPT ? fx.path + ".lnk\\n\\x01\\x7f" : fx.path;
        ASSERT_EQ(0, symlink(fx.path.c_str(), link.c_str()));
        run_t r = interrupted(change == KEPT ? link : fx.path, "8\n", vn_menu(shown) + P + vn_menu(shown) + "\n" P, [&](child_t &) {
            ASSERT_EQ(0, change == RENAMED_OVER ? rename(other.path.c_str(), fx.path.c_str())
                         : change == TRUNCATED  ? truncate(fx.path.c_str(), OEM) : 0);
        }, GPIO_IN);
        EXPECT_EQ(change == KEPT ? std::string(GPIO_Q "GPIO configuration is : ON.\n\n" P)
                                 : "norvask_oem_tool: " + shown + (change == TRUNCATED ? ": too short\n"
                                   : ": no longer the file opened at start-up\n") + OPEN_FAIL, r.out);
        EXPECT_EQ(change == KEPT ? 0 : 255, r.status);
        EXPECT_TRUE(same_image(change == KEPT ? with_words(fx.bytes, {{GPIO, 0x1F}, {OEM, 0x155AA}}) : change == RENAMED_OVER
                               ? other.bytes : bytes_t(fx.bytes.begin(), fx.bytes.begin() + OEM), read_file(fx.path)));
        unlink(link.c_str());
    }
}
