// The journal in this process: deaths, power cuts, the durable steps' order, what a start finds.
#include <unistd.h>

#include <cmath>
#include <random>

#include "harness.h"

static const image_plan_t VN = board(0, 0x10);
static const std::string PORTS = "12\n2\ny\n";  // the header block (two sectors), then an OEM word

// A whole journal record: kind, length, offset, the bytes, the CRC-32 of all of them.
static std::string record(uint32_t kind, uint64_t at, const std::string &data)
{
    std::string r;
    for (auto [value, width] : {std::pair<uint64_t, int>{kind, 4}, {data.size(), 4}, {at, 8}})
        for (int i = 0; i < width; i++)
            r += (char)(value >> (8 * i));
    uint32_t crc = 0xFFFFFFFF;
    for (char byte : r += data)
        for (unsigned k = 0, c = (unsigned char)byte; k < 8; k++, c >>= 1)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - ((crc ^ c) & 1)));
    for (int i = 0; i < 4; i++)
        r += (char)(~crc >> (8 * i));
    return r;
}

// Dies at `call` (0: never): it and every later call reach nothing.
static here_t die_at(const fixture_t &fx, const std::vector<std::string> &args,
                     const std::string &in, unsigned long call)
{
    put_back(fx);
    unlink((fx.path + JOURNAL_SUFFIX).c_str());
    img_track_durability(true);
    here_t r = run_here(fx.path, args, in, call, IMG_FAULT_STUCK);
    img_track_durability(false);
    return r;
}

static std::string log_of(const fixture_t &fx, const std::vector<std::string> &args,
                          const std::string &in)
{
    here_t r = die_at(fx, args, in, 0);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    return img_call_log();
}

// Keep, drop or tear: the i-th base-3 digit of the way's number.
static img_fate_t fate_of(int i, void *way)
{
    return (img_fate_t)(*(unsigned *)way / (unsigned)std::pow(3, i) % 3);
}

// Rules 1 to 5: a death at any call, then a power cut losing any of what was not durable, then
// a start: the image before the command or, once the journal's removal is synced, after it; no
// journal left. (The dialogue's commands: the fuzz corpus's replay.)
TEST(Journal, ProcessKilledOrPowerCutAtEveryCallOfEveryWritingCommand)
{
    const struct {
        std::vector<std::string> args;
        std::string in;
    } rows[] = {
        {.args = {"set", "@", "gpio=1f", "gpio-enable=no", "lldp=3", "enabled-ports=2",
                  "port-disable-enable=yes"},
         .in = ""},
    };
    std::mt19937 draw(7);
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args) + " " + row.in);
        fixture_t fx = make_fixture(VN, {{LED, 0x11}, {MODE, 3}, {WOL, 4}});
        const std::string log = log_of(fx, row.args, row.in);
        const bytes_t after = read_file(fx.path);
        const unsigned long done = log.find('U') + 3;  // the journal's removal, then its sync
        for (unsigned long n = 1; n <= log.size(); n++) {
            die_at(fx, row.args, row.in, n);
            const std::string image = file_text(fx.path), j = fx.path + JOURNAL_SUFFIX;
            const bool journal = exists(j);
            const std::string kept = journal ? file_text(j) : "";
            const int pending = img_pending();
            // Every way to lose what was pending where it is little; random ways where it is more.
            const unsigned ways = pending <= 3 ? (unsigned)std::pow(3, pending) : 8;
            for (unsigned w = 0; w < ways; w++) {
                unsigned fates = pending <= 3 || w == 0 ? w : (unsigned)draw();
                SCOPED_TRACE("call " + std::to_string(n) + ", fates " + std::to_string(fates));
                put_file(fx.path, image);
                unlink(j.c_str());
                if (journal)
                    put_file(j, kept);
                img_power_cut(fate_of, &fates);
                here_t start = run_here(fx.path, {"-f", "@"}, "0\n");
                EXPECT_EQ(0, start.status) << start.out << start.err;
                const bytes_t got = read_file(fx.path);
                if (n >= done)
                    EXPECT_TRUE(same_image(after, got)) << "undone after its journal went";
                else
                    EXPECT_TRUE(got == fx.bytes || got == after)
                        << same_image(fx.bytes, got).message();
                EXPECT_FALSE(exists(j));
            }
        }
    }
}

