// The built tool with standard descriptors closed or failing, signals, a file size limit, an image
// replaced; killed at the prompt after a command, its directory moved while it waits, run by
// nobody.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

static const image_plan_t VN = board(0, 0x10);
static const std::string GPIO_IN = "5\n1f\ny\n0\n",
                         ASKED = "'Y' or 'N' : ", SUFFIX = ".norvask-journal";

// Output up to the `times`-th `end`.
static std::string read_until(child_t &c, const std::string &end, int times = 1)
{
    std::string text;
    for (char ch; times > 0 && read(c.out_fd, &ch, 1) == 1;)
        text += ch, times -= text.ends_with(end);
    return text;
}

// The tool on `path`: `typed`; once `until` is out, `act`; then `rest` and the end of input.
static run_t interrupted(const std::string &path, const std::string &typed,
                         const std::string &until, const std::function<void(child_t &)> &act,
                         const std::string &rest = "", const std::function<void()> &setup = nullptr)
{
    child_t c = start_tool({"-f", path}, setup);
    EXPECT_EQ((ssize_t)typed.size(), write(c.in_fd, typed.data(), typed.size()));
    read_until(c, until);
    act(c);
    return finish_tool(c, rest);
}

static bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
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

// Output or input closed; a write past the file size limit with SIGXFSZ at its default action (the
// word put back, the tool not killed); the reader of output gone at a question (the command
// undone).
TEST(Process, StandardDescriptorsAndFileSizeLimit)
{
    run_rows({
        {.plan = VN,
         .pre = {},
         .in = GPIO_IN,
         .out = "norvask_oem_tool: standard output is closed\n",
         .status = 255,
         .setup = [] { close(1); }},
        {.plan = VN,
         .pre = {},
         .in = GPIO_IN,
         .out = "@V" P MENU_END,
         .status = 255,
         .setup = [] { close(0); }},
        {.plan = VN,
         .pre = {},
         .in = GPIO_IN,
         .out = "@V" P G WRITE_FAIL UNDONE "\n" P "Illegal input!!!\n" P,
         .status = 1,
         .setup = [] { set_limit(RLIMIT_FSIZE, GPIO + 2), signal(SIGXFSZ, SIG_DFL); }},
    });
    fixture_t fx = make_fixture(VN);
    const std::string err = fx.path + ".err";
    run_t r = interrupted(
        fx.path, "5\n1f\n", ASKED,
        [](child_t &c) { dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), c.out_fd); }, "y\n0\n",
        [&] { dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2); });
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(
        "norvask_oem_tool: standard output cannot be written, the unfinished command was undone\n",
        file_text(err));
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    unlink(err.c_str());
}

