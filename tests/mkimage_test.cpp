// The image maker's command lines: an accepted one writes an image with the
// asked-for words and size, a refused one exits with status 2, says why on
// standard error and leaves no file.
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "harness.h"

static run_t run_mkimage(const std::vector<std::string> &args)
{
    return finish_tool(start_tool(args, {}, nullptr, MKIMAGE_PATH), "");
}

static std::string temp_dir()
{
    std::string dir = testing::TempDir() + "norvask-mk-XXXXXX";
    EXPECT_NE(nullptr, mkdtemp(dir.data()));
    return dir;
}

TEST(ImageMaker, AcceptsAndRefusesCommandLines)
{
    // "@" is the output path. Sub-system ids: device id high byte in bits 16-23, low byte in
    // 24-31, PHY code in 8-15, NCSI bit 7, WOL bit 6, ports in 0-2.
    static const struct {
        std::vector<std::string> args;
        int status;
        words_t words;  // accepted: words of the written image
        size_t size = IMAGE_FULL_SIZE;
    } rows[] = {
        // Accepted.
        {{"@"}, 0, {{SUB_SYS_ID_ADDR, INVALID_ID}, {IMG_HEADER_ADDR, IMG_HEADER}, {PORT_MASK_ADDR, 0xF},
                    {ENABLE_TWO_PORTS, IMG_HEADER}, {ENABLE_TWO_PORTS + PORT_MASK_ADDR, 0x3},
                    {OEM_CFG_ADDR, INVALID_ID}, {LLDP_START_ADDR, INVALID_ID}}},
        {{"--family", "1", "@"}, 0, {{SUB_SYS_ID_ADDR, 0x01101004}}},
        {{"--phy", "yt", "@"}, 0, {{SUB_SYS_ID_ADDR, 0x00106004}}},
        {{"--family", "1", "--phy", "fiber", "--ports", "2", "--wol", "1", "--ncsi", "1", "@"}, 0,
         {{SUB_SYS_ID_ADDR, 0x011030C2}, {PORT_MASK_ADDR, 0x3}}},
        {{"--device-id", "0x2001", "--phy-code", "52", "--ports", "7", "@"}, 0,
         {{SUB_SYS_ID_ADDR, 0x01205207}, {PORT_MASK_ADDR, 0xF}}},
        {{"--phy", "mv", "--phy-code", "ff", "--device-id", "abcd", "@"}, 0, {{SUB_SYS_ID_ADDR, 0xCDABFF04}}},
        {{"--wol", "0", "@"}, 0, {{SUB_SYS_ID_ADDR, 0x00000004}}},
        {{"@", "--port-mask", "7", "--word", "ff004=1234", "--word", "0XF1000=0x5", "--word", "ff004=a"}, 0,
         {{SUB_SYS_ID_ADDR, INVALID_ID}, {PORT_MASK_ADDR, 0x7}, {GPIO_CFG_ADDR, 0xA}, {LLDP_START_ADDR, 5}}},
        {{"--word", "ffffc=11", "@"}, 0, {{0xFFFFC, 0x11}}},
        {{"--size", "0xFFFE0", "@"}, 0, {{SUB_SYS_ID_ADDR, INVALID_ID}}, IMG_MIN_SIZE},
        {{"--size", "1000", "@"}, 0, {{PORT_MASK_ADDR, 0xF}}, 1000},
        {{"--pattern", "@"}, 0, {{OEM_CFG_ADDR, INVALID_ID}, {ENABLE_ONE_PORT + PORT_MASK_ADDR, 0x1}}},
        // Refused.
        {{}, 2, {}},
        {{"--family", "2", "@"}, 2, {}},
        {{"--family", "-1", "@"}, 2, {}},
        {{"@", "--family"}, 2, {}},
        {{"--phy", "yt", "--family", "1", "@"}, 2, {}},
        {{"--phy", "bogus", "@"}, 2, {}},
        {{"--device-id", "10000", "@"}, 2, {}},
        {{"--device-id", "0x", "@"}, 2, {}},
        {{"--device-id", " 12", "@"}, 2, {}},
        {{"--phy-code", "100", "@"}, 2, {}},
        {{"--ports", "8", "@"}, 2, {}},
        {{"--ports", "+3", "@"}, 2, {}},
        {{"--wol", "yes", "@"}, 2, {}},
        {{"--ncsi", "2", "@"}, 2, {}},
        {{"--port-mask", "100000000", "@"}, 2, {}},
        {{"--word", "ff004", "@"}, 2, {}},
        {{"--word", "ff002=1", "@"}, 2, {}},
        {{"--word", "100000=1", "@"}, 2, {}},
        {{"--word", "ff004=100000000", "@"}, 2, {}},
        {{"--word", "=1", "@"}, 2, {}},
        {{"--size", "0x100001", "@"}, 2, {}},
        {{"--size", "1k", "@"}, 2, {}},
        {{"--bogus", "@"}, 2, {}},
        {{"-", "@"}, 2, {}},
        {{"@", "@2"}, 2, {}},
        {{"@/no-such-dir/x.img"}, 2, {}},
    };
    for (const auto &row : rows) {
        const std::string dir = temp_dir(), out = dir + "/out.img";
        std::vector<std::string> args = row.args;
        for (std::string &a : args)
            if (a.starts_with("@"))
                a = out + a.substr(1);
        SCOPED_TRACE(::testing::PrintToString(row.args));
        run_t r = run_mkimage(args);
        EXPECT_EQ(row.status, r.status) << r.out;
        if (row.status == 0) {
            EXPECT_EQ("", r.out);
            bytes_t img = read_file(out);
            ASSERT_EQ(row.size, img.size());
            for (const auto &[at, value] : row.words)
                EXPECT_EQ(value, word_at(img, at)) << std::hex << "word 0x" << at;
        } else {
            EXPECT_TRUE(r.out.starts_with("norvask_mkimage: ")) << r.out;
            EXPECT_NE(0, access(out.c_str(), F_OK)) << "a refused command line wrote " << out;
            EXPECT_NE(0, access((out + "2").c_str(), F_OK));
        }
        EXPECT_EQ(0, system(("rm -rf '" + dir + "'").c_str()));
    }
}

