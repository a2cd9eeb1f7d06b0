// The built tool with standard descriptors closed or failing, signals, a file size limit, an image replaced;
// killed at the prompt after a command, its directory moved while it waits, run by a user of no rights.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

#define GPIO_Q                                                                                     \
    G "\nConfiguration completed successfully\n    GPIO : 0x1f\n\nEnable GPIO configuration or not 'Y' or 'N' : "
#define LOST                                                                                       \
    "norvask_oem_tool: standard output cannot be written, the unfinished command was undone\n"

static const image_plan_t B = board(0, 0x10);
static const std::string GPIO_IN = "5\n1f\ny\n0\n";

static void to_file(int fd, const char *path)
{
    int f = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(f, fd), close(f);
}

// The tool on `path`: `typed`; once `shown` is read, `act`; then `rest` and the end of input.
static run_t interrupted(const std::string &path, const std::string &typed,
                         const std::string &shown, const std::function<void(child_t &)> &act,
                         const std::string &rest = "", const std::function<void()> &setup = nullptr)
{
    child_t c = start_tool({"-f", path}, setup);
    EXPECT_EQ((ssize_t)typed.size(), write(c.in_fd, typed.data(), typed.size()));
    EXPECT_EQ(shown, read_output(c, shown.size()));
    act(c);
    return finish_tool(c, rest);
}

// Output or input closed, a write past the file size limit with SIGXFSZ at its default action (the word
// put back, the tool not killed), the reader of output gone at a question (the command after it undone).
TEST(Process, StandardDescriptorsAndFileSizeLimit)
{
    run_rows({
        {B,
         {},
         GPIO_IN,
         "norvask_oem_tool: standard output is closed\n",
         {},
         255,
         {"-f", "@"},
         0,
         [] { close(1); }},
        {B, {}, GPIO_IN, "@V" P MENU_END, {}, 255, {"-f", "@"}, 0, [] { close(0); }},
        {B,
         {},
         GPIO_IN,
         "@V" P G WRITE_FAIL UNDONE "\n" P "Illegal input!!!\n" P,
         {},
         1,
         {"-f", "@"},
         0,
         [] { set_limit(RLIMIT_FSIZE, GPIO + 2), signal(SIGXFSZ, SIG_DFL); }},
    });
    fixture_t fx = make_fixture(B);
    const std::string err = fx.path + ".err";
    run_t r = interrupted(
        fx.path, "5\n1f\n", vn_menu(fx.path) + P GPIO_Q,
        [](child_t &c) { to_file(c.out_fd, "/dev/null"); }, "y\n0\n",
        [&] { to_file(2, err.c_str()); });
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(LOST, file_text(err));
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    unlink(err.c_str());
}

// A terminating signal at a question: the unfinished command is undone, the tool ends by the signal.
TEST(Process, SignalsUndoTheUnfinishedCommand)
{
    // The last place comes after a command undone for a write past the file size limit: the undo
    // lets the signals through again.
    static const struct {
        words_t pre;
        std::string typed, asked;
        bool limited = false;
    } places[] = {
        {{}, "5\n1f\n", P GPIO_Q},
        {{}, "", P},
        {{},
         "5\n1f\n12\n0\n",
         P G WRITE_FAIL UNDONE
         "\n" P "current port num : 4, max port num : 4\nPlease input the number "
         "of disabled network ports:\nConfiguration completed successfully, current port num:0x4\n\nEnable netport disable "
         "configuration or not 'Y' or 'N' : ",
         true},
        {{{LED, 1}, {GPIO, 2}},
         "1\ny\n",
         P "\nEnable LED configuration or not 'Y' or 'N' : LED configuration is : "
           "ON.\n\nEnable GPIO configuration or not 'Y' or 'N' : "},
    };
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        for (const auto &place : places) {
            SCOPED_TRACE(std::to_string(sig) + " after " + ::testing::PrintToString(place.typed));
            fixture_t fx = make_fixture(B, place.pre);
            run_t r = interrupted(
                fx.path, place.typed, vn_menu(fx.path) + place.asked,
                [&](child_t &c) { kill(c.pid, sig); }, "",
                [&] {
                    set_limit(RLIMIT_CORE, 0),
                        set_limit(RLIMIT_FSIZE, place.limited ? GPIO + 2 : RLIM_INFINITY);
                });
            EXPECT_EQ(place.typed.empty()
                          ? "\n[Error] Interrupted!\n"
                          : "\n[Error] Interrupted, the unfinished command was undone!\n",
                      r.out);
            EXPECT_EQ(-sig, r.status);
            EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
        }
}

