// The built tool as a process: what happens while the dialogue waits; other users.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

static const image_plan_t VN = board(0, 0x10);
static const std::string PROMPT = "\nInput your number:", ASKED = "'Y' or 'N' : ";

// The tool on `path`: `typed`; once `until` is out, `act`; then `rest` and the end of input.
static run_t interrupted(const std::string &path, const std::string &typed,
                         const std::string &until, const std::function<void(child_t &)> &act,
                         const std::string &rest = "", const std::function<void()> &setup = nullptr,
                         const char *tool = TOOL_PATH)
{
    child_t c = start_tool({"-f", path}, setup, tool);
    EXPECT_EQ((ssize_t)typed.size(), write(c.in_fd, typed.data(), typed.size()));
    read_until(c, until);
    act(c);
    return finish_tool(c, rest);
}

static std::function<void(child_t &)> send(int sig)
{
    return [sig](child_t &c) { kill(c.pid, sig); };
}

// Whatever happens while the dialogue waits, no journal is left. SIGXFSZ at its default action.
TEST(Process, WhileTheDialogueWaits)
{
    fixture_t fx = make_fixture(VN), other = make_fixture(VN, {{GPIO, 7}});
    const std::string link = fx.path + ".lnk";
    ASSERT_EQ(0, symlink(fx.path.c_str(), link.c_str()));
    const struct {
        std::string what, path = "", typed = "", until = PROMPT;  // path "": the image's
        std::function<void(child_t &)> act;
        std::string rest = "5\n1f\ny\n0\n", said;  // said: in the output after `until`
        int status;
        bytes_t image;
        rlim_t size_limit = RLIM_INFINITY;
    } rows[] = {
        {.what = "SIGTERM at the menu",
         .act = send(SIGTERM),
         .rest = "",
         .said = "\n[Error] Interrupted!\n",
         .status = -SIGTERM,
         .image = fx.bytes},
        {.what = "SIGHUP at a question after a command undone for the size limit",
         .typed = "5\n1f\n12\n0\n",
         .until = ASKED,
         .act = send(SIGHUP),
         .rest = "",
         .said = "\n[Error] Interrupted, the unfinished command was undone!\n",
         .status = -SIGHUP,
         .image = fx.bytes,
         .size_limit = GPIO},
        {.what = "the reader gone at a question",
         .typed = "5\n1f\n",
         .until = ASKED,
         .act = [](child_t &c) { dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), c.out_fd); },
         .rest = "y\n0\n",
         .said = "norvask_oem_tool: standard output cannot be written, the unfinished command "
                 "was undone\n",
         .status = 255,
         .image = fx.bytes},
        {.what = "run through a symlink",
         .path = link,
         .act = [](child_t &) {},
         .said = "GPIO configuration is : ON.\n\n" + PROMPT,
         .status = 0,
         .image = with_words(fx.bytes, {{GPIO, 0x1F}, {OEM, 0x155AA}})},
        {.what = "another image renamed over it",
         .act = [&](child_t &) { ASSERT_EQ(0, rename(other.path.c_str(), fx.path.c_str())); },
         .said = ": no longer the file opened at start-up\n",
         .status = 255,
         .image = other.bytes},
        {.what = "truncated",
         .act = [&](child_t &) { ASSERT_EQ(0, truncate(fx.path.c_str(), OEM)); },
         .said = ": too short\n",
         .status = 255,
         .image = bytes_t(fx.bytes.begin(), fx.bytes.begin() + OEM)},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        put_back(fx);
        const std::string err = fx.path + ".err";
        run_t r = interrupted(row.path.empty() ? fx.path : row.path, row.typed, row.until, row.act,
                              row.rest, [&] {
                                  dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
                                  signal(SIGXFSZ, SIG_DFL);
                                  set_limit(RLIMIT_FSIZE, row.size_limit);
                              });
        EXPECT_NE(std::string::npos, (r.out + file_text(err)).find(row.said)) << r.out;
        EXPECT_EQ(row.status, r.status);
        EXPECT_TRUE(same_image(row.image, read_file(fx.path)));
        EXPECT_FALSE(exists(fx.path + JOURNAL_SUFFIX)) << "a journal left";
        unlink(err.c_str());
    }
    unlink(link.c_str());
}

// The directory moved, an empty one made at its name, the next command killed: its journal is in
// the directory held, where a start undoes it.
TEST(Process, DirectoryMovedWhileTheDialogueWaits)
{
    fixture_t fx = make_fixture(VN);
    char dir[] = "/tmp/norvask-dir-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string moved = dir + std::string(".moved");
    put_file(dir + std::string("/a.img"), file_text(fx.path));
    interrupted(
        "a.img", "", PROMPT,
        [&](child_t &c) {
            ASSERT_EQ(0, rename(dir, moved.c_str()));
            ASSERT_EQ(0, mkdir(dir, 0700));
            ASSERT_EQ((ssize_t)5, write(c.in_fd, "5\n2f\n", 5));
            read_until(c, ASKED);
            kill(c.pid, SIGKILL);
        },
        "", [&] { (void)!chdir(dir); });
    EXPECT_FALSE(exists(dir + std::string("/a.img") + JOURNAL_SUFFIX))
        << "a journal in the new directory";
    EXPECT_EQ(0, finish_tool(start_tool({"-f", moved + "/a.img"}), "0\n").status);
    EXPECT_TRUE(same_image(fx.bytes, read_file(moved + "/a.img")));
    EXPECT_EQ(0, system(("rm -rf " + moved + " " + dir).c_str()));
}

