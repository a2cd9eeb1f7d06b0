// The journal: whatever call of a writing command the process dies at, and whatever a power cut
// then loses of what was not yet durable, one start gives back the image before the command or
// after it, never a mix, and leaves no journal; the order of the durable steps; what a start does
// with each kind of file it finds in the journal's place; and the same against the built tool.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <random>

#include "harness.h"

static const image_plan_t VN = board(0, 0x10), MR = board(1, 0x30);
static const std::string SUFFIX = ".norvask-journal";

static bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Dies at `call` of the run: that call and every later one reach nothing.
static here_t die_at(const fixture_t &fx, const std::vector<std::string> &args, const std::string &in,
                     unsigned long call)
{
    put_back(fx);
    unlink((fx.path + SUFFIX).c_str());
    img_track_durability(true);
    here_t r = run_here(fx.path, args, in, call, IMG_FAULT_STUCK);
    img_track_durability(false);
    return r;
}

// Keep, drop or tear: the i-th base-3 digit of the number of the way.
static img_fate_t fate_of(int i, void *ctx)
{
    unsigned way = *(unsigned *)ctx;
    for (int k = 0; k < i; k++)
        way /= 3;
    return (img_fate_t)(way % 3);
}

TEST(Journal, ProcessKilledOrPowerCutAtEveryCallOfEveryWritingCommand)
{
    const struct { image_plan_t plan; std::vector<std::string> args; std::string in; } rows[] = {
        {VN, {"-f", "@"}, "5\nab\ny\n0\n"}, {VN, {"-f", "@"}, "1\ny\nn\ny\ny\n0\n"},
        {VN, {"-f", "@"}, "-2\n0\n"},       {VN, {"-f", "@"}, "12\n2\ny\n0\n"},
        {MR, {"-f", "@"}, "2\nabcdef\ny\n0\n"}, {MR, {"-f", "@"}, "6\nc\n0\n"},
        {VN, {"set", "@", "gpio=1f", "gpio-enable=no", "lldp=3", "wake-io=250", "enabled-ports=2",
              "port-disable-enable=yes"}, ""},
        {VN, {"apply", "@", "-"}, "led=1\nsmbus-arp=on\nlldp=4\nenabled-ports=3\n"},
    };
    std::mt19937 draw(7);
    int points = 0, deaths = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args) + " " + row.in);
        fixture_t fx = make_fixture(row.plan, {{LED, 0x11}, {MODE, 3}, {WOL, 4}});
        here_t ok = run_here(fx.path, row.args, row.in);
        ASSERT_EQ(0, ok.status) << ok.out << ok.err;
        const bytes_t after = read_file(fx.path);
        for (unsigned long n = 1; n <= ok.calls; n++) {
            die_at(fx, row.args, row.in, n);
            deaths++;
            const bytes_t image = read_file(fx.path);
            const bool journal = exists(fx.path + SUFFIX);
            const std::string kept = journal ? file_text(fx.path + SUFFIX) : "";
            const int pending = img_pending();
            // Every way to lose what was pending where it is little; random ways where it is more.
            const unsigned ways = pending <= 3 ? (unsigned)std::pow(3, pending) : 8;
            for (unsigned w = 0; w < ways; w++) {
                unsigned fates = pending <= 3 ? w : w == 0 ? 0 : (unsigned)draw();
                SCOPED_TRACE("call " + std::to_string(n) + ", fates " + std::to_string(fates));
                put_file(fx.path, std::string(image.begin(), image.end()));
                unlink((fx.path + SUFFIX).c_str());
                if (journal)
                    put_file(fx.path + SUFFIX, kept);
                img_power_cut(fate_of, &fates);
                here_t start = run_here(fx.path, {"-f", "@"}, "0\n");
                EXPECT_EQ(0, start.status) << start.out << start.err;
                const bytes_t got = read_file(fx.path);
                EXPECT_TRUE(got == fx.bytes || got == after) << same_image(fx.bytes, got).message();
                EXPECT_FALSE(exists(fx.path + SUFFIX));
                points++;
            }
        }
    }
    RecordProperty("points", points);
    RecordProperty("deaths", deaths);
    img_track_durability(false);
}

