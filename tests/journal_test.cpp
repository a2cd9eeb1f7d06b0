// The journal: deaths, power cuts, what a start finds.
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <random>

#include "harness.h"

static const image_plan_t VN = board(0, 0x10);
static const std::string PORTS = "12\n2\ny\n";  // the header block (two sectors), then an OEM word

// A record: kind, length, offset, bytes, the CRC-32 of all.
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

// Dies at `call` (0: never).
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

// `sig` raised at `call` in a child with the tool's handlers: its status, its standard error.
static int signalled_at(const fixture_t &fx, const std::vector<std::string> &args,
                        const std::string &in, unsigned long call, int sig, std::string *err)
{
    put_back(fx), fflush(nullptr);
    if (pid_t pid = fork(); pid != 0) {
        int status;
        waitpid(pid, &status, 0);
        *err = file_text(fx.path + ".err");
        for (const char *f : {".in", ".out", ".err"})
            unlink((fx.path + f).c_str());
        return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
    }
    sigset_t set;
    sigemptyset(&set);
    for (int s : TERMINATING_SIGNALS)
        signal(s, con_note_signal), sigaddset(&set, s);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    set_limit(RLIMIT_CORE, 0), img_fault_signal = sig;
    _exit(run_here(fx.path, args, in, call, IMG_FAULT_SIGNAL).status);
}

static std::string log_of(const fixture_t &fx, const std::vector<std::string> &args,
                          const std::string &in)
{
    here_t r = die_at(fx, args, in, 0);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    return img_call_log();
}

// Keep, drop or tear: base-3 digit i of the way.
static img_fate_t fate_of(int i, void *way)
{
    return (img_fate_t)(*(unsigned *)way / (unsigned)std::pow(3, i) % 3);
}