// A terminating signal at a question, at the menu, and after a command undone for a write past the
// size limit: the unfinished command undone, the tool ended by the signal.
TEST(Process, SignalsUndoTheUnfinishedCommand)
{
    static const struct {
        std::string typed, until;
        bool limited;
    } places[] = {
        {"5\n1f\n", ASKED, false},
        {"", P, false},
        {"5\n1f\n12\n0\n", ASKED, true},
    };
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        for (const auto &place : places) {
            SCOPED_TRACE(std::to_string(sig) + " after " + ::testing::PrintToString(place.typed));
            fixture_t fx = make_fixture(VN);
            run_t r = interrupted(
                fx.path, place.typed, place.until, [&](child_t &c) { kill(c.pid, sig); }, "",
                [&] {
                    set_limit(RLIMIT_CORE, 0);
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

// The image replaced between two commands: nothing written, the run ends. Through a symlink (its
// directory held) it keeps working.
TEST(Process, ImageReplacedBetweenCommands)
{
    enum { KEPT, RENAMED_OVER, TRUNCATED };
    for (int change : {KEPT, RENAMED_OVER, TRUNCATED}) {
        SCOPED_TRACE(change);
        fixture_t fx = make_fixture(VN), other = make_fixture(VN, {{GPIO, 7}});
        const std::string link = fx.path + ".lnk";
        ASSERT_EQ(0, symlink(fx.path.c_str(), link.c_str()));
        run_t r = interrupted(
            change == KEPT ? link : fx.path, "", P,
            [&](child_t &) {
                ASSERT_EQ(0, change == RENAMED_OVER ? rename(other.path.c_str(), fx.path.c_str())
                             : change == TRUNCATED  ? truncate(fx.path.c_str(), OEM)
                                                    : 0);
            },
            GPIO_IN);
        EXPECT_NE(std::string::npos,
                  r.out.find(change == KEPT        ? "GPIO configuration is : ON.\n\n" P
                             : change == TRUNCATED ? ": too short\n" OPEN_FAIL
                                                   : ": no longer the file opened at start-up\n"))
            << r.out;
        EXPECT_EQ(change == KEPT ? 0 : 255, r.status);
        EXPECT_TRUE(same_image(change == KEPT ? with_words(fx.bytes, {{GPIO, 0x1F}, {OEM, 0x155AA}})
                               : change == RENAMED_OVER
                                   ? other.bytes
                                   : bytes_t(fx.bytes.begin(), fx.bytes.begin() + OEM),
                               read_file(fx.path)));
        unlink(link.c_str());
    }
}

// SIGKILL at the prompt after each kind of writing command: no journal, the next start keeps it.
TEST(Process, KilledAtThePromptAfterACommandKeepsIt)
{
    const struct {
        image_plan_t plan;
        std::string in;
    } rows[] = {
        {VN, "5\n1f\ny\n"},
        {VN, "4\nabcdef\nn\n"},
        {VN, "9\n0\n"},
        {VN, "10\n300\ny\n"},
        {VN, "11\nc\n"},
        {VN, "12\n2\ny\n"},
        {VN, "-2\n"},
        {VN, "1\nn\nn\n"},
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
    interrupted(path, "5\n1f\n", ASKED, [](child_t &c) { kill(c.pid, SIGKILL); });
    ASSERT_TRUE(exists(path + SUFFIX));
}

// The directory renamed, or swapped with another image's, while the dialogue waits; the next
// command
// killed: its journal in the directory held, nothing touched elsewhere; a start there undoes it.
TEST(Process, DirectoryMovedWhileTheDialogueWaits)
{
    fixture_t fx = make_fixture(VN);
    for (std::string move : {"mkdir dA", "mv other dA"}) {
        SCOPED_TRACE(move);
        const std::string top = sh("mktemp -d | tr -d '\\n'") + "/";
        ASSERT_EQ(0,
                  system(("cd " + top + " && mkdir dA other && cp " + fx.path + " dA/a.img && cp " +
                          fx.path + " other/a.img && echo 1 > other/a.img" + SUFFIX)
                             .c_str()));
        child_t c = start_tool({"-f", "a.img"}, [&] { (void)!chdir((top + "dA").c_str()); });
        ASSERT_EQ((ssize_t)12, write(c.in_fd, "5\n1f\ny\n5\n2f\n", 12));
        read_until(c, P, 2);
        ASSERT_EQ(0, system(("cd " + top + " && mv dA dB && " + move).c_str()));
        read_until(c, ASKED);
        kill(c.pid, SIGKILL);
        finish_tool(c, "");
        EXPECT_EQ(move == "mkdir dA" ? "" : "a.img\na.img" + SUFFIX + "\n1\n",
                  sh("cd " + top + "dA && ls && cat *" + SUFFIX + " 2>/dev/null"))
            << "the other image's journal untouched";
        EXPECT_EQ("a.img\na.img" + SUFFIX + "\n", sh("ls " + top + "dB"));
        EXPECT_EQ(0, run_tool({"-f", top + "dB/a.img"}, "0\n").status);
        EXPECT_EQ(0x1Fu, word_at(read_file(top + "dB/a.img"), GPIO));
        EXPECT_EQ(0, system(("rm -rf " + top).c_str()));
    }
}

// Writers of no rights (nobody): a pending journal in a directory they cannot write, or of a user
// who may not write the image, refused, nothing written; root's journal beside their image applied.
TEST(Process, UnprivilegedWriters)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the tool as user nobody and to give files away";
    auto nobody = [] { (void)!setgroups(0, nullptr), (void)!setgid(65534), (void)!setuid(65534); };
    const std::string top = sh("mktemp -d | tr -d '\\n'"), img = top + "/a.img", j = img + SUFFIX,
                      tool = top + "/tool";  // a copy nobody may run, wherever the build is
    fixture_t fx = make_fixture(VN), done = make_fixture(VN);
    ASSERT_EQ(0, run_here(done.path, {"set", "@", "lldp=5"}).status);
    ASSERT_EQ(0, system(("cp " TOOL_PATH " " + tool).c_str()));
    const struct {
        std::string what, shell;  // run with $D the directory, $I the image, the journal left
        bool as_nobody;
        std::string said;  // "": the journal applied, the command done
    } rows[] = {
        {"directory 0711", "chmod 0711 $D", true,
         "a journal of user root (uid 0) is pending, and it cannot be applied and removed "
         "(Permission denied)"},
        {"root's journal, nobody's image", "chmod 0777 $D && chown nobody $I && chmod 0644 $I",
         true, ""},
        {"a journal of a user who may not write the image",
         "chown 12345 $I" + SUFFIX + " && chmod 0644 $I", false,
         "a journal of this tool belonging to user unknown (uid 12345), who may not write this "
         "image"},
    };
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
        EXPECT_NE(std::string::npos, r.out.find(row.said.empty() ? "" : j + ": " + row.said))
            << r.out;
        EXPECT_TRUE(same_image(row.said.empty() ? read_file(done.path) : half, read_file(img)));
        EXPECT_EQ(!row.said.empty(), exists(j));
        unlink(j.c_str());
    }
    // Nothing pending, a directory nobody may search but not write: done, and told why unjournaled.
    ASSERT_EQ(
        0, system(("chmod 0755 " + top + " && cp " + fx.path + " " + img + " && chmod 0666 " + img)
                      .c_str()));
    run_t r = finish_tool(start_tool({"set", img, "lldp=5"}, nobody, tool.c_str()), "");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("no journal can be kept beside the image (Permission denied)"))
        << r.out;
    EXPECT_EQ(0, system(("rm -rf " + top).c_str()));
}