// Each record, and a new journal's directory entry, is durable before the write it covers; the
// image is synced before the journal goes, and the directory after.
TEST(Journal, DurableStepsInOrder)
{
    fixture_t fx = make_fixture(VN);
    img_track_durability(true);
    ASSERT_EQ(0, run_here(fx.path, {"set", "@", "gpio=1", "lldp=2", "enabled-ports=3"}).status);
    img_track_durability(false);
    const std::string log = img_call_log();
    bool open = false, unsynced_record = false, unsynced_entry = false, image_synced = false;
    int covered = 0;
    for (size_t i = 0; i + 1 < log.size(); i += 2) {
        const std::string c = log.substr(i, 2);
        SCOPED_TRACE(log.substr(0, i + 2));
        if (c == "Oj")
            open = unsynced_entry = true;
        unsynced_record = c == "Wj" || (unsynced_record && c != "Sj");
        unsynced_entry = unsynced_entry && c != "Sd";
        if (c == "Wi") {
            EXPECT_TRUE(open && !unsynced_record && !unsynced_entry);
            covered++;
            image_synced = false;
        }
        image_synced = image_synced || c == "Si";
        if (c == "U?") {
            EXPECT_TRUE(image_synced);
            EXPECT_EQ("Sd", log.substr(i + 2, 2));
            open = false;
        }
    }
    EXPECT_EQ(6, covered);  // GPIO, its stamp, LLDP, its stamp, the header block, its stamp
    EXPECT_FALSE(open);
}