// A journal is applied when its owner could have written the image; one the tool makes, under
// umask 077, has the image's owner, group and mode.
TEST(Process, JournalOwners)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the tool as other users and to give files away";
    char top[] = "/tmp/norvask-owners-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(top));
    const std::string img = top + std::string("/a.img"), j = img + JOURNAL_SUFFIX,
                      tool = top + std::string("/tool"),
                      mv = "mv -- '" + j + "' '" + j + ".set-aside'";
    ASSERT_EQ(0, system(("cp " TOOL_PATH " " + tool).c_str()));
    ASSERT_EQ(0, chown(top, 0, 1));  // group daemon, for the set-group-id directory
    fixture_t fx = make_fixture(VN), done = make_fixture(VN);
    ASSERT_EQ(0, run_here(done.path, {"set", "@", "lldp=5"}).status);
    auto as = [](unsigned id) {
        return [id] {
            umask(077);
            (void)!setgroups(0, nullptr), (void)!setgid(id), (void)!setuid(id);
        };
    };
    const unsigned ROOT = 0, DAEMON = 1, NOBODY = 65534, STRANGER = 12345;
    const std::string
        undone = "an interrupted command was undone",
        nobodys =
            "a file of user nobody (uid 65534) holds the journal's name; nothing was changed; ",
        aside = "to set it aside: " + mv;
    const struct {
        std::string what;
        unsigned user = DAEMON, image_gid = DAEMON, image_mode = 0664,
                 dir_mode = 0777;        // user: the image's and the runner's
        int killer = ROOT;               // who was killed mid-command on the image (-1: none)
        int journal_uid = NOBODY;        // given to its journal (-1: as made, checked)
        std::string verb = "set", said;  // said: in the output, after the journal's name
        int status = 3;
    } rows[] = {
        {.what = "root's journal, the directory not writable",
         .user = NOBODY,
         .image_gid = NOBODY,
         .image_mode = 0644,
         .dir_mode = 0755,
         .journal_uid = ROOT,
         .said =
             "a journal of user root (uid 0) is pending, and it cannot be applied and removed (Permission denied); nothing was changed; run a writing command on " +
             img + " as root to undo it"},
        {.what = "made by root for the image's owner",
         .image_gid = NOBODY,
         .image_mode = 0660,
         .journal_uid = -1,
         .said = undone,
         .status = 0},
        {.what = "made by a member of the image's group",
         .image_gid = NOBODY,
         .killer = NOBODY,
         .journal_uid = -1,
         .said = undone,
         .status = 0},
        {.what = "a non-member's, the image's group given by a set-group-id directory",
         .dir_mode = 02777,
         .said = nobodys + aside},
        {.what = "a non-member's on an image of group root",
         .image_gid = ROOT,
         .said = nobodys + aside},
        {.what = "the same in a sticky directory",
         .dir_mode = 03777,
         .said = nobodys + "only its owner, the directory's owner or root can remove it"},
        {.what = "the same read",
         .dir_mode = 03777,
         .verb = "show",
         .said =
             "not a journal this tool trusts (user nobody, uid 65534); the image is read as it is\n",
         .status = 0},
        {.what = "anyone's on a world-writable image",
         .image_mode = 0666,
         .journal_uid = STRANGER,
         .said = undone,
         .status = 0},
        {.what = "of a user who may not write the image",
         .user = NOBODY,
         .image_gid = NOBODY,
         .image_mode = 0644,
         .dir_mode = 0755,
         .journal_uid = STRANGER,
         .said =
             "a file of user unknown (uid 12345) holds the journal's name; nothing was changed; " +
             aside},
        {.what = "no journal",
         .user = NOBODY,
         .image_gid = NOBODY,
         .image_mode = 0644,
         .dir_mode = 0755,
         .killer = -1,
         .journal_uid = -1,
         .said = "no journal can be kept beside the image (Permission denied)",
         .status = 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        put_file(img, file_text(fx.path));
        ASSERT_EQ(0, chmod(top, 0777));
        ASSERT_EQ(0, chown(img.c_str(), row.user, row.image_gid));
        ASSERT_EQ(0, chmod(img.c_str(), row.image_mode));
        if (row.killer >= 0)  // killed with the GPIO value written, at its switch question
            interrupted(img, "5\n1f\n", ASKED, send(SIGKILL), "", as((unsigned)row.killer),
                        tool.c_str());
        struct stat js;
        if (row.killer >= 0 && row.journal_uid < 0) {
            ASSERT_EQ(0, stat(j.c_str(), &js));
            EXPECT_EQ(row.killer == ROOT ? row.user : (unsigned)row.killer, js.st_uid);
            EXPECT_EQ(row.image_gid, js.st_gid);
            EXPECT_EQ(row.image_mode, js.st_mode & 07777);
        }
        const bytes_t before = read_file(img);
        ASSERT_EQ(0,
                  row.journal_uid < 0 ? 0 : lchown(j.c_str(), (uid_t)row.journal_uid, (gid_t)-1));
        ASSERT_EQ(0, chmod(top, row.dir_mode));
        std::vector<std::string> args = {row.verb, img, "lldp=5"};
        args.resize(row.verb == "set" ? 3 : 2);
        run_t r = finish_tool(start_tool(args, as(row.user), tool.c_str()), "");
        EXPECT_EQ(row.status, r.status) << r.out;
        EXPECT_NE(std::string::npos, r.out.find((row.killer < 0 ? NO : j + ": ") + row.said))
            << r.out;
        const bool writes = row.status == 0 && row.verb == "set";
        EXPECT_TRUE(same_image(writes ? read_file(done.path) : before, read_file(img)));
        EXPECT_EQ(!writes && row.killer >= 0, exists(j));
        unlink(j.c_str());
    }
    EXPECT_EQ(0, system(("rm -rf " + std::string(top)).c_str()));
}
