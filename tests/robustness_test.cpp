// Robustness: writes that fail part way, the lock on the image, CR LF line
// ends and random sessions that must never touch a byte the tool does not own.
#include <unistd.h>

#include <cstdlib>
#include <iterator>
#include <random>

#include "harness.h"
#include "norvask-oem-cfg.h"

#define WRITE_FAIL "[Error] Fail to write file!\n"
#define RESTORED "[Warn]The original header block was restored.\n"
#define GPIO_ASKED "\nEnable GPIO configuration or not 'Y' or 'N' : "
#define PORTS_ASKED \
    "current port num : 4, max port num : 4\nPlease input the number of disabled network ports:"

// The file size limit makes every write at or past it fail for real. The
// dialogue runs from the command's number to the loop's newline.
TEST(FailedWrite, IsReportedAndLeavesTheImageAsItWas)
{
    static const struct { const char *answers; long limit; const char *dialogue; } rows[] = {
        {"5\n1f\n", 0x80000, "Please input config val of GPIO :" WRITE_FAIL},
        {"-2\n", 0x80000, WRITE_FAIL},
        // The reset erases the first OEM words, then fails: they come back.
        {"-2\n", 0xFF010, WRITE_FAIL},
        {"11\n5\n", 0x80000, "Please input config val of LLDP TX :" WRITE_FAIL},
        // The LLDP word is written, its signature stamp is not: the word goes back.
        {"11\n5\n", 0xF8000, "Please input config val of LLDP TX :" WRITE_FAIL},
        // The header copy succeeds, the switch cannot store its bit.
        {"12\n1\ny\n", 0x80000,
         PORTS_ASKED "\nConfiguration completed successfully, current port num:0x3\n"
                     "\nEnable netport disable configuration or not 'Y' or 'N' : " WRITE_FAIL RESTORED},
        // Only the first half of the header block can be written.
        {"12\n3\n", 512, PORTS_ASKED WRITE_FAIL RESTORED},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.answers) + " with a limit of " + std::to_string(row.limit));
        fixture_t fx = make_fixture(board(0, 0x10), {{LLDP_START_ADDR, 0x3}, {OEM_CFG_ADDR, 0x004055AA}});
        run_t r = run_session(fx, std::string(row.answers) + "0\n", {row.limit});
        EXPECT_EQ(vn_menu(fx.path) + PROMPT + row.dialogue + "\n" + PROMPT, r.out);
        EXPECT_EQ(0, r.status);
        EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
        remove_fixture(fx);
    }
}

TEST(Lock, SecondInstanceIsRefusedWhileTheFirstRuns)
{
    fixture_t fx = make_fixture(board(0, 0x10));
    const std::string waiting = vn_menu(fx.path) + PROMPT;
    child_t first = start_tool({"-f", fx.path});
    std::string shown;
    for (int i = 0; i < 1000 && shown != waiting; i++, usleep(5000)) {
        bytes_t b = read_file(first.out_path);
        shown.assign(b.begin(), b.end());
    }
    ASSERT_EQ(waiting, shown);

    run_t second = run_session(fx, "-2\n0\n");
    EXPECT_EQ("[Error] Fail to open file!\n", second.out);
    EXPECT_EQ(255, second.status);
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));

    run_t ended = finish_tool(first, "0\n");
    EXPECT_EQ(waiting, ended.out);
    EXPECT_EQ(0, ended.status);
    run_t again = run_session(fx, "0\n");
    EXPECT_EQ(waiting, again.out);
    EXPECT_EQ(0, again.status);
    remove_fixture(fx);
}