// A journal left by a death after the last image write of port disable, the image as a later hand
// left it. Rule 6: refused when a covered byte is neither old nor one the command wrote (a mix of
// both is applied: the power-cut test tears writes), or another byte changed; rule 2: one whose
// first record is not whole holds no change. A refusal says how to set the journal aside.
TEST(Journal, WhatAStartDoesWithWhatItFinds)
{
    fixture_t fx = make_fixture(VN);
    const std::string j = fx.path + JOURNAL_SUFFIX;
    log_of(fx, {"-f", "@"}, PORTS + "0\n");
    const bytes_t after = read_file(fx.path);
    img_fault_at('U');  // after the last image write
    die_at(fx, {"-f", "@"}, PORTS, 0);
    const std::string journal = file_text(j);
    ASSERT_TRUE(same_image(after, read_file(fx.path))) << "died after the last image write";
    const std::string undone = "an interrupted command is shown undone",
                      changed = "the image was changed after an interrupted command; this journal "
                                "does not match it and is not applied; nothing was changed",
                      damaged = "this journal is damaged", cut = "a journal cut off before";
    const struct {
        std::string what;
        bytes_t image;
        std::string journal, said;  // said: the reader's line, after the journal's name
    } rows[] = {
        {.what = "every write made", .image = after, .journal = journal, .said = undone},
        {.what = "replaced in place inside a covered region",
         .image = with_words(after, {{0x100, 0x12345678}}),
         .journal = journal,
         .said = changed},
        {.what = "changed outside the covered regions",
         .image = with_words(after, {{0x80000, 7}}),
         .journal = journal,
         .said = changed},
        {.what = "header damaged, first record whole",
         .image = after,
         .journal = journal.substr(0, 20) + "x" + journal.substr(21),
         .said = damaged},
        {.what = "a record of half the header block",
         .image = after,
         .journal = journal.substr(0, 36) +
                    record(1, 0, std::string(fx.bytes.begin(), fx.bytes.begin() + 512)),
         .said = damaged},
        {.what = "a record of no known kind",
         .image = after,
         .journal = journal + record(3, OEM, "abcd"),
         .said = damaged},
        {.what = "first record not whole",
         .image = after,
         .journal = journal.substr(0, 60),
         .said = cut},
        {.what = "not a journal",
         .image = after,
         .journal = "#!/bin/sh\n",
         .said = "this file is not a journal of this tool"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const bool applied = row.said == undone, refused = !applied && row.said != cut;
        put_file(fx.path, std::string(row.image.begin(), row.image.end()));
        put_file(j, row.journal);
        here_t reader = run_here(fx.path, {"show", "@"});
        EXPECT_EQ(refused ? 3 : 0, reader.status);
        EXPECT_EQ(0u, reader.err.find("norvask_oem_tool: " + j + ": " + row.said)) << reader.err;
        if (refused) {
            EXPECT_TRUE(reader.err.ends_with("; to set it aside: mv -- '" + j + "' '" + j +
                                             ".set-aside'\n"))
                << reader.err;
        }
        here_t writer = run_here(fx.path, {"-f", "@"}, "0\n");
        EXPECT_EQ(refused ? -1 : 0, writer.status);
        if (applied) {  // said before the menu
            EXPECT_EQ(0u,
                      writer.out.find("[Warn]" + j +
                                      ": an interrupted command was undone from this journal\n"))
                << writer.out;
        }
        EXPECT_TRUE(same_image(applied ? fx.bytes : row.image, read_file(fx.path)));
        EXPECT_EQ(refused, exists(j));
    }
    unlink(j.c_str());
}

// An image reported past 4 GiB, dying after its write: the digest reads the whole file, offsets
// and size of 64 bits.
TEST(Journal, ImagePastFourGiBIsRecovered)
{
    fixture_t fx = make_fixture(VN);
    img_report_size((off_t(4) << 30) + IMG_FLASH_SIZE);
    img_fault_at('U');  // the journal's removal, after the image's write and sync
    run_here(fx.path, {"set", "@", "gpio=1"}, "", 0, IMG_FAULT_STUCK);
    ASSERT_TRUE(exists(fx.path + JOURNAL_SUFFIX));
    EXPECT_EQ(0, run_here(fx.path, {"-f", "@"}, "0\n").status);
    img_report_size(0);
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    EXPECT_FALSE(exists(fx.path + JOURNAL_SUFFIX));
}
