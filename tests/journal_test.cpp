// The journal in this process: deaths, power cuts, the durable steps' order, what a start finds.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <random>

#include "harness.h"

static const std::string UNDONE_FROM = ": an interrupted command was undone from this journal\n";

static const image_plan_t VN = board(0, 0x10);
static const std::string SUFFIX = ".norvask-journal";
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

static bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Dies at `call` (0: never): it and every later call reach nothing. The image `size` bytes long.
static here_t die_at(const fixture_t &fx, const std::vector<std::string> &args,
                     const std::string &in, unsigned long call, off_t size = IMG_FLASH_SIZE)
{
    put_back(fx);
    EXPECT_EQ(0, truncate(fx.path.c_str(), size));
    unlink((fx.path + SUFFIX).c_str());
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

// Rules 1 to 5: a death at any call, then a power cut losing any of what was not durable, then a
// start: the image before the command or (its journal gone) after it, no journal left.
TEST(Journal, ProcessKilledOrPowerCutAtEveryCallOfEveryWritingCommand)
{
    const struct {
        std::vector<std::string> args;
        std::string in;
    } rows[] = {
        {{"-f", "@"}, "5\nab\ny\n0\n"},
        {{"-f", "@"}, "1\ny\nn\ny\ny\n0\n"},
        {{"-f", "@"}, "-2\n0\n"},
        {{"-f", "@"}, PORTS + "0\n"},
        {{"set", "@", "gpio=1f", "gpio-enable=no", "lldp=3", "enabled-ports=2",
          "port-disable-enable=yes"},
         ""},
    };
    std::mt19937 draw(7);
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args) + " " + row.in);
        fixture_t fx = make_fixture(VN, {{LED, 0x11}, {MODE, 3}, {WOL, 4}});
        const std::string log = log_of(fx, row.args, row.in);
        const bytes_t after = read_file(fx.path);
        const unsigned long done = log.find("U?Sd") / 2 + 3;  // the journal's removal synced
        for (unsigned long n = 1; n <= log.size() / 2; n++) {
            die_at(fx, row.args, row.in, n);
            const std::string image = file_text(fx.path), j = fx.path + SUFFIX;
            const std::string kept = exists(j) ? file_text(j) : "";
            const bool journal = exists(j);
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

// Rules on the call log: 1. each write's record, and a new journal's directory entry, synced before
// the write; 3. the image synced before the journal goes, its directory synced after; 4. the
// dialogue
// removes it before the next command's first call.
TEST(Journal, DurableStepsInOrder)
{
    fixture_t fx = make_fixture(VN);
    const struct {
        std::vector<std::string> args;
        std::string in;
        int records, writes;
    } rows[] = {
        {{"-f", "@"}, "5\nab\ny\n0\n", 2, 2},                             // the value, its switch
        {{"set", "@", "gpio=1", "lldp=2", "enabled-ports=3"}, "", 1, 3},  // each region once
    };
    for (const auto &row : rows) {
        const std::string log = log_of(fx, row.args, row.in);
        SCOPED_TRACE(log);
        bool unsynced_record = false, unsynced_entry = false, image_synced = false;
        int records = 0, writes = 0;
        for (size_t i = 0; i + 1 < log.size(); i += 2) {
            const std::string call = log.substr(i, 2);
            unsynced_entry = call == "Oj" || (unsynced_entry && call != "Sd");
            unsynced_record = call == "Wj" || (unsynced_record && call != "Sj");
            records += call == "Wj";
            writes += call == "Wi";
            if (call == "Wi") {
                EXPECT_FALSE(unsynced_record || unsynced_entry) << "rule 1, call " << i / 2 + 1;
            }
            image_synced = call == "Si" || (image_synced && call != "Wi");
            if (call == "U?") {
                EXPECT_TRUE(image_synced) << "rule 3";
                EXPECT_EQ("Sd", log.substr(i + 2, 2)) << "rule 3";
                if (row.in != "") {
                    EXPECT_EQ("T?Ri", log.substr(i + 4, 4))
                        << "rule 4: the next cycle's stat, read";
                }
            }
        }
        EXPECT_EQ(row.records, records);
        EXPECT_EQ(row.writes, writes);
    }
}

// A journal left by a death after the last image write of port disable, the image as a later hand
// left it. Rule 6: applied only when every covered byte is old or one the command wrote; rule 2:
// one
// whose first record is not whole holds no change.
TEST(Journal, WhatAStartDoesWithWhatItFinds)
{
    fixture_t fx = make_fixture(VN);
    const std::string j = fx.path + SUFFIX, log = log_of(fx, {"-f", "@"}, PORTS + "0\n");
    const bytes_t after = read_file(fx.path);
    die_at(fx, {"-f", "@"}, PORTS, log.rfind("Wi") / 2 + 2);
    const std::string journal = file_text(j);
    ASSERT_TRUE(same_image(after, read_file(fx.path)));
    auto mix = [&](uint32_t from, uint32_t to) {  // after, with [from, to) as before
        bytes_t b = after;
        std::copy(fx.bytes.begin() + from, fx.bytes.begin() + to, b.begin() + from);
        return b;
    };
    const std::string undone = "an interrupted command is shown undone",
                      changed = "the image was changed after", damaged = "this journal is damaged",
                      cut = "a journal cut off before";
    const struct {
        std::string what;
        bytes_t image;
        std::string journal, said;  // said: in the reader's line
        bool applied, refused;
    } rows[] = {
        {"every write made", after, journal, undone, true, false},
        {"no write made", fx.bytes, journal, undone, true, false},
        {"header torn, first sector old", mix(0, 0x200), journal, undone, true, false},
        {"header torn, second sector old", mix(0x200, 0x400), journal, undone, true, false},
        {"later write missing", mix(OEM, OEM + 4), journal, undone, true, false},
        {"later write cut short in its word", mix(OEM + 2, OEM + 4), journal, undone, true, false},
        {"replaced in place inside a covered region", with_words(after, {{0x100, 0x12345678}}),
         journal, changed, false, true},
        {"changed outside the covered regions", with_words(after, {{0x80000, 7}}), journal, changed,
         false, true},
        {"header damaged, first record whole", after,
         journal.substr(0, 20) + "x" + journal.substr(21), damaged, false, true},
        {"a record of half the header block", after,
         journal.substr(0, 36) +
             record(1, 0, std::string(fx.bytes.begin(), fx.bytes.begin() + 512)),
         damaged, false, true},
        {"a record of no known kind", after, journal + record(3, OEM, "abcd"), damaged, false,
         true},
        {"first record not whole", after, journal.substr(0, 60), cut, false, false},
        {"empty", after, "", cut, false, false},
        {"not a journal", after, "#!/bin/sh\n", "this file is not a journal of this tool", false,
         true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        put_file(fx.path, std::string(row.image.begin(), row.image.end()));
        put_file(j, row.journal);
        here_t reader = run_here(fx.path, {"show", "@"});
        EXPECT_EQ(row.refused ? 3 : 0, reader.status);
        EXPECT_NE(std::string::npos, reader.err.find(": " + row.said)) << reader.err;
        here_t writer = run_here(fx.path, {"-f", "@"}, "0\n");
        EXPECT_EQ(row.refused ? -1 : 0, writer.status);
        if (row.applied) {  // said before the menu
            EXPECT_EQ(0u, writer.out.find("[Warn]" + j + UNDONE_FROM)) << writer.out;
        }
        EXPECT_TRUE(same_image(row.applied ? fx.bytes : row.image, read_file(fx.path)));
        EXPECT_EQ(row.refused, exists(j));
    }
    // The whole refusal: the file, the reason, the command that sets the journal aside.
    put_file(j, journal);
    put_file(fx.path, std::string(rows[6].image.begin(), rows[6].image.end()));
    EXPECT_EQ("norvask_oem_tool: " + j +
                  ": the image was changed after an interrupted command; this journal does not "
                  "match it and is not applied; nothing was changed; to set it aside: mv -- '" +
                  j + "' '" + j + ".set-aside'\n",
              run_here(fx.path, {"set", "@", "gpio=1"}).err);
    unlink(j.c_str());
}

// An image past 4 GiB, dying after its write: the digest reads the whole file, offsets of 64 bits.
TEST(Journal, SparseImagePastFourGiBIsRecovered)
{
    fixture_t fx = make_fixture(VN);
    const off_t size = (off_t(4) << 30) + IMG_FLASH_SIZE;
    const std::string log =
        log_of(fx, {"set", "@", "gpio=1"}, "");  // the digest reads 64 KiB a call
    die_at(fx, {"set", "@", "gpio=1"}, "",
           log.rfind("Wi") / 2 + 2 + (size - IMG_FLASH_SIZE) / 0x10000, size);
    ASSERT_TRUE(exists(fx.path + SUFFIX));
    EXPECT_EQ(0, run_here(fx.path, {"-f", "@"}, "0\n").status);
    bytes_t got(IMG_FLASH_SIZE);
    std::ifstream(fx.path, std::ios::binary).read((char *)got.data(), IMG_FLASH_SIZE);
    EXPECT_TRUE(same_image(fx.bytes, got));
    EXPECT_FALSE(exists(fx.path + SUFFIX));
}