// The image named on the command line is replaced between two commands: nothing is written and
// the run ends. A symlink to it keeps working, its name's control characters escaped in the menu.
TEST(Process, ImageReplacedBetweenCommands)
{
    enum { KEPT, RENAMED_OVER, TRUNCATED };
    for (int change : {KEPT, RENAMED_OVER, TRUNCATED}) {
        SCOPED_TRACE(change);
        fixture_t fx = make_fixture(B), other = make_fixture(B, {{GPIO, 7}});
        const std::string link = fx.path + ".lnk\n\x01\x7f",
                          shown = change == KEPT ? fx.path + ".lnk\\n\\x01\\x7f" : fx.path;
        ASSERT_EQ(0, symlink(fx.path.c_str(), link.c_str()));
        run_t r = interrupted(
            change == KEPT ? link : fx.path, "8\n", vn_menu(shown) + P + vn_menu(shown) + "\n" P,
            [&](child_t &) {
                ASSERT_EQ(0, change == RENAMED_OVER ? rename(other.path.c_str(), fx.path.c_str())
                             : change == TRUNCATED  ? truncate(fx.path.c_str(), OEM)
                                                    : 0);
            },
            GPIO_IN);
        EXPECT_EQ(change == KEPT
                      ? std::string(GPIO_Q "GPIO configuration is : ON.\n\n" P)
                      : "norvask_oem_tool: " + shown +
                            (change == TRUNCATED ? ": too short\n"
                                                 : ": no longer the file opened at start-up\n") +
                            OPEN_FAIL,
                  r.out);
        EXPECT_EQ(change == KEPT ? 0 : 255, r.status);
        EXPECT_TRUE(same_image(change == KEPT ? with_words(fx.bytes, {{GPIO, 0x1F}, {OEM, 0x155AA}})
                               : change == RENAMED_OVER
                                   ? other.bytes
                                   : bytes_t(fx.bytes.begin(), fx.bytes.begin() + OEM),
                               read_file(fx.path)));
        unlink(link.c_str());
    }
}

static const std::string SUFFIX = ".norvask-journal";

// Output up to the `times`-th `end`.
static std::string read_until(child_t &c, const std::string &end, int times = 1)
{
    std::string text;
    char ch;
    while (times > 0 && read(c.out_fd, &ch, 1) == 1)
        text += ch, times -= text.ends_with(end);
    return text;
}

static bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// SIGKILL at the prompt after each kind of writing command: its journal is gone, the next start keeps it.
TEST(Process, KilledAtThePromptAfterACommandKeepsIt)
{
    const struct {
        image_plan_t plan;
        std::string in;
    } rows[] = {
        {B, "5\n1f\ny\n"},
        {B, "4\nabcdef\nn\n"},
        {B, "9\n0\n"},
        {B, "10\n300\ny\n"},
        {B, "11\nc\n"},
        {B, "12\n2\ny\n"},
        {B, "-2\n"},
        {B, "1\nn\nn\n"},
        {board(0, 0x52), "6\na1\nn\n"},
        {board(0, 0x60), "2\na\nb\nc\nd\ny\n"},
        {board(0, 0x51), "3\nfff\ny\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.in);
        fixture_t fx = make_fixture(row.plan, {{LED, 0x11}, {GPIO, 2}}),
                  done = make_fixture(row.plan, {{LED, 0x11}, {GPIO, 2}});
        ASSERT_EQ(0, run_here(done.path, {"-f", "@"}, row.in + "0\n").status);
        child_t c = start_tool({"-f", fx.path});
        ASSERT_EQ((ssize_t)row.in.size(), write(c.in_fd, row.in.data(), row.in.size()));
        read_until(c, P, 2);
        EXPECT_FALSE(exists(fx.path + SUFFIX)) << "a journal at the prompt";
        kill(c.pid, SIGKILL);
        EXPECT_EQ(-SIGKILL, finish_tool(c, "").status);
        EXPECT_EQ(vn_menu(fx.path) + P, run_tool({"-f", fx.path}, "0\n").out);
        EXPECT_TRUE(same_image(read_file(done.path), read_file(fx.path)));
    }
}

// A pending journal: the tool killed with the GPIO value written, at its switch question.
static void leave_journal(const std::string &path)
{
    child_t c = start_tool({"-f", path});
    ASSERT_EQ((ssize_t)5, write(c.in_fd, "5\n1f\n", 5));
    read_until(c, "'Y' or 'N' : ");
    kill(c.pid, SIGKILL);
    finish_tool(c, "");
    ASSERT_TRUE(exists(path + SUFFIX));
}

static std::string sh(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    for (int ch; (ch = fgetc(p)) != EOF;)
        out += (char)ch;
    pclose(p);
    return out;
}

// The directory renamed, or swapped with another image's, while the dialogue waits after a command; the
// next command killed at its switch question: its journal is in the directory it holds, nothing is created
// or removed anywhere else, and a start there undoes that command alone.
TEST(Process, DirectoryMovedWhileTheDialogueWaits)
{
    for (bool swap : {false, true}) {
        SCOPED_TRACE(swap ? "swapped" : "renamed");
        const std::string dir = sh("mktemp -d"), top = dir.substr(0, dir.size() - 1);
        const std::string a = top + "/dA", b = top + "/dB", other = top + "/other";
        fixture_t fx = make_fixture(B);
        ASSERT_EQ(0, system(("mkdir " + a + " " + other + " && cp " + fx.path + " " + a +
                             "/a.img && cp " + fx.path + " " + other + "/a.img && echo pending > " +
                             other + "/a.img" + SUFFIX)
                                .c_str()));
        child_t c = start_tool({"-f", "a.img"}, [&] { (void)!chdir(a.c_str()); });
        ASSERT_EQ((ssize_t)12, write(c.in_fd, "5\n1f\ny\n5\n2f\n", 12));
        read_until(c, P, 2);
        ASSERT_EQ(0, system(("mv " + a + " " + b + " && " +
                             (swap ? "mv " + other + " " + a : "mkdir " + a))
                                .c_str()));
        read_until(c, "'Y' or 'N' : ");
        kill(c.pid, SIGKILL);
        finish_tool(c, "");
        EXPECT_EQ(swap ? "a.img\na.img" + SUFFIX + "\n" : "", sh("ls " + a));
        EXPECT_EQ(swap ? "pending\n" : "", swap ? file_text(a + "/a.img" + SUFFIX) : "");
        EXPECT_EQ("a.img\na.img" + SUFFIX + "\n", sh("ls " + b));
        EXPECT_EQ(0, run_tool({"-f", b + "/a.img"}, "0\n").status);
        EXPECT_EQ(0x1Fu, word_at(read_file(b + "/a.img"), GPIO));
        EXPECT_EQ(0, system(("rm -rf " + top).c_str()));
    }
}

// Writers of no rights (user nobody, so root only): a pending journal in a directory they cannot write is
// refused; root's journal beside their image is applied; a journal of a user who may not write the image
// is refused with its owner named. Nothing is written when refused.
TEST(Process, UnprivilegedWriters)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the tool as user nobody and to give files away";
    auto nobody = [] { (void)!setgroups(0, nullptr), (void)!setgid(65534), (void)!setuid(65534); };
    const std::string dir = sh("mktemp -d"), top = dir.substr(0, dir.size() - 1),
                      img = top + "/a.img", j = img + SUFFIX;
    fixture_t fx = make_fixture(B), done = make_fixture(B);
    ASSERT_EQ(0, run_here(done.path, {"set", "@", "lldp=5"}).status);
    const struct {
        std::string what,
            shell;  // run with $D the directory, $I the image, after the journal is left
        bool as_nobody;
        std::string said;  // "": the journal applied, the command done
    } rows[] = {
        {"directory 0711", "chmod 0711 $D", true,
         "a journal of user root (uid 0) is pending, and it cannot be applied and removed (Permission denied)"},
        {"root's journal, nobody's image", "chmod 0777 $D && chown nobody $I && chmod 0644 $I",
         true, ""},
        {"a journal of a user who may not write the image",
         "chown 12345 $I" + SUFFIX + " && chmod 0644 $I", false,
         "a journal of this tool belonging to user unknown (uid 12345), who may not write this image"},
    };
    // A copy of the tool that nobody may run, wherever the build tree is.
    const std::string tool = top + "/tool";
    ASSERT_EQ(0, system(("cp " TOOL_PATH " " + tool).c_str()));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        put_back(fx);
        ASSERT_EQ(0, system(("cp " + fx.path + " " + img + " && chmod 0666 " + img).c_str()));
        leave_journal(img);
        const bytes_t half = read_file(img);
        ASSERT_EQ(0, system(("D=" + top + " I=" + img + "; chmod 0755 $D; " + row.shell).c_str()));
        run_t r = finish_tool(start_tool({"set", img, "lldp=5"},
                                         row.as_nobody ? std::function<void()>(nobody) : nullptr,
                                         tool.c_str()),
                              "");
        EXPECT_EQ(row.said.empty() ? 0 : 3, r.status) << r.out;
        if (!row.said.empty()) {
            EXPECT_NE(std::string::npos, r.out.find("norvask_oem_tool: " + j + ": " + row.said))
                << r.out;
            EXPECT_TRUE(same_image(half, read_file(img)));
            EXPECT_TRUE(exists(j));
        } else {
            EXPECT_TRUE(same_image(read_file(done.path), read_file(img)));
        }
        unlink(j.c_str());
    }
    EXPECT_EQ(0, system(("rm -rf " + top).c_str()));
}
