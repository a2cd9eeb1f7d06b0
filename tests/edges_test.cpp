// The verbs of the built tool through the shell.
#include "harness.h"

#define NOT_IMAGE "word 0 is 0x0, not the image magic 0x5aa51000: is this a flash image?"

// `cmd` in `dir`, with $T the tool and $M the image maker.
static here_t sh(const std::string &dir, const std::string &cmd)
{
    run_t r = finish_tool(
        start_tool({"-c", "cd '" + dir + "' && T=" TOOL_PATH " M=" MKIMAGE_PATH " && { " + cmd +
                              "; } 2>err.txt"},
                   nullptr, "/bin/sh"),
        "");
    return {r.out, file_text(dir + "/err.txt"), r.status, 0};
}

struct case_t {
    std::string cmd, out = "", err = "";
    int status = 0;
    bool same = true;                // a.img is left as it was
    std::string mk = "--phy inner";  // the image maker's options for a.img
};

static void run_cases(const std::vector<case_t> &cases)
{
    char dir[] = "/tmp/norvask-edges-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.cmd);
        ASSERT_EQ(0, sh(dir, "$M " + c.mk + " a.img").status);
        const bytes_t before = read_file(std::string(dir) + "/a.img");
        here_t r = sh(dir, c.cmd);
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(c.status, r.status);
        const auto same = same_image(before, read_file(std::string(dir) + "/a.img"));
        EXPECT_EQ(c.same, (bool)same) << same.message();
    }
    sh(dir, "cd / && rm -rf " + std::string(dir));
}

