// Robustness in child processes: closed or failing standard descriptors, terminating signals at
// a question, file size limits, an image replaced between commands, the lock on the image, random
// sessions that must never touch a byte the tool does not own.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iterator>
#include <random>

#include "harness.h"
#include "norvask-oem-cfg.h"

#define OPEN_FAIL "[Error] Fail to open file!\n"
#define WRITE_FAIL "[Error] Fail to write file!\n[Warn]The command was undone.\n"
#define G "Please input config val of GPIO :"
#define GPIO_Q "\nConfiguration completed successfully\n    GPIO : 0x1f\n" \
               "\nEnable GPIO configuration or not 'Y' or 'N' : "
#define GPIO_ON G GPIO_Q "GPIO configuration is : ON.\n\n"
#define PORTS_ASKED "current port num : 4, max port num : 4\nPlease input the number of disabled network ports:"
#define PORTS_Q PORTS_ASKED "\nConfiguration completed successfully, current port num:0x3\n" \
            "\nEnable netport disable configuration or not 'Y' or 'N' : "
#define STDOUT_CLOSED "norvask_oem_tool: standard output is closed\n"

static const image_plan_t B = board(0, 0x10);
static const std::string GPIO = "5\n1f\ny\n0\n", PORTS = "12\n1\ny\n0\n";

// The fixture as GPIO (or PORTS) leaves it.
static bytes_t complete(const fixture_t &fx, const std::string &answers)
{
    if (answers == GPIO)
        return with_words(fx.bytes, {{GPIO_CFG_ADDR, 0x1F}, {OEM_CFG_ADDR, 0x000155AA}});
    bytes_t b = with_words(fx.bytes, {{OEM_CFG_ADDR, 0x010055AA}});
    std::copy_n(fx.bytes.begin() + ENABLE_THREE_PORTS, IMG_HEADER_WORDS * IMG_WORD_SIZE, b.begin());
    return b;
}

static std::string with_menu(std::string out, const std::string &path)
{
    return out.starts_with("@V") ? vn_menu(path) + out.substr(2) : out;
}

static void to_file(int fd, const char *path)
{
    int f = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(f, fd);
    close(f);
}

TEST(Process, StandardDescriptorsClosedOrLost)
{
    static const struct { void (*setup)(); std::string out; } rows[] = {
        {[] { close(1); }, STDOUT_CLOSED},
        {[] { close(0); }, "@V" P MENU_END},
        {[] { close(0); close(1); }, STDOUT_CLOSED},
        {[] { to_file(1, "/dev/full"); },
         "norvask_oem_tool: standard output cannot be written, the unfinished command was undone\n"},
    };
    for (const auto &row : rows) {
        fixture_t fx = make_fixture(B);
        run_t r = run_tool({"-f", fx.path}, GPIO, {}, row.setup);
        EXPECT_EQ(with_menu(row.out, fx.path), r.out);
        EXPECT_EQ(255, r.status);
        EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
        unlink(fx.path.c_str());
    }
    // The reader of standard output goes away at the GPIO question: the answer completes the
    // command, the next prompt cannot be written, and the command is undone.
    fixture_t fx = make_fixture(B);
    const std::string err = fx.path + ".err", asked = vn_menu(fx.path) + P G GPIO_Q;
    child_t c = start_tool({"-f", fx.path}, {}, [&] { to_file(2, err.c_str()); });
    ASSERT_EQ((ssize_t)5, write(c.in_fd, "5\n1f\n", 5));
    ASSERT_EQ(asked, read_output(c, asked.size()));
    to_file(c.out_fd, "/dev/null");
    run_t r = finish_tool(c, "y\n0\n");
    EXPECT_EQ(255, r.status);
    bytes_t said = read_file(err);
    EXPECT_EQ("norvask_oem_tool: standard output cannot be written, the unfinished command was undone\n",
              std::string(said.begin(), said.end()));
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    unlink(err.c_str());
    unlink(fx.path.c_str());
}