TEST(ImageMaker, PatternLeavesNoErasedWordOutsideTheOwnedOnes)
{
    const std::string dir = temp_dir(), out = dir + "/p.img";
    ASSERT_EQ(0, run_mkimage({"--pattern", out}).status);
    bytes_t img = read_file(out);
    for (uint32_t at : {0x400u, 0x10000u, LLDP_START_ADDR + 4, OEM_CFG_END_ADDR + 4})
        EXPECT_NE(INVALID_ID, word_at(img, at)) << std::hex << at;
    EXPECT_EQ(0, system(("rm -rf '" + dir + "'").c_str()));
}

// The help text lists every option the manual page describes, and no other.
TEST(ImageMaker, HelpAndManualPageNameTheSameOptions)
{
    run_t help = run_mkimage({"--help"});
    ASSERT_EQ(0, help.status);
    std::ifstream page(SOURCE_DIR "/docs/norvask_mkimage.1");
    std::stringstream text;
    text << page.rdbuf();
    // Option names after a double dash, with "-" standing for the dash of the text.
    auto options_in = [](const std::string &s, const std::string &dash) {
        std::set<std::string> names;
        for (size_t at = 0; (at = s.find(dash + dash, at)) != std::string::npos;) {
            std::string name;
            for (at += 2 * dash.size(); at < s.size();) {
                if (isalnum((unsigned char)s[at]))
                    name += s[at++];
                else if (s.compare(at, dash.size(), dash) == 0)
                    name += '-', at += dash.size();
                else
                    break;
            }
            names.insert(name);
        }
        return names;
    };
    EXPECT_EQ(options_in(help.out, "-"), options_in(text.str(), "\\-"));
}
