// The verbs in-process.
#include "harness.h"

static const image_plan_t YT = board(0, 0x60), MV = board(0, 0x52);

struct edit_t {
    image_plan_t plan = board(0, 0x10);
    words_t pre = {};                   // over the fixture, before both runs
    std::vector<std::string> settings;  // set's
    std::string answers;                // the dialogue's, for the same edit
    words_t words;                      // what both store
    uint32_t tmpl = 0;                  // the template copied over the header block
};

// Every editor and enable at the top of what its word keeps, every class, both families.
static const edit_t EDITS[] = {
    // Enabled ports: option 12 answered with the ports to disable.
    {.settings = {"led=ffffff", "gpio=ffff", "gpio-enable=yes", "enabled-ports=1"},
     .answers = "4\n7fffffff\nn\n5\n7fffffff\ny\n12\n4\n3\nn\n",
     .words = {{LED, 0x00FFFFFF}, {GPIO, 0xFFFF}, {OEM, 0x000155AA}},
     .tmpl = ENABLE_ONE_PORT},
    // A value alone answers the switch with its state; an enable alone is option 1.
    {.pre = {{OEM, 0x000155AA}, {GPIO, 5}},
     .settings = {"gpio=0x7"},
     .answers = "5\n7\ny\n",
     .words = {{GPIO, 7}}},
    {.pre = {{OEM, 0x004355AA}, {GPIO, 5}, {LED, 1}, {WOL, 4}},
     .settings = {"gpio-enable=no"},
     .answers = "1\ny\nn\ny\n",
     .words = {{OEM, 0x004255AA}}},
    {.plan = MV,
     .settings = {"led=1cf00ff", "led-enable=yes", "phy-mode=7fffffff", "phy-mode-enable=yes"},
     .answers = "3\n7fffffff\ny\n6\n7fffffff\ny\n",
     .words = {{LED, 0x01CF00FF}, {MODE, 0x7FFFFFFF}, {OEM, 0x001255AA}}},
    // YT halves; a half not given keeps its value; ffff ffff leaves the switch silent.
    {.plan = YT,
     .settings = {"yt-led0=ffff", "yt-led1=1", "yt-led2=ffff", "yt-blink=1", "led-enable=yes"},
     .answers = "2\n1ffff\n1\n1ffff\n1\ny\n",
     .words = {{LED, 0x0001FFFF}, {LED2, 0x0001FFFF}, {OEM, 0x000255AA}}},
    {.plan = YT,
     .pre = {{LED, 0x00010002}, {LED2, 0x77}},
     .settings = {"yt-led0=ffff", "yt-led1=ffff"},
     .answers = "2\nffff\nffff\n77\n0\n",
     .words = {{LED, ERASED}}},
    // SMBus ARP always sets its switch; LLDP stamps the word.
    {.pre = {{OEM, 0x12345678}},
     .settings = {"smbus-arp=off", "wake-io=65535", "wake-io-enable=yes", "lldp=f"},
     .answers = "9\n2\n0\n10\n65535\ny\n11\n10\nf\n",
     .words = {{ARP, 0xE}, {WOL, 0xFFFF}, {LLDP, 0xF}, {OEM, 0x006055AA}}},
    {.plan = board(1, 0x10),
     .pre = {{OEM, 0x000255AA}, {LED, 1}},
     .settings = {"led-enable=no", "smbus-arp=on", "lldp=f"},
     .answers = "1\nn\n5\n1\n6\nf\n",
     .words = {{MODE, 0xF}, {LLDP, 0xF}, {OEM, 0x002055AA}}},
    {.plan = board(0, 0x50),
     .settings = {"wake-io-enable=yes", "led=cf00ff", "enabled-ports=3", "led-enable=yes",
                  "gpio=1f", "smbus-arp=on", "wake-io=1", "lldp=5", "port-disable-enable=yes"},
     .answers = "3\ncf00ff\ny\n5\n1f\nn\n9\n1\n10\n1\ny\n11\n5\n12\n1\ny\n",
     .words = {{LED, 0xCF00FF}, {GPIO, 0x1F}, {ARP, 0xF}, {WOL, 1}, {LLDP, 5}, {OEM, 0x016255AA}},
     .tmpl = ENABLE_THREE_PORTS},
};

TEST(SetVerb, StoresWhatTheDialogueStores)
{
    for (const edit_t &row : EDITS) {
        SCOPED_TRACE(::testing::PrintToString(row.settings));
        fixture_t dialogue = make_fixture(row.plan, row.pre),
                  verb = make_fixture(row.plan, row.pre);
        const bytes_t want = expected(dialogue.bytes, row.words, row.tmpl);
        EXPECT_EQ(0, run_here(dialogue.path, {"-f", "@"}, row.answers + "0\n").status);
        EXPECT_TRUE(same_image(want, read_file(dialogue.path)));

        std::vector<std::string> set = {"set", "@"};
        set.insert(set.end(), row.settings.begin(), row.settings.end());
        const here_t done = run_here(verb.path, set);
        EXPECT_EQ("", done.err + done.out);
        EXPECT_TRUE(same_image(want, read_file(verb.path)));
    }
}

