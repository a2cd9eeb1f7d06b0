// Robustness: writes that fail part way, the lock on the image, random sessions that must never
// touch a byte the tool does not own. (The harness runs every session table again with CR LF.)
#include <unistd.h>

#include <cstdlib>
#include <iterator>
#include <random>

#include "harness.h"
#include "norvask-oem-cfg.h"

#define WRITE_FAIL "[Error] Fail to write file!\n[Warn]The command was undone.\n"
#define PORTS_ASKED \
    "current port num : 4, max port num : 4\nPlease input the number of disabled network ports:"
// The dialogue runs from the command's number to the loop's newline; writes at
// or past the file size limit n fail for real, and the image stays as it was.
#define FAILED(dialogue) "@V" P dialogue "\n" P
#define LIMIT(n) {}, 1, {"-f", "@"}, 0, {RLIMIT_FSIZE, n}

TEST(FailedWrite, IsReportedAndLeavesTheImageAsItWas)
{
    const image_plan_t b = board(0, 0x10);
    const words_t set = {{LLDP_START_ADDR, 0x3}, {OEM_CFG_ADDR, 0x004055AA}};
    run_rows({
        {b, set, "5\n1f\n0\n", FAILED("Please input config val of GPIO :" WRITE_FAIL), LIMIT(0x80000)},
        {b, set, "-2\n0\n", FAILED(WRITE_FAIL), LIMIT(0x80000)},
        // The reset erases the first OEM words, then fails: they come back.
        {b, set, "-2\n0\n", FAILED(WRITE_FAIL), LIMIT(0xFF010)},
        {b, set, "11\n5\n0\n", FAILED("Please input config val of LLDP TX :" WRITE_FAIL), LIMIT(0x80000)},
        // The LLDP word is written, its signature stamp is not: the word goes back.
        {b, set, "11\n5\n0\n", FAILED("Please input config val of LLDP TX :" WRITE_FAIL), LIMIT(0xF8000)},
        // The header copy succeeds, the switch cannot store its bit.
        {b, set, "12\n1\ny\n0\n",
         FAILED(PORTS_ASKED "\nConfiguration completed successfully, current port num:0x3\n"
                "\nEnable netport disable configuration or not 'Y' or 'N' : " WRITE_FAIL),
         LIMIT(0x80000)},
        // Only the first half of the header block can be written.
        {b, set, "12\n3\n0\n", FAILED(PORTS_ASKED WRITE_FAIL), LIMIT(512)},
    });
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