// Each problem one line on standard error naming its file (FILE:LINE).
TEST(Edges, VerbErrors)
{
    run_cases({
        {.cmd = "head -c 100 a.img >s.img; $T save s.img",
         .err = NO "s.img: too short: 100 bytes, at least 1048544 needed\n",
         .status = 3},
        {.cmd = "$T apply a.img nope.cfg",
         .err = NO "nope.cfg: No such file or directory\n",
         .status = 2},
        {.cmd = "printf '# "
                "saved\\n\\ngpio=1f\\r\\nbogus\\nlldp=3\\nlldp=4\\nfoo=2\\nled-enable=yes\\n' "
                "| $T "
                "apply a.img -",
         .err = NO "<stdin>:4: 'bogus' is not SETTING=VALUE\n" NO
                   "<stdin>:6: lldp: given twice\n" NO "<stdin>:7: foo: unknown setting\n" NO
                   "<stdin>:8: led-enable: its value word is erased, there is nothing to enable\n",
         .status = 2},
        {.cmd = "printf 'lldp=2\\n\\0x=1\\n' >f; $T apply a.img f",
         .err = NO "f:2: a NUL byte in the line\n",
         .status = 2},
        {.cmd = "seq -f '#%g' 300 >f; seq -f lldp=%g 257 >>f; $T apply a.img f",
         .err = NO "f:557: more than 256 settings given at once\n",
         .status = 2},
        {.cmd = "head -c 65537 /dev/zero | tr '\\0' '#' >f; $T apply a.img f",
         .err = NO "f: longer than 65536 bytes\n",
         .status = 2},
        // Arguments: each bad one named, what the user typed escaped.
        {.cmd = "$T set a.img phy-mode=1 wake-io=0 gpio=1g smbus-arp=maybe gpio-enable=on2 "
                "\"$(printf '\\rx=1')\" 'lldp= 1' port-disable-enable=yes",
         .err = NO "phy-mode: not available on family 0 (Vantrel), PHY class I\n" NO
                   "wake-io: '0' is out of range, 1 to 65535\n" NO
                   "gpio: '1g' is not a hexadecimal number\n" NO
                   "smbus-arp: 'maybe' is not on or off\n" NO
                   "gpio-enable: 'on2' is not yes or no\n" NO "\\x0dx: unknown setting\n" NO
                   "lldp: ' 1' is not a hexadecimal number\n" NO
                   "port-disable-enable: only with enabled-ports\n",
         .status = 2},
        {.cmd = "$T set a.img enabled-ports=1",
         .err = NO "enabled-ports: the port template at 0xfdc00 lacks the header magic, its first "
                   "word is 0xffffffff\n",
         .status = 2,
         .mk = "--phy inner --word 0xfdc00=0xffffffff"},
        // Usage: each error names the word and the rule.
        {.cmd = "$T show a.img --jsno", .err = NO "show: unknown option '--jsno'\n", .status = 2},
        {.cmd = "$T set a.img gpio=1 --wait 1.5",
         .err = NO "set: --wait: '1.5' is not whole seconds, 0 to 86400\n",
         .status = 2},
        {.cmd = "$T set a.img gpio=1 --dry-run --dry-run",
         .err = NO "set: --dry-run given twice\n",
         .status = 2},
        {.cmd = "$T save a.img b.img",
         .err = NO "save: unexpected argument 'b.img' (save writes to standard output)\n",
         .status = 2},
        {.cmd = "$T set a.img",
         .err = NO "set: SETTING=VALUE... missing (see 'norvask_oem_tool set --help')\n",
         .status = 2},
        {.cmd = ": | $T apply a.img -; echo '#' >f; $T verify a.img f",
         .err = NO "<stdin>: no settings\n" NO "f: no settings\n",
         .status = 2},
        {.cmd = "$T get a.img gpio gpoi",
         .err = NO "gpoi: unknown setting; did you mean 'gpio'?\n",
         .status = 2},
        {.cmd = "$T shwo a.img >/dev/null",
         .err = NO "unknown command 'shwo'; did you mean 'show'? (see 'norvask_oem_tool --help')\n",
         .status = 255},
        // --help's examples run as they are.
        {.cmd = "mkdir line && $T set a.img lldp=3 && for f in board golden line/1; do cp a.img "
                "$f.img; done && $T --help | sed '1,/^Examples:/d' | PATH=${T%/*}:$PATH bash -e "
                "2>&1 | head -n3",
         .out = "1a2b\nyes\ntrue\n",
         .same = false},
        {.cmd = "$T set a.img lldp=3 -h >o; s=$?; head -n1 o; exit $s",
         .out =
             "usage: norvask_oem_tool set IMAGE SETTING=VALUE... [--dry-run] [--force] [--wait SECONDS]\n"},
        {.cmd =
             "cp a.img ./-a.img && printf '\357\273\277lldp=3\n' | $T apply --wait=0 -- -a.img - && $T get -- -a.img lldp",
         .out = "3\n"},
        // Lost output: status 1, with the reason; a reader gone: SIGPIPE, no message.
        {.cmd = "{ sleep 0.2; $T --help; echo $? >&2; $T show a.img; echo $? >&2; } | true",
         .err = "141\n141\n"},
        {.cmd = "$T show a.img >/dev/full; echo $? >&2; $T set a.img lldp=3 --dry-run >&-",
         .err = NO "standard output cannot be written (No space left on device)\n1\n" NO
                   "standard output is closed\n",
         .status = 1},
        // The image maker writes only a regular file, never through a link; refuses an empty value.
        {.cmd = "ln -s /dev/full full.img; $M full.img; ls full.img; $M --word 0xff000= b.img",
         .out = "full.img\n",
         .err = "norvask_mkimage: cannot write full.img: not a regular file\n"
                "norvask_mkimage: bad value for --word: 0xff000=\nTry 'norvask_mkimage --help'.\n",
         .status = 2},
        // A file that is not an image: show warns, set and apply refuse, --force writes.
        {.cmd = "head -c 1M /dev/zero >z; $T show z --json | jq -r '.warnings | length, .[0]'; "
                "$T set z lldp=3 --dry-run; echo lldp=3 | $T apply z -; $T set z lldp=3 --force; "
                "$T show z | grep lldp",
         .out = "5\n" NOT_IMAGE "\nlldp                 3\n",
         .err = NO "z: " NOT_IMAGE " nothing written (--force writes it)\n" NO "z: " NOT_IMAGE
                   " nothing written (--force writes it)\n"},
        // Readers need only read permission and share the lock.
        {.cmd =
             "chmod 444 a.img && cp $T . && chown -R nobody . && flock -s a.img setpriv "
             "--reuid=nobody --regid=nogroup --clear-groups sh -c './norvask_oem_tool save a.img "
             "| wc -l; ./norvask_oem_tool set a.img gpio=1'",
         .out = "2\n",
         .err = NO "a.img: Permission denied\n",
         .status = 3},
        // --wait: a lock released in time is had.
        {.cmd = "flock a.img sleep 0.5 & sleep 0.1; $T set a.img lldp=3 --wait 5", .same = false},
        // The dialogue is refused at once.
        {.cmd =
             "flock a.img sleep 2.5 & sleep 0.1; $T -f a.img; $T save a.img --wait 1; s=$?; wait; "
             "exit $s",
         .out = "[Error] Fail to open file!\n[Error] The image is in use by another process.\n",
         .err = NO "a.img: locked by another process\n" NO
                   "a.img: locked by another process (--wait SECONDS waits for it)\n",
         .status = 3},
    });
}

