// Scripted verbs, in-process: set gives the dialogue's image and its dry run lists exactly what it
// changes, save then apply round trips, refusals write nothing, show --json is strict JSON, and a
// failed image call in the middle of apply leaves the image untouched.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "harness.h"

static const image_plan_t I = board(0, 0x10), Y = board(0, 0x60), F = board(0, 0x50), C = board(0, 0x51),
                          M = board(0, 0x52), O = board(0, 0x80), MR_I = board(1, 0x30), MR_E = board(1, 0x10);

static std::vector<std::string> cat(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Each row: settings, and the dialogue answers that make the same edits (the menu's exit follows;
// no answers: nothing changes). Every family and PHY class has rows.
static const struct { image_plan_t plan; words_t pre; std::vector<std::string> settings; std::string answers; } EDITS[] = {
    // GPIO keeps 16 bits; a value alone answers the switch with its state.
    {I, {}, {"gpio=12345"}, "5\n12345\nn\n"},
    {I, {{OEM, 0x000155AA}, {GPIO, 5}}, {"gpio=0x7"}, "5\n7\ny\n"},
    {I, {{OEM, 0x55AA}, {GPIO, 5}}, {"gpio=5"}, ""},
    {I, {}, {"gpio=1f", "gpio-enable=yes"}, "5\n1f\ny\n"},
    // An enable alone is option 1, the other switches kept; an unsigned word keeps no bit.
    {I, {{OEM, 0x004355AA}, {GPIO, 5}, {LED, 1}, {WOL, 4}}, {"gpio-enable=no"}, "1\ny\nn\ny\n"},
    {I, {{OEM, 0x12340000}, {LED, 1}, {GPIO, 2}}, {"gpio-enable=yes"}, "1\nn\ny\n"},
    {I, {{OEM, 0x55AA}, {MODE, 3}}, {"phy-mode-enable=yes"}, "1\ny\n"},
    {O, {{LED, 7}}, {"led-enable=yes"}, "1\ny\n"},
    // LED masks by PHY class.
    {M, {}, {"led=7fffffff", "led-enable=yes"}, "3\n7fffffff\ny\n"},
    {F, {{OEM, 0x000255AA}}, {"led=ffffff"}, "3\nffffff\ny\n"},
    {C, {}, {"led=0", "led-enable=no"}, "3\n0\nn\n"},
    {I, {}, {"led=7fffffff"}, "4\n7fffffff\nn\n"},
    // YT halves: one editor; a half not given keeps its value; ffff ffff leaves the switch silent.
    {Y, {}, {"yt-led0=1", "yt-led1=2", "yt-led2=3", "yt-blink=4", "led-enable=yes"}, "2\n1\n2\n3\n4\ny\n"},
    {Y, {{OEM, 0x000255AA}, {LED, 0x00020001}, {LED2, 0x00040003}}, {"yt-led1=1ffff"}, "2\n1\n1ffff\n3\n4\ny\n"},
    {Y, {{LED, 0x00010002}, {LED2, 0x77}}, {"yt-led0=ffff", "yt-led1=ffff"}, "2\nffff\nffff\n77\n0\n"},
    {Y, {}, {"yt-blink=5"}, "2\nffff\nffff\nffff\n5\n"},
    // SMBus ARP always sets its bit; wake-IO edges; LLDP stamps and enables nothing.
    {I, {}, {"smbus-arp=on"}, "9\n1\n"},
    {I, {{OEM, 0x000255AA}}, {"smbus-arp=0"}, "9\n0\n"},
    {I, {}, {"wake-io=1"}, "10\n1\nn\n"},
    {I, {}, {"wake-io=65535", "wake-io-enable=yes"}, "10\n65535\ny\n"},
    {I, {{OEM, 0x12345678}}, {"lldp=f"}, "11\nf\n"},
    {M, {}, {"phy-mode=f0e0d0c", "phy-mode-enable=yes"}, "6\nf0e0d0c\ny\n"},
    // Enabled ports are option 12 answered with the ports to disable; the count itself copies again.
    {I, {}, {"enabled-ports=1"}, "12\n3\nn\n"},
    {I, {}, {"enabled-ports=4", "port-disable-enable=yes"}, "12\n0\ny\n"},
    {board(0, 0x10, 2), {}, {"enabled-ports=2"}, "12\n0\nn\n"},
    {board(0, 0x10, 3), {{OEM, 0x010055AA}}, {"enabled-ports=2"}, "12\n1\ny\n"},
    // Family 1; option 1 offers the LED switch on every class.
    {MR_I, {}, {"led=abc", "led-enable=no"}, "2\nabc\nn\n"},
    {MR_E, {}, {"smbus-arp=on", "lldp=f"}, "5\n1\n6\nf\n"},
    {MR_I, {{LED, 1}}, {"led-enable=yes"}, "1\ny\n"},
    {MR_E, {{OEM, 0x000255AA}, {LED, 1}}, {"led-enable=no"}, "1\nn\n"},
    {MR_I, {{OEM, 0x12345678}}, {"smbus-arp=off", "lldp=3"}, "5\n0\n6\n3\n"},
    // Many at once; given out of order: option 1 first, then the editors in menu order.
    {F, {}, {"led=cf00ff", "led-enable=yes", "gpio=1f", "smbus-arp=on", "wake-io=250", "wake-io-enable=yes",
             "lldp=5", "enabled-ports=3", "port-disable-enable=yes"},
     "3\ncf00ff\ny\n5\n1f\nn\n9\n1\n10\n250\ny\n11\n5\n12\n1\ny\n"},
    {O, {}, {"port-disable-enable=no", "enabled-ports=2", "lldp=0", "wake-io=9", "smbus-arp=off", "gpio-enable=yes",
             "gpio=ab"},
     "5\nab\ny\n9\n0\n10\n9\nn\n11\n0\n12\n2\nn\n"},
    {M, {{OEM, 0x004055AA}, {WOL, 4}},
     {"enabled-ports=3", "lldp=5", "smbus-arp=on", "phy-mode=3", "gpio=1f", "gpio-enable=yes", "led=1",
      "wake-io-enable=no"},
     "1\nn\n3\n1\nn\n5\n1f\ny\n6\n3\nn\n9\n1\n11\n5\n12\n1\nn\n"},
};

// Both run on the same patterned image and must leave the same bytes; the dry run before the real
// one writes nothing and lists the words the real run then changes, old and new.
TEST(SetVerb, GivesTheDialoguesImageAndItsDryRunListsIt)
{
    for (const auto &row : EDITS) {
        SCOPED_TRACE(::testing::PrintToString(row.settings));
        fixture_t dialogue = make_fixture(row.plan, row.pre), verb = make_fixture(row.plan, row.pre);
        here_t d = run_here(dialogue.path, {"-f", "@"}, row.answers + "0\n");
        EXPECT_EQ(0, d.status) << d.out;
        for (const char *slip : {"ERROR", "Illegal", "[Error]", "[Warn]"})
            EXPECT_EQ(std::string::npos, d.out.find(slip)) << d.out;
        const bytes_t want = read_file(dialogue.path);
        EXPECT_EQ(row.answers.empty(), (bool)same_image(dialogue.bytes, want));

        here_t dry = run_here(verb.path, cat(cat({"set", "@"}, row.settings), {"--dry-run"}));
        EXPECT_EQ(0, dry.status);
        EXPECT_TRUE(same_image(verb.bytes, read_file(verb.path)));
        here_t s = run_here(verb.path, cat({"set", "@"}, row.settings));
        EXPECT_EQ(0, s.status);
        EXPECT_EQ("", s.err + s.out);
        EXPECT_TRUE(same_image(want, read_file(verb.path)));

        std::multiset<std::string> changed, listed;
        char line[48];
        for (uint32_t at = 0x400; at < want.size(); at += 4)
            if (word_at(verb.bytes, at) != word_at(want, at)) {
                snprintf(line, sizeof line, "0x%x : 0x%x -> 0x%x", at, word_at(verb.bytes, at), word_at(want, at));
                changed.insert(line);
            }
        if (!std::equal(want.begin(), want.begin() + 0x400, verb.bytes.begin()))
            changed.insert("0x0-0x3ff : header block");
        std::istringstream lines(dry.out);
        for (std::string l; std::getline(lines, l);)
            listed.insert(l.substr(0, l.starts_with("0x0-0x3ff : header block -> template for ") ? 24 : l.size()));
        EXPECT_EQ(changed, listed);
    }
}

// Save of each image above edited from an erased OEM area, then apply to the image before the
// edits, alternately from standard input and from a file with CR LF line ends, gives the edited
// image and port mask.
TEST(SaveApply, RoundTripOnEveryFamilyAndPhyClass)
{
    int n = 0;
    for (const auto &row : EDITS) {
        if (!row.pre.empty())
            continue;  // words no setting gives
        SCOPED_TRACE(::testing::PrintToString(row.settings));
        fixture_t src = make_fixture(row.plan), dst = make_fixture(row.plan);
        ASSERT_EQ(0, run_here(src.path, cat({"set", "@"}, row.settings)).status);
        here_t saved = run_here(src.path, {"save", "@"}), applied;
        EXPECT_EQ(0, saved.status);
        EXPECT_TRUE(saved.out.starts_with("# norvask_oem_tool 1.1.3: family ")) << saved.out;
        if (n++ % 2 == 0) {
            applied = run_here(dst.path, {"apply", "@", "-"}, saved.out);
        } else {
            std::string crlf;
            for (char c : saved.out)
                crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
            put_file(dst.path + ".cfg", crlf);
            applied = run_here(dst.path, {"apply", "@", "@.cfg"});
            unlink((dst.path + ".cfg").c_str());
        }
        EXPECT_EQ(0, applied.status) << applied.err << saved.out;
        // The saved port count copies its template over the header block: only the mask compares.
        bytes_t want = read_file(src.path), got = read_file(dst.path);
        EXPECT_EQ(word_at(want, PORT_MASK_ADDR), word_at(got, PORT_MASK_ADDR));
        std::copy_n(want.begin(), 0x400, got.begin());
        EXPECT_TRUE(same_image(want, got)) << saved.out;
    }
}

TEST(SaveApply, SavedFileListsValuesInMenuOrderEachWithItsEnable)
{
    fixture_t fx = make_fixture(I, {{OEM, 0x010255AA}, {LED, 0xAB1234}, {GPIO, 0x1F}, {ARP, 0xF},
                                    {WOL, 0xFFFF0001}, {LLDP, 5}, {PORT_MASK_ADDR, 3}});
    here_t r = run_here(fx.path, {"save", "@"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("# norvask_oem_tool 1.1.3: family 0 (Vantrel), PHY class I, 4 ports\n"
              "led=ab1234\nled-enable=yes\ngpio=1f\ngpio-enable=no\nsmbus-arp=on\n"
              "# wake-io: word 0xff018 holds 0xffff0001, which no value of the setting gives; left out\n"
              "lldp=5\nenabled-ports=2\nport-disable-enable=yes\n",
              r.out);
}

#define NO "norvask_oem_tool: "
#define NOT_HERE(name, fam, cls) NO name ": not available on family " fam ", PHY class " cls "\n"
#define SHORT "[Error] Image too short: 1000 bytes found, at least 1048544 (0xFFFE0) bytes needed!\n"

// Every bad setting gets one line naming it, valid ones beside it change nothing (status 2); an
// image that cannot be used is status 3.
TEST(Verbs, RefusalsSayWhyAndWriteNothing)
{
    image_plan_t five = board(0, 0x10, 5), none = board(0, 0x10, 0), short_image = I;
    short_image.size = 1000;
    const struct { image_plan_t plan; words_t pre; std::vector<std::string> args; std::string err, in = ""; int status = 2; }
        rows[] = {
        {I, {}, {"set", "@", "foo=1", "gpio=1f"}, NO "foo: unknown setting\n"},
        {I, {}, {"set", "@", "phy-mode=1", "yt-led0=1", "gpio=1"},
         NOT_HERE("phy-mode", "0 (Vantrel)", "I") NOT_HERE("yt-led0", "0 (Vantrel)", "I")},
        {MR_I, {}, {"set", "@", "gpio=1", "wake-io=5", "lldp=1"},
         NOT_HERE("gpio", "1 (Mirolane)", "I") NOT_HERE("wake-io", "1 (Mirolane)", "I")},
        {MR_E, {}, {"set", "@", "led=1"}, NOT_HERE("led", "1 (Mirolane)", "E")},
        {I, {}, {"set", "@", "gpio=80000000", "wake-io=0", "lldp=10", "led=-1", "enabled-ports=5", "smbus-arp=1"},
         NO "gpio: '80000000' is out of range, 0 to 7fffffff\n" NO "wake-io: '0' is out of range, 1 to 65535\n"
         NO "lldp: '10' is out of range, 0 to f\n" NO "led: '-1' is out of range, 0 to 7fffffff\n"
         NO "enabled-ports: '5' is out of range, 1 to 4\n"},
        {I, {}, {"set", "@", "gpio=1g", "wake-io=0x10", "smbus-arp=yes", "gpio-enable=on", "lldp="},
         NO "gpio: '1g' is not a hexadecimal number\n" NO "wake-io: '0x10' is not a decimal number\n"
         NO "smbus-arp: 'yes' is not on or off\n" NO "gpio-enable: 'on' is not yes or no\n"
         NO "lldp: '' is not a hexadecimal number\n"},
        {I, {}, {"set", "@", "gpio=1", "gpio=2", "lldp=1", "gpio", "=5"},
         NO "gpio: given twice\n" NO "'gpio' is not SETTING=VALUE\n" NO "'=5' is not SETTING=VALUE\n"},
        {I, {{GPIO, 5}}, {"set", "@", "led-enable=yes", "gpio-enable=yes", "wake-io-enable=no"},
         NO "led-enable: its value word is erased, there is nothing to enable\n"
         NO "wake-io-enable: its value word is erased, there is nothing to enable\n"},
        {Y, {}, {"set", "@", "yt-led0=ffff", "yt-led1=ffff", "led-enable=yes"},
         NO "led-enable: the value given leaves its word erased, there is nothing to enable\n"},
        {I, {}, {"set", "@", "port-disable-enable=yes", "gpio=1"}, NO "port-disable-enable: only with enabled-ports\n"},
        {none, {}, {"set", "@", "enabled-ports=1"}, NO "enabled-ports: not available on a board with 0 ports\n"},
        {five, {}, {"set", "@", "enabled-ports=1", "port-disable-enable=no", "gpio=1"},
         NO "enabled-ports: not available on a board with 5 ports\n"
         NO "port-disable-enable: not available on a board with 5 ports\n"},
        {I, {{0xFDC00, ERASED}}, {"set", "@", "enabled-ports=1", "gpio=1"},
         NO "enabled-ports: the port template at 0xfdc00 lacks the header magic, its first word is 0xffffffff\n"},
        // An apply file: each refusal with its line; comments, blank lines and CR LF are fine.
        {I, {}, {"apply", "@", "-"}, NO "line 4: 'bogus' is not SETTING=VALUE\n" NO "line 6: lldp: given twice\n",
         "# saved\n\ngpio=1f\r\nbogus\n  lldp=3  \nlldp=4\n"},
        // Bad usage.
        {I, {}, {"set"}, NO "usage: norvask_oem_tool set IMAGE SETTING=VALUE... [--dry-run]\n"},
        {I, {}, {"show", "@", "--dry-run"}, NO "usage: norvask_oem_tool show IMAGE [--json]\n"},
        {I, {}, {"apply", "@"}, NO "usage: norvask_oem_tool apply IMAGE FILE [--dry-run]\n"},
        // Images that cannot be used.
        {short_image, {}, {"show", "@"}, SHORT, "", 3},
        {short_image, {}, {"save", "@"}, SHORT, "", 3},
        {I, {}, {"show", "@.none"}, OPEN_FAIL, "", 3},
        {I, {}, {"save", "@.none"}, OPEN_FAIL, "", 3},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        fixture_t fx = make_fixture(row.plan, row.pre);
        here_t r = run_here(fx.path, row.args, row.in);
        EXPECT_EQ(row.status, r.status);
        EXPECT_EQ(row.err, r.err);
        EXPECT_EQ("", r.out);
        EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    }
}

// A strict JSON reader: every value of the document as path -> text ("settings.gpio" -> "1f",
// null as "null"); false on anything JSON does not allow, a duplicate key included.
struct json_t {
    const char *p;
    std::map<std::string, std::string> values;

    void ws() { p += strspn(p, " \t\r\n"); }
    bool string(std::string *s)
    {
        static const char esc[] = "\"\\/bfnrt", raw[] = "\"\\/\b\f\n\r\t";
        if (*p++ != '"')
            return false;
        for (; *p != '"'; p++) {
            if ((unsigned char)*p < 0x20)
                return false;
            if (*p != '\\') {
                *s += *p;
                continue;
            }
            const char *e = *++p ? strchr(esc, *p) : nullptr;
            if (e) {
                *s += raw[e - esc];
                continue;
            }
            if (*p != 'u' || !std::all_of(p + 1, p + 5, [](char c) { return isxdigit((unsigned char)c) != 0; }))
                return false;
            const unsigned long cp = std::stoul(std::string(p + 1, 4), nullptr, 16);
            p += 4;
            if (cp < 0x80)
                *s += (char)cp;
            else if (cp < 0x800)
                *s += {(char)(0xC0 | cp >> 6), (char)(0x80 | (cp & 0x3F))};
            else
                *s += {(char)(0xE0 | cp >> 12), (char)(0x80 | (cp >> 6 & 0x3F)), (char)(0x80 | (cp & 0x3F))};
        }
        p++;
        return true;
    }
    bool value(const std::string &path)
    {
        ws();
        if (*p == '{' || *p == '[') {
            const char close = *p++ == '{' ? '}' : ']';
            for (int i = 0; ws(), *p != close; i++) {
                std::string key = i == 0 || *p++ == ',' ? std::to_string(i) : "";
                ws();
                if (key.empty() || (close == '}' && (!(key = "", string(&key)) || (ws(), *p++ != ':'))))
                    return false;
                if (!value(path.empty() ? key : path + "." + key))
                    return false;
            }
            p++;
            return true;
        }
        const char *start = p;
        std::string s;
        if (*p == '"' && !string(&s))
            return false;
        for (const char *word : {"true", "false", "null"})
            if (p == start && strncmp(p, word, strlen(word)) == 0)
                p += strlen(word);
        if (p == start) {
            p += *p == '-';
            if (!isdigit((unsigned char)*p) || (*p == '0' && isdigit((unsigned char)p[1])))
                return false;
            p += strspn(p, "0123456789");
        }
        return values.emplace(path, *start == '"' ? s : std::string(start, p)).second;
    }
    static bool parse(const std::string &text, std::map<std::string, std::string> *out)
    {
        json_t j{text.c_str(), {}};
        bool ok = j.value("");
        j.ws();
        *out = j.values;
        return ok && *j.p == '\0';
    }
};

// Every class, from an image whose path holds a quote, a newline, a tab and a control character.
TEST(Show, JsonIsStrictForEveryPhyClassAndAnyPath)
{
    char dir[] = "/tmp/norvask-json-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string path = std::string(dir) + "/a \"q\"\n\tb\x01\\.img",
                      tail = " smbus-arp wake-io wake-io-enable lldp enabled-ports port-disable-enable";
    const struct { image_plan_t plan; std::string keys; } rows[] = {
        {I, "led led-enable gpio gpio-enable phy-mode-enable" + tail},
        {Y, "yt-led0 yt-led1 yt-led2 yt-blink led-enable gpio gpio-enable phy-mode-enable" + tail},
        {F, "led led-enable gpio gpio-enable phy-mode-enable" + tail},
        {C, "led led-enable gpio gpio-enable phy-mode-enable" + tail},
        {M, "led led-enable gpio gpio-enable phy-mode phy-mode-enable" + tail},
        {O, "led-enable gpio gpio-enable phy-mode-enable" + tail},
        {MR_I, "led led-enable smbus-arp lldp"},
        {MR_E, "led-enable smbus-arp lldp"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.keys);
        fixture_t fx = make_fixture(row.plan, {{OEM, 0x000355AA}, {GPIO, 0x1F}, {LLDP, 2}});
        ASSERT_EQ(0, rename(fx.path.c_str(), path.c_str()));
        here_t r = run_here(path, {"show", "@", "--json"});
        EXPECT_EQ(0, r.status);
        std::map<std::string, std::string> v;
        ASSERT_TRUE(json_t::parse(r.out, &v)) << r.out;
        EXPECT_EQ(path, v["image"]);
        EXPECT_EQ(row.plan.device_id == image_device_id(1) ? "1" : "0", v["family"]);
        std::set<std::string> want, got;
        std::istringstream keys(row.keys);
        for (std::string k; keys >> k;)
            want.insert(k);
        for (const auto &[k, text] : v)
            if (k.starts_with("settings."))
                got.insert(k.substr(9));
        EXPECT_EQ(want, got);
        EXPECT_EQ("2", v["settings.lldp"]);
        EXPECT_EQ("0x355aa", v["words.0xff000"]);
        EXPECT_EQ(want.contains("gpio") ? "1f" : "", want.contains("gpio") ? v["settings.gpio"] : "");
        unlink(path.c_str());
    }
    rmdir(dir);
}

TEST(Show, TextNamesBoardSettingsWarningsAndWords)
{
    fixture_t fx = make_fixture(MR_I, {{OEM, 0x000255AA}, {MODE, 0x1}, {LLDP, 5}});
    here_t r = run_here(fx.path, {"show", "@"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("image                " + fx.path + "\n"
              "family               1 (Mirolane)\nphy-class            I\nports                4\n"
              "enabled              4\nwol                  no\nncsi                 no\n"
              "led                  (erased)\nled-enable           yes\nsmbus-arp            (0x1)\n"
              "lldp                 5\nwarning              PHY is not set\n"
              "warning              smbus-arp: word 0xff010 holds 0x1, which no value of the setting gives\n"
              "0xff000 : 0x255aa\n0xff004 : 0xffffffff\n0xff008 : 0xffffffff\n0xff00c : 0xffffffff\n"
              "0xff010 : 0x1\n0xff014 : 0xffffffff\n0xff018 : 0xffffffff\n0xff01c : 0xffffffff\n"
              "0xff020 : 0xffffffff\n0xff024 : 0xffffffff\n0xf1000 : 0x5\n",
              r.out);
}

// Each image call of an apply fails in turn: the image is complete with status 0 only when the
// failed call is the close after the sync; otherwise it is untouched, with status 1 once the
// writes have begun (the undo reported) or 3 before.
TEST(ApplyVerb, FailedImageCallLeavesTheImageUntouched)
{
    fixture_t fx = make_fixture(I, {{OEM, 0x000155AA}, {GPIO, 2}});
    const std::string cfg = "led=1\nled-enable=yes\ngpio=3\nsmbus-arp=on\nlldp=4\nenabled-ports=2\n";
    here_t ok = run_here(fx.path, {"apply", "@", "-"}, cfg);
    ASSERT_EQ(0, ok.status) << ok.err;
    const bytes_t done = read_file(fx.path);
    int undone = 0;
    each_fault(ok.calls, [&](unsigned long n, img_fault_mode_t mode) {
        put_back(fx);
        here_t r = run_here(fx.path, {"apply", "@", "-"}, cfg, n, mode);
        if (r.status == 0)
            EXPECT_EQ("norvask_oem_tool: closing the image failed after its changes were synced\n", r.err);
        else
            EXPECT_TRUE(r.status == 3 || (r.status == 1 && r.err.ends_with(UNDONE))) << r.status << r.err;
        EXPECT_TRUE(same_image(r.status == 0 ? done : fx.bytes, read_file(fx.path)));
        undone += r.status == 1;
    });
    EXPECT_GE(undone, 8);
}