// A terminating signal while the tool waits for an answer: the unfinished command is undone and
// the tool ends by that signal.
TEST(Process, SignalsUndoTheUnfinishedCommand)
{
    const words_t two_values = {{LED_CFG_ADDR, 1}, {GPIO_CFG_ADDR, 2}};
    static const struct { words_t pre; std::string typed, asked, said; } places[] = {
        {{}, "5\n1f\n", "@V" P G GPIO_Q, "\n[Error] Interrupted, the unfinished command was undone!\n"},
        {{}, "12\n1\n", "@V" P PORTS_Q, "\n[Error] Interrupted, the unfinished command was undone!\n"},
        {two_values, "1\ny\n",
         "@V" P "\nEnable LED configuration or not 'Y' or 'N' : LED configuration is : ON.\n"
         "\nEnable GPIO configuration or not 'Y' or 'N' : ",
         "\n[Error] Interrupted, the unfinished command was undone!\n"},
        {{}, "", "@V" P, "\n[Error] Interrupted!\n"},
    };
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        for (const auto &place : places) {
            SCOPED_TRACE(std::to_string(sig) + " after " + ::testing::PrintToString(place.typed));
            fixture_t fx = make_fixture(B, place.pre);
            const std::string asked = with_menu(place.asked, fx.path);
            child_t c = start_tool({"-f", fx.path}, {RLIMIT_CORE, 0});
            ASSERT_EQ((ssize_t)place.typed.size(), write(c.in_fd, place.typed.data(), place.typed.size()));
            ASSERT_EQ(asked, read_output(c, asked.size()));
            kill(c.pid, sig);
            run_t r = finish_tool(c, "");
            EXPECT_EQ(place.said, r.out);
            EXPECT_EQ(128 + sig, r.status);
            EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
            unlink(fx.path.c_str());
        }
}

// Writes at or past the file size limit fail, SIGXFSZ at its default action: the command is
// undone (status 1) or, when every write fits, completes (status 0); the tool is never killed.
// Outcomes: 0 complete, 1 the first write fails, 2 the header block is copied, the switch fails.
TEST(Process, FileSizeLimitsWithTheDefaultSignalAction)
{
    static const struct { rlim_t limit; int gpio, ports; } rows[] = {
        {0, 1, 1},       {4, 1, 1},       {512, 1, 1},       {1024, 1, 2},
        {0xF1002, 1, 2}, {0xFF006, 1, 0}, {0xFF02A, 0, 0},
    };
    const struct { std::string in, out[3]; } commands[] = {
        {GPIO, {"@V" P GPIO_ON P, "@V" P G WRITE_FAIL "\n" P "Illegal input!!!\n" P}},
        {PORTS, {"@V" P PORTS_Q "netport disable configuration is : ON.\n\n" P,
                 "@V" P PORTS_ASKED WRITE_FAIL "\n" P "Illegal input!!!\n" P, "@V" P PORTS_Q WRITE_FAIL "\n" P}},
    };
    for (const auto &row : rows)
        for (const auto &cmd : commands) {
            SCOPED_TRACE(::testing::PrintToString(cmd.in) + " limit " + std::to_string(row.limit));
            fixture_t fx = make_fixture(B);
            run_t r = run_tool({"-f", fx.path}, cmd.in, {RLIMIT_FSIZE, row.limit},
                               [] { signal(SIGXFSZ, SIG_DFL); });
            int outcome = &cmd == commands ? row.gpio : row.ports;
            EXPECT_EQ(with_menu(cmd.out[outcome], fx.path), r.out);
            EXPECT_EQ(outcome == 0 ? 0 : 1, r.status);
            EXPECT_TRUE(same_image(outcome == 0 ? complete(fx, cmd.in) : fx.bytes, read_file(fx.path)));
            unlink(fx.path.c_str());
        }
}

// The image named on the command line is replaced between two commands: nothing is written to
// either file and the run ends. A symlink that is left alone keeps working.
TEST(Process, ImageReplacedBetweenCommands)
{
    enum { KEPT, RETARGETED, RENAMED_OVER, TRUNCATED };
    for (int change : {KEPT, RETARGETED, RENAMED_OVER, TRUNCATED}) {
        SCOPED_TRACE(change);
        fixture_t fx = make_fixture(B), other = make_fixture(B, {{GPIO_CFG_ADDR, 7}});
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
        run_t r = finish_tool(c, GPIO);
        EXPECT_EQ(change == KEPT ? std::string(GPIO_ON P) : OPEN_FAIL, r.out);
        EXPECT_EQ(change == KEPT ? 0 : 255, r.status);
        // The file locked at start-up (cut short: the rest counts as zeros), and the other one.
        bytes_t first = read_file(held), want = change == KEPT ? complete(fx, GPIO) : fx.bytes;
        if (change == TRUNCATED) {
            first.resize(fx.bytes.size(), 0);
            std::fill(want.begin() + OEM_CFG_ADDR, want.end(), 0);
        }
        EXPECT_TRUE(same_image(other.bytes, read_file(change == RENAMED_OVER ? fx.path : other.path)));
        EXPECT_TRUE(same_image(want, first));
        for (const std::string &p : {fx.path, other.path, link, held})
            unlink(p.c_str());
    }
}