// Settings files as people write them; one past what a word keeps refused; a saved file reapplied.
TEST(Edges, SettingsSyntaxAndValues)
{
    run_cases({
        {.cmd = "printf ' lldp = 3 # default\\n\\tgpio=1f\\t\\r\\n#x\\nwake-io =9#\\n' | $T apply "
                "a.img - && $T save a.img | grep -e o= -e p=",
         .out = "gpio=1f\nwake-io=9\nlldp=3\n",
         .same = false},
        {.cmd =
             "for v in y YES On tRUE 1 n No OFF false 0; do $T set a.img gpio=1 gpio-enable=$v "
             "smbus-arp=$v && $T save a.img | grep -e gpio-enable= -e arp= | cut -d= -f2 | tr -d "
             "'\\n'; done",
         .out = "yesonyesonyesonyesonyesonnooffnooffnooffnooffnooff",
         .same = false},
        {.cmd = "$T set a.img gpio=10000 led=1000000 wake-io=65536 lldp=10 enabled-ports=4",
         .err = NO "gpio: '10000' is out of range, 0 to ffff\n" NO
                   "led: '1000000' is out of range, 0 to ffffff\n" NO
                   "wake-io: '65536' is out of range, 1 to 65535\n" NO
                   "lldp: '10' is out of range, 0 to f\n" NO
                   "enabled-ports: '4' is out of range, 1 to 3\n",
         .status = 2,
         .mk = "--phy inner --ports 3"},
        {.cmd = "$T set a.img led=1ff phy-mode=80000000 led=-1",
         .err = NO "led: '1ff' has bits outside 0x1cf00ff\n" NO
                   "phy-mode: '80000000' is out of range, 0 to 7fffffff\n" NO "led: given twice\n",
         .status = 2,
         .mk = "--phy mv"},
        {.cmd = "$T set a.img yt-led1=10000 yt-led2=-1",
         .err = NO "yt-led1: '10000' is out of range, 0 to ffff\n" NO
                   "yt-led2: '-1' is out of range, 0 to ffff\n",
         .status = 2,
         .mk = "--phy yt"},
        {.cmd = "$T save a.img >s.cfg && $T apply a.img s.cfg --dry-run && grep -c = s.cfg",
         .out = "nothing to write\n12\n",
         .mk = "--phy mv --word 0xff000=0x017755aa --word 0xff004=0xab --word 0xff008=0x1c000ff "
               "--word 0xff010=0x7fffffff --word 0xff014=0xe --word 0xff018=0x10 --word 0xf1000=2"},
    });
}

// What show prints, JSON for any path, what save cannot carry.
TEST(Edges, ShowAndSaveTexts)
{
    run_cases({
        {.cmd = "$M --family 1 --phy fiber --word 0xff000=0x255aa --word 0xff010=1 --word "
                "0xf1000=5 c.img && $T show c.img | head -n 14",
         .out =
             "image                c.img\nfamily               1 (Mirolane)\nphy-class            "
             "I\nports                4\nenabled              4\nwol                  no\nncsi    "
             "             no\nled                  (erased)\nled-enable           yes\nsmbus-arp "
             "           (0x1)\nlldp                 5\nwarning              PHY is not "
             "set\nwarning "
             "             smbus-arp: word 0xff010 holds 0x1, which no value of the setting "
             "gives\n0xff000 : 0x255aa\n"},
        // Escapes; each ill-formed part of the UTF-8 one replacement, U+D7FF kept.
        {.cmd =
             "p=$(printf 'x \"q\"\\n\\tb\\303\\251\\\\\\355\\240\\200\\360\\237\\230"
             "\\342\\202\\254\\300\\257\\177\\340\\200\\257\\357\\274\\241\\355\\237\\277.img') && cp a.img \"$p\" && "
             "$T show \"$p\" --json | head -n3",
         .out =
             "{\"image\": \"x \\\"q\\\"\\u000a\\u0009b\xc3\xa9\\\\\\ufffd\\ufffd\\ufffd"
             "\\ufffd\xe2\x82\xac\\ufffd\\ufffd\\u007f\\ufffd\\ufffd\\ufffd\xef\xbc\xa1\xed\x9f\xbf.img\", \"family\": 0, "
             "\"family_name\": \"Vantrel\", "
             "\"phy_class\": \"I\", \"ports\": 4, \"enabled_ports\": 4, \"wol\": false, \"ncsi\": "
             "true,\n \"settings\": {\n  \"led\": null,\n",
         .mk = "--phy inner --ncsi 1"},
        {.cmd = "$M --pattern --phy inner --port-mask 3 --word 0xff000=0x010255aa --word "
                "0xff008=0xab1234 --word 0xff004=0x1f --word 0xff014=0xf --word 0xff018=0 "
                "--word 0xff01c=3 c.img && $T save c.img",
         .out = "# norvask_oem_tool 1.1.3: family 0 (Vantrel), PHY class I, 4 ports\nled=ab1234\n"
                "led-enable=yes\ngpio=1f\ngpio-enable=no\nsmbus-arp=on\n# wake-io: word 0xff018 "
                "holds 0x0, which no value of the setting gives; left out\nenabled-ports=2\n"
                "port-disable-enable=yes\n# 0xff000 bit 21 is clear, which the settings above set\n"
                "# 0xff01c holds 0x3, a word no setting of this board writes; left out\n"},
    });
}

// A golden setting saved, applied to line images of the same and another port count, verified.
TEST(Edges, GoldenLoop)
{
    run_cases({
        {.cmd = "$T set a.img gpio=1a2b && $T save a.img >g.cfg && $M --phy inner --word "
                "0x200=0x12345678 l.img && $M --phy inner --port-mask 3 m.img && for f in l m; do "
                "$T verify $f.img g.cfg; echo $?; $T apply $f.img g.cfg; $T verify $f.img g.cfg; "
                "echo $?; done; od -An -tx4 -j512 -N4 l.img; $T get l.img gpio",
         .out = "gpio: image (erased), file 1a2b\n1\n0\ngpio: image (erased), file 1a2b\n"
                "enabled-ports: image 2, file 4\n1\n0\n 12345678\n1a2b\n",
         .same = false},
    });
}