// Each image call failing: all output or none, the image complete or untouched, one line.
TEST(ApplyVerb, FailedImageCallIsOneLineAndLeavesTheImageUntouched)
{
    fixture_t fx = make_fixture(board(0, 0x10), {{OEM, 0x000155AA}, {GPIO, 2}});
    const here_t saved = run_here(fx.path, {"save", "@"});
    each_fault(saved.calls, [&](unsigned long n, img_fault_mode_t mode) {
        here_t r = run_here(fx.path, {"save", "@"}, "", n, mode);
        EXPECT_EQ(r.status == 0 ? saved.out : "", r.out);
        EXPECT_EQ(r.status == 0 ? 0 : 1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        EXPECT_TRUE(r.status == 0 || r.err.starts_with(NO + fx.path)) << r.err;
        EXPECT_EQ(r.status == 0 ? 0 : 3, r.status);
    });
    const std::string cfg =
        "led=1\nled-enable=yes\ngpio=3\nsmbus-arp=on\nlldp=4\nenabled-ports=2\n";
    const here_t ok = run_here(fx.path, {"apply", "@", "-"}, cfg);
    EXPECT_EQ(0, ok.status) << ok.err;
    const bytes_t done = read_file(fx.path);
    int undone = 0;
    each_fault(ok.calls, [&](unsigned long n, img_fault_mode_t mode) {
        put_back(fx);
        here_t r = run_here(fx.path, {"apply", "@", "-"}, cfg, n, mode);
        unlink((fx.path + JOURNAL_SUFFIX).c_str());  // one not removed, its command undone
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        EXPECT_FALSE(r.status == 0 && r.err.find("journal") != std::string::npos) << r.err;
        EXPECT_TRUE(r.err.starts_with(NO + fx.path)) << r.err;
        EXPECT_EQ(r.status == 1, r.err.ends_with("; nothing changed\n")) << r.err;
        EXPECT_NE(r.status, 4) << r.err;
        EXPECT_TRUE(same_image(r.status == 0 ? done : fx.bytes, read_file(fx.path)));
        undone += r.status == 1;
    });
    EXPECT_GE(undone, 8);
}

// An undo that cannot put the bytes back: status 4; a header copy read back wrong is undone.
TEST(SetVerb, UndoThatFailsIsStatusFourAndABadCopyIsUndone)
{
    fixture_t fx = make_fixture(board(0, 0x10));
    here_t torn;
    for (unsigned long n = 1; n < 64 && torn.status != 4; n++) {
        put_back(fx);
        unlink((fx.path + JOURNAL_SUFFIX).c_str());
        torn = run_here(fx.path, {"set", "@", "gpio=1"}, "", n, IMG_FAULT_TORN);
    }
    EXPECT_EQ(NO + fx.path +
                  ": cannot write (Input/output error); the image may be partly changed, the next "
                  "start undoes the command from its journal\n",
              torn.err);
    EXPECT_EQ(0, run_here(fx.path, {"-f", "@"}, "0\n").status);
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path))) << "the torn write undone at the start";
    here_t bad;
    for (unsigned long n = 1; n < 80 && bad.err.find("differs") == std::string::npos; n++) {
        put_back(fx);
        bad = run_here(fx.path, {"set", "@", "enabled-ports=2"}, "", n, IMG_FAULT_CORRUPT);
    }
    EXPECT_EQ(NO + fx.path +
                  ": cannot write (the header block read back differs from the template); nothing "
                  "changed\n",
              bad.err);
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path))) << "the bad header copy undone";
}

// save, then apply to the image erased: a word comes back otherwise exactly when a # line names it.
TEST(SaveVerb, RoundTripNamesExactlyWhatItLoses)
{
    const std::pair<image_plan_t, words_t> TRIPS[] = {
        {board(0, 0x10), {{OEM, 0x00FA55AA}, {GPIO, 0x12345}, {0xFF01C, 3}}},
        {YT, {{OEM, 0x12345678}, {LED2, 1}, {LLDP, 0x20}}},
        {MV, {{OEM, 0x010055AA}, {MODE, 7}, {ENABLE_TWO_PORTS, 0}, {PORT_MASK_ADDR, 3}}},
        {board(1, 0x10), {{OEM, 0xFFFF55AA}, {MODE, 1}, {LED, 5}, {LLDP, 2}}},
        {board(0, 0x50), {{OEM, 0x55AA}, {WOL, 9}, {LLDP, 2}}},
    };
    for (const auto &[plan, words] : TRIPS) {
        fixture_t fx = make_fixture(plan, words), copy = make_fixture(plan, words);
        const std::string saved = run_here(fx.path, {"save", "@"}).out;
        SCOPED_TRACE(saved);
        words_t erased = {{LLDP, ERASED}};
        for (uint32_t a = OEM; a <= OEM_CFG_END_ADDR; a += 4)
            erased.push_back({a, ERASED});
        const bytes_t blank = with_words(fx.bytes, erased);
        put_file(copy.path, std::string(blank.begin(), blank.end()));
        EXPECT_EQ(0, run_here(copy.path, {"apply", "@", "-"}, saved).status);
        bytes_t got = read_file(copy.path);
        for (const auto &[a, w] : erased) {
            char hex[16];
            snprintf(hex, sizeof hex, "0x%x ", a);
            bool named = saved.find(hex) != std::string::npos;
            EXPECT_EQ(named, word_at(got, a) != word_at(fx.bytes, a)) << hex;
            got = with_words(got, {{a, word_at(fx.bytes, a)}});
        }
        EXPECT_TRUE(same_image(fx.bytes, got));
        EXPECT_EQ(0, run_here(fx.path, {"apply", "@", "-"}, saved).status);
        got = read_file(fx.path);
        if (saved.find("stamp into it") != std::string::npos)
            got = with_words(got, {{OEM, word_at(fx.bytes, OEM)}});
        EXPECT_TRUE(same_image(fx.bytes, got));
    }
}