// A start that finds a journal: kind of file, what a writer does, what a reader does.
TEST(Journal, WhatAStartDoesWithWhatItFinds)
{
    const std::string ask = "5\nab\n";  // the GPIO value written, its switch question asked
    fixture_t fx = make_fixture(VN), other = make_fixture(VN, {{LLDP, 7}});  // differs outside the OEM area
    const std::string j = fx.path + SUFFIX;
    // Dies with the GPIO value written: the journal holds the OEM area as it was.
    auto crashed = [&] {
        for (unsigned long n = 1;; n++) {
            img_track_durability(true);
            put_back(fx);
            unlink(j.c_str());
            run_here(fx.path, {"-f", "@"}, ask, 0);
            std::string log = img_call_log();
            img_track_durability(false);
            size_t at = log.find("Wi");
            if (at != std::string::npos)
                return die_at(fx, {"-f", "@"}, ask, at / 2 + 2), file_text(j);
            EXPECT_LT(n, 2u);
        }
    };
    const std::string journal = crashed();
    ASSERT_NE(fx.bytes, read_file(fx.path));
    const struct { std::string what, journal; bool link; std::string writer, reader; int wstatus, rstatus; bool undone;
    } rows[] = {
        {"whole", journal, false, "[Warn]" + j + ": an interrupted command was undone from this journal\n",
         "an interrupted command is shown undone; the next writing run undoes it", 0, 0, true},
        {"torn header", journal.substr(0, 20), false,
         "[Warn]" + j + ": a journal cut off before its command changed anything was removed\n",
         "a journal cut off before its command changed anything; the next writing run removes it", 0, 3, false},
        {"torn last record", journal + journal.substr(40, 30), false,
         "[Warn]" + j + ": an interrupted command was undone from this journal\n",
         "an interrupted command is shown undone; the next writing run undoes it", 0, 0, true},
        {"not a journal", "#!/bin/sh\n", false, OPEN_FAIL, "this file is not a journal of this tool; move it away to "
         "use the image", -1, 3, false},
        {"a symbolic link", journal, true, OPEN_FAIL, "this file is not a journal of this tool; move it away to use "
         "the image", -1, 3, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const bytes_t image = read_file(fx.path);
        unlink(j.c_str());
        put_file(row.link ? j + ".target" : j, row.journal);
        ASSERT_TRUE(!row.link || symlink((j + ".target").c_str(), j.c_str()) == 0);
        here_t reader = run_here(fx.path, {"save", "@"});
        EXPECT_EQ(row.rstatus, reader.status);
        EXPECT_NE(std::string::npos, reader.err.find("norvask_oem_tool: " + j + ": " + row.reader + "\n")) << reader.err;
        EXPECT_TRUE(same_image(image, read_file(fx.path)));
        here_t writer = run_here(fx.path, {"-f", "@"}, "0\n");
        EXPECT_EQ(row.wstatus, writer.status);
        EXPECT_EQ(row.writer, writer.out.substr(0, row.writer.size()));
        EXPECT_TRUE(same_image(row.undone ? fx.bytes : image, read_file(fx.path)));
        EXPECT_EQ(row.wstatus != 0, exists(j));
        unlink((j + ".target").c_str());
    }
    // A journal of another image, and one of this image after a copy was laid over it: refused.
    for (const std::string &target : {other.path, fx.path}) {
        put_file(target + SUFFIX, crashed());
        if (target == fx.path)
            put_file(fx.path, file_text(other.path));
        const bytes_t image = read_file(target);
        here_t r = run_here(target, {"set", "@", "gpio=1"});
        EXPECT_EQ(3, r.status);
        EXPECT_EQ("norvask_oem_tool: " + target + SUFFIX + ": this journal is not of the image as it is now; "
                  "nothing was changed; move it away to keep the image as it is\n", r.err);
        EXPECT_TRUE(same_image(image, read_file(target)) && exists(target + SUFFIX));
        unlink((target + SUFFIX).c_str());
    }
    // Recovery that cannot remove the journal: status 4, nothing else written.
    crashed();
    here_t stuck;
    for (unsigned long n = 1; n < 40 && stuck.status != 4; n++) {
        put_file(j, journal);
        put_back(fx);
        stuck = run_here(fx.path, {"set", "@", "gpio=1"}, "", n, IMG_FAULT_STUCK);
    }
    EXPECT_EQ(4, stuck.status);
    unlink(j.c_str());
}

// The built tool killed: at the switch question with the value written, and at each image write of
// a many-setting apply (strace's fault injection); one start gives the image back.
TEST(Journal, KilledToolThenOneStart)
{
    fixture_t fx = make_fixture(VN);
    child_t c = start_tool({"-f", fx.path});
    const std::string asked = vn_menu(fx.path) + P G "\nConfiguration completed successfully\n    GPIO : 0x1f\n"
                                                     "\nEnable GPIO configuration or not 'Y' or 'N' : ";
    ASSERT_EQ((ssize_t)5, write(c.in_fd, "5\n1f\n", 5));
    ASSERT_EQ(asked, read_output(c, asked.size()));
    ASSERT_NE(fx.bytes, read_file(fx.path));
    kill(c.pid, SIGKILL);
    EXPECT_EQ(-SIGKILL, finish_tool(c, "").status);
    run_t start = run_tool({"-f", fx.path}, "0\n");
    EXPECT_EQ("[Warn]" + fx.path + SUFFIX + ": an interrupted command was undone from this journal\n" +
              vn_menu(fx.path) + P, start.out);
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    EXPECT_FALSE(exists(fx.path + SUFFIX));
    // (A leak checker cannot run under strace: it is off for these runs.)
    const std::string cfg = fx.path + ".cfg",
                      strace = "ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -e inject=pwrite64:signal=KILL:when=";
    put_file(cfg, "gpio=1\nled=2\nsmbus-arp=on\nwake-io=9\nlldp=3\nenabled-ports=2\nport-disable-enable=yes\n");
    int killed = 0;
    for (int n = 1; n <= 16; n++) {
        SCOPED_TRACE(n);
        put_back(fx);
        int w = system((strace + std::to_string(n) + " " TOOL_PATH " apply " + fx.path + " " + cfg + " 2>/dev/null").c_str());
        const bool done = WIFEXITED(w) && WEXITSTATUS(w) == 0;
        killed += !done;
        EXPECT_EQ(0, system((TOOL_PATH " -f " + fx.path + " </dev/null >/dev/null 2>&1; exit 0").c_str()));
        EXPECT_EQ(done, !same_image(fx.bytes, read_file(fx.path)));
        EXPECT_FALSE(exists(fx.path + SUFFIX));
    }
    EXPECT_GE(killed, 8);
    unlink(cfg.c_str());
}