TEST(LineEnds, CrLfAnswersGiveTheSameSessionAsLf)
{
    // Menu numbers (one with a second number behind it), a hexadecimal and a
    // decimal prompt with refusals, yes/no with an empty answer, a bad menu line.
    const std::string lf = "5\n1f\n\nx\ny\n10\n0\n70000\n100\nn\nzz\n7 8\n12\n4\n1\nY\n0\n";
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    fixture_t fx = make_fixture(board(0, 0x10));
    run_t with_lf = run_session(fx, lf);
    bytes_t image_lf = read_file(fx.path);
    write_file(fx.path, fx.bytes);
    run_t with_crlf = run_session(fx, crlf);
    EXPECT_EQ(with_lf.out, with_crlf.out);
    EXPECT_EQ(0, with_lf.status);
    EXPECT_EQ(0, with_crlf.status);
    EXPECT_TRUE(same_image(image_lf, read_file(fx.path)));
    // The script did what it says: one refusal for the empty answer (which
    // swallows the x), GPIO on, wake IO off, port disable on.
    EXPECT_NE(std::string::npos, with_lf.out.find(GPIO_ASKED "Illegal input, Please input 'Y' or 'N'\n"
                                                  GPIO_ASKED "GPIO configuration is : ON.\n"));
    EXPECT_EQ(0x010155AAu, word_at(image_lf, OEM_CFG_ADDR));
    EXPECT_EQ(0x1Fu, word_at(image_lf, GPIO_CFG_ADDR));
    remove_fixture(fx);
}

// Header block, LLDP word and OEM area: the only bytes a session may change.
static bool owned(size_t i)
{
    return i < IMG_HEADER_WORDS * IMG_WORD_SIZE || (i >= LLDP_START_ADDR && i < LLDP_START_ADDR + 4) ||
           (i >= OEM_CFG_ADDR && i < OEM_CFG_END_ADDR + 4);
}

static std::string random_answer(std::mt19937 &rng)
{
    static const char *const words[] = {"y", "N", "", "m", "zz", "0x", "-", "ffffffff", "-80000000",
                                        "1ffffffff", "65535", "65536", "7 8", "1f junk", "\r"};
    unsigned kind = rng() % 5;
    if (kind < 2)  // the menu numbers, hidden ones and one past the end included
        return std::to_string((int)(rng() % 16) - 2);
    char hex[16];
    snprintf(hex, sizeof hex, "%x", (unsigned)(rng() >> (rng() % 32)));
    if (kind == 2)
        return hex;
    return kind == 3 ? std::to_string((int)(rng() % 70000) - 10) : words[rng() % std::size(words)];
}

TEST(RandomSessions, EndAndChangeOnlyOwnedWords)
{
    static const uint32_t codes[] = {0x03, 0x10, 0x30, 0x50, 0x51, 0x52, 0x60, 0x63, 0x80, 0xF0};
    const char *env = getenv("NORVASK_SEED");
    const unsigned seed = env ? (unsigned)strtoul(env, nullptr, 0) : 20240611u;
    SCOPED_TRACE("NORVASK_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int n = 0; n < 40; n++) {
        image_plan_t plan = rng() % 8 == 0 ? erased_sid_board()
                                           : board((int)(rng() % 2), codes[rng() % 10], rng() % 8);
        // Sometimes a configured area or a template without its magic.
        words_t words;
        if (rng() % 2)
            words = {{OEM_CFG_ADDR, MAGIC_MASK | ((uint32_t)rng() & ~OEM_SIG_FIELD)},
                     {GPIO_CFG_ADDR, (uint32_t)rng()}, {LED_CFG_ADDR, (uint32_t)rng()}};
        if (rng() % 4 == 0)
            words.push_back({ENABLE_THREE_PORTS + 4 * (rng() % 2), (uint32_t)rng()});
        std::string script;
        for (unsigned i = 0, lines = 1 + rng() % 30; i < lines; i++)
            script += random_answer(rng) + (rng() % 4 ? "\n" : "\r\n");
        SCOPED_TRACE("session " + std::to_string(n) + ", answers: " + script);
        fixture_t fx = make_fixture(plan, words);
        run_t r = run_session(fx, script);
        EXPECT_TRUE(r.status == 0 || r.status == 255) << "status " << r.status;
        bytes_t after = read_file(fx.path);
        ASSERT_EQ(fx.bytes.size(), after.size());
        for (size_t i = 0; i < after.size(); i++)
            if (!owned(i) && after[i] != fx.bytes[i])
                FAIL() << "byte 0x" << std::hex << i << " changed";
        remove_fixture(fx);
    }
}
