// The image maker's command lines: an accepted one writes an image with the asked-for words and
// size, a refused one exits with status 2, says why on standard error and leaves no file. Its help
// and manual page are compared in mkimage_output_check.sh.
#include <unistd.h>

#include <sstream>

#include "harness.h"

// The image maker on a command line of words split at spaces, "@" standing for the output path.
static run_t run_mkimage(const std::string &line, const std::string &out)
{
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string w; words >> w;)
        args.push_back(w.starts_with("@") ? out + w.substr(1) : w);
    return finish_tool(start_tool(args, nullptr, MKIMAGE_PATH), "");
}

TEST(ImageMaker, AcceptsAndRefusesCommandLines)
{
    // Sub-system ids: device id high byte in bits 16-23, low byte in 24-31, PHY code in 8-15,
    // NCSI bit 7, WOL bit 6, ports in 0-2. The pattern leaves no word outside the owned ones erased.
    static const struct { std::string line; words_t words; size_t size = IMAGE_FULL_SIZE; } accepted[] = {
        {"@", {{SUB_SYS_ID_ADDR, INVALID_ID}, {IMG_HEADER_ADDR, IMG_HEADER}, {PORT_MASK_ADDR, 0xF},
               {ENABLE_TWO_PORTS, IMG_HEADER}, {ENABLE_TWO_PORTS + PORT_MASK_ADDR, 0x3}, {OEM, ERASED}, {LLDP, ERASED}}},
        {"--family 1 @", {{SUB_SYS_ID_ADDR, 0x01101004}}},
        // Each PHY name's code, which the tool's tables classify as the name says.
        {"--phy inner @", {{SUB_SYS_ID_ADDR, 0x00101004}}}, {"--phy yt @", {{SUB_SYS_ID_ADDR, 0x00106004}}},
        {"--phy mv-fiber @", {{SUB_SYS_ID_ADDR, 0x00105004}}}, {"--phy mv-copper @", {{SUB_SYS_ID_ADDR, 0x00105104}}},
        {"--phy mv @", {{SUB_SYS_ID_ADDR, 0x00105204}}}, {"--phy other @", {{SUB_SYS_ID_ADDR, 0x00108004}}},
        {"--family 1 --phy copper @", {{SUB_SYS_ID_ADDR, 0x01101004}}},
        {"--family 1 --phy fiber --ports 2 --wol 1 --ncsi 1 @", {{SUB_SYS_ID_ADDR, 0x011030C2}, {PORT_MASK_ADDR, 0x3}}},
        {"--device-id 0x2001 --phy-code 52 --ports 7 @", {{SUB_SYS_ID_ADDR, 0x01205207}, {PORT_MASK_ADDR, 0xF}}},
        {"--phy mv --phy-code ff --device-id abcd @", {{SUB_SYS_ID_ADDR, 0xCDABFF04}}},
        {"--wol 0 @", {{SUB_SYS_ID_ADDR, 0x00000004}}},
        {"@ --port-mask 7 --word ff004=1234 --word 0XF1000=0x5 --word ff004=a",
         {{SUB_SYS_ID_ADDR, INVALID_ID}, {PORT_MASK_ADDR, 0x7}, {GPIO, 0xA}, {LLDP, 5}}},
        {"--word ffffc=11 @", {{0xFFFFC, 0x11}}},
        {"--size 0xFFFE0 @", {{SUB_SYS_ID_ADDR, INVALID_ID}}, IMG_MIN_SIZE},
        {"--size 1000 @", {{PORT_MASK_ADDR, 0xF}}, 1000},
        {"--pattern @", {{OEM, ERASED}, {ENABLE_ONE_PORT + PORT_MASK_ADDR, 0x1}, {0x400, 0x31147B5E},
                         {0x10000, 0x35107F5A}, {LLDP + 4, 0x4994F3DE}, {OEM_CFG_END_ADDR + 4, 0x610C2BF6}}},
    };
    static const char *refused[] = {
        "", "--family 2 @", "--family -1 @", "@ --family", "--phy yt --family 1 @", "--phy bogus @", "--device-id 10000 @",
        "--device-id 0x @", "--phy-code 100 @", "--ports 8 @", "--ports +3 @", "--wol yes @", "--ncsi 2 @",
        "--port-mask 100000000 @", "--word ff004 @", "--word ff002=1 @", "--word 100000=1 @", "--word ff004=100000000 @",
        "--word =1 @", "--size 0x100001 @", "--size 1k @", "--bogus @", "- @", "@ @2", "@/no-such-dir/x.img"};
    const std::string dir = testing::TempDir(), out = dir + "norvask-mk.img";
    for (const auto &row : accepted) {
        SCOPED_TRACE(row.line);
        run_t r = run_mkimage(row.line, out);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("", r.out);
        bytes_t img = read_file(out);
        ASSERT_EQ(row.size, img.size());
        for (const auto &[at, value] : row.words)
            EXPECT_EQ(value, word_at(img, at)) << std::hex << "word 0x" << at;
        unlink(out.c_str());
    }
    for (const char *line : refused) {
        SCOPED_TRACE(line);
        run_t r = run_mkimage(line, out);
        EXPECT_EQ(2, r.status);
        EXPECT_TRUE(r.out.starts_with("norvask_mkimage: ")) << r.out;
        EXPECT_NE(0, access(out.c_str(), F_OK) & access((out + "2").c_str(), F_OK)) << "a refused line wrote";
    }
    // A device id with a space in it: not a number.
    EXPECT_EQ(2, finish_tool(start_tool({"--device-id", " 12", out}, nullptr, MKIMAGE_PATH), "").status);
    EXPECT_NE(0, access(out.c_str(), F_OK));
}