// Only a regular file or a block device is an image; control characters of its name are
// shown escaped in the menu's note line.
TEST(Process, ImageKindAndName)
{
    const std::string fifo = testing::TempDir() + "norvask-fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    run_t r = run_tool({"-f", fifo}, "0\n");
    EXPECT_EQ(OPEN_FAIL, r.out);
    EXPECT_EQ(255, r.status);
    unlink(fifo.c_str());

    fixture_t fx = make_fixture(B);
    const std::string odd = fx.path + "\n[Note] x\x01\x7f";
    ASSERT_EQ(0, rename(fx.path.c_str(), odd.c_str()));
    r = run_tool({"-f", odd}, "0\n");
    EXPECT_EQ(vn_menu(fx.path + "\\n[Note] x\\x01\\x7f") + P, r.out);
    EXPECT_EQ(0, r.status);
    unlink(odd.c_str());
}

TEST(Lock, SecondInstanceIsRefusedWhileTheFirstRuns)
{
    fixture_t fx = make_fixture(board(0, 0x10));
    const std::string waiting = vn_menu(fx.path) + P;
    child_t first = start_tool({"-f", fx.path});
    ASSERT_EQ(waiting, read_output(first, waiting.size()));

    run_t second = run_tool({"-f", fx.path}, "-2\n0\n");
    EXPECT_EQ("[Error] Fail to open file!\n[Error] The image is in use by another process.\n", second.out);
    EXPECT_EQ(255, second.status);
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));

    run_t ended = finish_tool(first, "0\n");
    EXPECT_EQ("", ended.out);
    EXPECT_EQ(0, ended.status);
    run_t again = run_tool({"-f", fx.path}, "0\n");
    EXPECT_EQ(waiting, again.out);
    EXPECT_EQ(0, again.status);
    unlink(fx.path.c_str());
}

static std::string random_answer(std::mt19937 &rng)
{
    static const char *const words[] = {"y", "N", "", "m", "zz", "0x", "-", "ffffffff", "-80000000",
                                        "1ffffffff", "65535", "65536", "7 8", "1f junk", "\r"};
    unsigned kind = (unsigned)(rng() % 5);
    char hex[16];
    snprintf(hex, sizeof hex, "%x", (unsigned)(rng() >> (rng() % 32)));
    // Menu numbers (the hidden ones and one past the end included), hex values, decimals, words.
    return kind < 2 ? std::to_string((int)(rng() % 16) - 2) : kind == 2 ? hex
           : kind == 3 ? std::to_string((int)(rng() % 70000) - 10) : words[rng() % std::size(words)];
}

TEST(RandomSessions, EndAndChangeOnlyOwnedWords)
{
    static const uint32_t codes[] = {0x03, 0x10, 0x30, 0x50, 0x51, 0x52, 0x60, 0x63, 0x80, 0xF0};
    const char *env = getenv("NORVASK_SEED");
    const unsigned seed = env ? (unsigned)strtoul(env, nullptr, 0) : 20240611u;
    SCOPED_TRACE("NORVASK_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int n = 0; n < 40; n++) {
        image_plan_t plan =
            rng() % 8 == 0 ? image_plan_default() : board((int)(rng() % 2), codes[rng() % 10], rng() % 8);
        // Sometimes a configured area or a template without its magic.
        words_t words;
        if (rng() % 2)
            words = {{OEM_CFG_ADDR, MAGIC_MASK | ((uint32_t)rng() & ~OEM_SIG_FIELD)},
                     {GPIO_CFG_ADDR, (uint32_t)rng()}, {LED_CFG_ADDR, (uint32_t)rng()}};
        if (rng() % 4 == 0)
            words.push_back({ENABLE_THREE_PORTS + 4 * (rng() % 2), (uint32_t)rng()});
        std::string script;
        for (unsigned i = 0, lines = 1 + (unsigned)(rng() % 30); i < lines; i++)
            script += random_answer(rng) + (rng() % 4 ? "\n" : "\r\n");
        SCOPED_TRACE("session " + std::to_string(n) + ", answers: " + script);
        fixture_t fx = make_fixture(plan, words);
        run_t r = run_tool({"-f", fx.path}, script);
        EXPECT_TRUE(r.status == 0 || r.status == 255) << "status " << r.status;
        // The header block, the LLDP word and the OEM area are all a session may change.
        bytes_t after = read_file(fx.path);
        ASSERT_EQ(fx.bytes.size(), after.size());
        for (uint32_t i = IMG_HEADER_WORDS * IMG_WORD_SIZE; i < after.size(); i++)
            if (after[i] != fx.bytes[i] && i / 4 != LLDP_START_ADDR / 4 &&
                (i < OEM_CFG_ADDR || i >= OEM_CFG_END_ADDR + 4))
                FAIL() << "byte 0x" << std::hex << i << " changed";
        unlink(fx.path.c_str());
    }
}