// A death at any call, then a power cut, then a start: the image before or, once the journal's
// removal is synced, after. A signal at a durable step: undone until that removal, kept after.
TEST(Journal, ProcessKilledOrPowerCutAtEveryCallOfEveryWritingCommand)
{
    const struct {
        std::vector<std::string> args;
        std::string in;
    } rows[] = {
        {.args = {"-f", "@"}, .in = "5\nab\ny\n0\n"},
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
            for (int sig : TERMINATING_SIGNALS) {
                if (strchr("WSU", log[n - 1]) == nullptr)
                    break;
                SCOPED_TRACE("signal " + std::to_string(sig) + " at call " + std::to_string(n));
                std::string err;
                const bool kept = n > log.find('U');
                EXPECT_EQ(-sig, signalled_at(fx, row.args, row.in, n, sig, &err));
                EXPECT_EQ(kept, err.ends_with("after the command was done\n")) << err;
                EXPECT_TRUE(same_image(kept ? after : fx.bytes, read_file(fx.path)));
                EXPECT_FALSE(exists(fx.path + JOURNAL_SUFFIX));
            }
            die_at(fx, row.args, row.in, n);
            const std::string image = file_text(fx.path), j = fx.path + JOURNAL_SUFFIX;
            const bool journal = exists(j);
            const std::string kept = journal ? file_text(j) : "";
            const int pending = img_pending();
            // Every way to lose what was pending, or random ways where there are many.
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

// A journal left after port disable's last image write, beside the image as a later hand left it.
TEST(Journal, WhatAStartDoesWithWhatItFinds)
{
    fixture_t fx = make_fixture(VN);
    const std::string j = fx.path + JOURNAL_SUFFIX;
    const std::string log = log_of(fx, {"-f", "@"}, PORTS + "0\n");
    const bytes_t after = read_file(fx.path);
    die_at(fx, {"-f", "@"}, PORTS, log.find('U') + 1);  // after the last image write
    const std::string journal = file_text(j);
    ASSERT_TRUE(same_image(after, read_file(fx.path)));
    const std::string
        mv = "mv -- '" + j + "' '" + j + ".set-aside'",
        aside = "; to set it aside: " + mv,
        restore = "; the image may hold part of an interrupted command: restore it "
                  "from a copy, then set the journal aside: " +
                  mv,
        undone = "an interrupted command is shown undone; the next writing run undoes it",
        changed = "the image was changed after an interrupted command; this journal "
                  "does not match it and is not applied; nothing was changed",
        damaged = "this journal is damaged; it is not applied, and nothing was changed" + restore,
        cut =
            "a journal cut off before its command changed anything; the next writing run removes it";
    auto flip = [&](size_t at) {
        return journal.substr(0, at) + (char)(journal[at] ^ 1) + journal.substr(at + 1);
    };
    struct found_t {
        std::string what;
        bytes_t image = {};         // {}: every write made
        std::string journal, said;  // said: the reader's line, after the journal's name
        int reader = 3;             // its status
        bool kept = true;           // a writer refuses, keeping it
        unsigned long fail = 0;     // a reader's and a writer's image call that fails
    };
    std::vector<found_t> rows = {
        {.what = "every write made",
         .journal = journal,
         .said = undone,
         .reader = 0,
         .kept = false},
        {.what = "replaced in place inside a covered region",
         .image = with_words(after, {{0x100, 0x12345678}}),
         .journal = journal,
         .said = changed + restore},
        {.what = "changed outside the covered regions, none of its writes there",
         .image = with_words(fx.bytes, {{0x80000, 7}}),
         .journal = journal,
         .said = changed + aside},
        {.what = "a record of half the header block",
         .journal = journal.substr(0, 36) +
                    record(1, 0, std::string(fx.bytes.begin(), fx.bytes.begin() + 512)),
         .said = damaged},
        {.what = "a record of no known kind",
         .journal = journal + record(3, OEM, "abcd"),
         .said = damaged},
        {.what = "a write whose end wraps past 2^64",
         .journal = journal + record(2, 0xFFFFFFFFFFFFFFFCull, "abcdefgh"),
         .said = damaged},
        {.what = "cut right after the header", .journal = journal.substr(0, 36), .said = damaged},
        {.what = "cut after the header, the image as before",
         .image = fx.bytes,
         .journal = journal.substr(0, 60),
         .said = cut,
         .reader = 0,
         .kept = false},
        {.what = "cut within the header",
         .journal = journal.substr(0, 20),
         .said = cut,
         .reader = 0,
         .kept = false},
        {.what = "empty", .journal = "", .said = cut, .reader = 0, .kept = false},
        {.what = "not a journal",
         .journal = "#!/bin/sh\n",
         .said = "not a journal this tool trusts (user root, uid 0); the image is read as it is",
         .reader = 0},
        {.what = "its open fails",
         .journal = journal,
         .said =
             "this journal cannot be read (Input/output error); nothing was changed; run a writing command on " +
             fx.path + " as root to undo it",
         .fail = 6},  // the start's sixth image call opens the journal
    };
    // A bit flipped in the header, or the first record's kind, length, offset or data.
    for (size_t at : {20u, 36u, 40u, 44u, 52u})
        rows.push_back(
            {.what = "flipped at " + std::to_string(at), .journal = flip(at), .said = damaged});
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const bytes_t image = row.image.empty() ? after : row.image;
        put_file(fx.path, std::string(image.begin(), image.end()));
        put_file(j, row.journal);
        here_t reader = run_here(fx.path, {"show", "@"}, "", row.fail);
        EXPECT_EQ(row.reader, reader.status);
        EXPECT_EQ(0u, reader.err.find("norvask_oem_tool: " + j + ": " + row.said + "\n"))
            << reader.err;
        here_t writer = run_here(fx.path, {"-f", "@"}, "0\n", row.fail);
        EXPECT_EQ(row.kept ? -1 : 0, writer.status);
        if (row.said == undone) {  // said before the menu
            EXPECT_EQ(0u,
                      writer.out.find("[Warn]" + j +
                                      ": an interrupted command was undone from this journal\n"))
                << writer.out;
        }
        EXPECT_TRUE(same_image(row.said == undone ? fx.bytes : image, read_file(fx.path)));
        EXPECT_EQ(row.kept, exists(j));
    }
    unlink(j.c_str());
}

// A forged journal (two links) renamed over an empty one before any call of a start: not applied.
TEST(Journal, SwappedAtTheStartIsNeverApplied)
{
    fixture_t fx = make_fixture(VN);
    const std::string j = fx.path + JOURNAL_SUFFIX, forged = j + ".forged";
    die_at(fx, {"set", "@", "gpio=1"}, "", log_of(fx, {"set", "@", "gpio=1"}, "").find('U') + 1);
    const std::string after = file_text(fx.path), journal = file_text(j);
    ASSERT_NE("", journal);
    auto swap = [](void *names) {
        rename(((std::string *)names)[0].c_str(), ((std::string *)names)[1].c_str());
    };
    std::string names[2] = {forged, j};
    for (unsigned long n = 1; n <= 12; n++) {
        SCOPED_TRACE("before call " + std::to_string(n));
        put_file(fx.path, after), put_file(j, ""), put_file(forged, journal);
        ASSERT_EQ(0, link(forged.c_str(), (forged + "2").c_str()));
        img_act_at(n, swap, names);
        run_here(fx.path, {"-f", "@"}, "0\n");
        EXPECT_EQ(after, file_text(fx.path));
        unlink(j.c_str()), unlink(forged.c_str()), unlink((forged + "2").c_str());
    }
}

// The image rewritten between two commands, the second killed: undone to the rewritten image.
TEST(Journal, ImageRewrittenBetweenCommands)
{
    fixture_t fx = make_fixture(VN);
    const std::string in = "5\nab\ny\n5\n1f\ny\n0\n", log = log_of(fx, {"-f", "@"}, in);
    const unsigned long second = log.find('U') + 3;  // the second command's first call
    std::pair<std::string, std::string> other = {fx.path,
                                                 file_text(make_fixture(VN, {{LLDP, 3}}).path)};
    img_act_at(
        second,
        [](void *o) { put_file(((decltype(other) *)o)->first, ((decltype(other) *)o)->second); },
        &other);
    die_at(fx, {"-f", "@"}, in, log.rfind('W', log.find('U', second)) + 2);  // after its write
    EXPECT_EQ(0, run_here(fx.path, {"-f", "@"}, "0\n").status);
    EXPECT_EQ(other.second, file_text(fx.path));
}

// An image of the least size, and one reported past 4 GiB: offsets and sizes of 64 bits.
TEST(Journal, ImageOfTheLeastSizeOrPastFourGiBIsRecovered)
{
    image_plan_t least = VN;
    least.size = IMG_MIN_SIZE;
    for (off_t reported : {off_t(0), (off_t(4) << 30) + IMG_FLASH_SIZE}) {
        SCOPED_TRACE(reported);
        fixture_t fx = make_fixture(reported != 0 ? VN : least);
        img_report_size(reported);
        const std::vector<std::string> set = {"set", "@", "gpio=1"};
        die_at(fx, set, "", log_of(fx, set, "").find('U') + 1);  // after the image's write and sync
        ASSERT_TRUE(exists(fx.path + JOURNAL_SUFFIX));
        EXPECT_EQ(0, run_here(fx.path, {"-f", "@"}, "0\n").status);
        img_report_size(0);
        EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
        EXPECT_FALSE(exists(fx.path + JOURNAL_SUFFIX));
    }
}
