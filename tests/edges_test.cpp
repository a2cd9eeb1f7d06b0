// The verbs of the built tool through the shell: refusals, hostile input, limits, show, what save
// cannot carry, lost output; readers of a read-only image; an undo that cannot finish.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "harness.h"

struct shell_t { std::string out, err; int status; };

// `cmd` in `dir`, with $T the tool and $M the image maker.
static shell_t sh(const std::string &dir, const std::string &cmd) {
    int w = system(("cd '" + dir + "' && T=" TOOL_PATH " M=" MKIMAGE_PATH " && { " + cmd + "; } >out.txt 2>err.txt").c_str());
    return {file_text(dir + "/out.txt"), file_text(dir + "/err.txt"), WIFEXITED(w) ? WEXITSTATUS(w) : -1};
}

#define NO "norvask_oem_tool: "
#define NOT_HERE(name, fam, cls) NO name ": not available on family " fam ", PHY class " cls "\n"
#define HEAD0 "# norvask_oem_tool 1.1.3: family 0 (Vantrel), PHY class I, 4 ports\n"
#define HEAD_M "# norvask_oem_tool 1.1.3: family 0 (Vantrel), PHY class M, 4 ports\n"
#define ENABLES "phy-mode-enable smbus-arp wake-io wake-io-enable lldp enabled-ports port-disable-enable"
#define SIGNED(what) "# 0xff000 holds " what ", without the signature, which the settings above stamp into it\n"

TEST(Edges, VerbsAtTheirEdges) {
    char dir[] = "/tmp/norvask-edges-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    // `mk`: the image maker's options for a.img, which is left as it was unless `same` is false.
    const struct { std::string cmd, out, err; int status; bool same = true; const char *mk = "--phy inner"; } rows[] = {
        // Every bad setting gets one line naming it, valid ones beside it change nothing (status 2).
        {"$T set a.img phy-mode=1 yt-led0=1 gpio=1 wake-io=0", "", NOT_HERE("phy-mode", "0 (Vantrel)", "I")
         NOT_HERE("yt-led0", "0 (Vantrel)", "I") NO "wake-io: '0' is out of range, 1 to 65535\n", 2},
        {"$T set a.img led=1 lldp=1", "", NOT_HERE("led", "1 (Mirolane)", "E"), 2, true, "--family 1 --phy copper"},
        {"$T set a.img gpio=80000000 wake-io=65536 lldp=10 led=-1 enabled-ports=5 smbus-arp=1", "",
         NO "gpio: '80000000' is out of range, 0 to 7fffffff\n" NO "wake-io: '65536' is out of range, 1 to 65535\n"
         NO "lldp: '10' is out of range, 0 to f\n" NO "led: '-1' is out of range, 0 to 7fffffff\n"
         NO "enabled-ports: '5' is out of range, 1 to 4\n", 2},
        {"$T set a.img gpio=1g wake-io=0x10 smbus-arp=yes gpio-enable=on lldp= enabled-ports=0", "",
         NO "gpio: '1g' is not a hexadecimal number\n" NO "wake-io: '0x10' is not a decimal number\n"
         NO "smbus-arp: 'yes' is not on or off\n" NO "gpio-enable: 'on' is not yes or no\n"
         NO "lldp: '' is not a hexadecimal number\n" NO "enabled-ports: '0' is out of range, 1 to 4\n", 2},
        {"$T set a.img gpio=1 gpio=2 lldp=1 gpio =5", "",
         NO "gpio: given twice\n" NO "'gpio' is not SETTING=VALUE\n" NO "'=5' is not SETTING=VALUE\n", 2},
        {"$T set a.img led-enable=yes gpio-enable=yes wake-io-enable=no", "", NO "led-enable: its value word is erased, there "
         "is nothing to enable\n" NO "wake-io-enable: its value word is erased, there is nothing to enable\n", 2, true,
         "--phy inner --word 0xff004=5"},
        {"$T set a.img yt-led0=ffff yt-led1=ffff led-enable=yes", "",
         NO "led-enable: the value given leaves its word erased, there is nothing to enable\n", 2, true, "--phy yt"},
        {"$T set a.img port-disable-enable=yes gpio=1", "", NO "port-disable-enable: only with enabled-ports\n", 2},
        {"$T set a.img enabled-ports=1 port-disable-enable=no gpio=1", "", NO "enabled-ports: not available on a board "
         "with 5 ports\n" NO "port-disable-enable: not available on a board with 5 ports\n", 2, true, "--phy inner --ports 5"},
        {"$T set a.img enabled-ports=1 gpio=1", "", NO "enabled-ports: the port template at 0xfdc00 lacks the header magic, "
         "its first word is 0xffffffff\n", 2, true, "--phy inner --word 0xfdc00=0xffffffff"},
        // An apply file: each refusal with its line; comments, blank lines and CR LF are fine.
        {"printf '# saved\\n\\ngpio=1f\\r\\nbogus\\n  lldp=3  \\nlldp=4\\n' | $T apply a.img -", "",
         NO "line 4: 'bogus' is not SETTING=VALUE\n" NO "line 6: lldp: given twice\n", 2},
        {"$T set", "", NO "usage: norvask_oem_tool set IMAGE SETTING=VALUE... [--dry-run]\n", 2},
        {"$T show a.img --dry-run", "", NO "usage: norvask_oem_tool show IMAGE [--json]\n", 2},
        {"$T apply a.img", "", NO "usage: norvask_oem_tool apply IMAGE FILE [--dry-run]\n", 2},
        // A NUL byte would hide the rest of its line; a file of 64 KiB is read, a longer one refused.
        {"printf 'lldp=2\\n\\0wake-io=999999\\n' >f; $T apply a.img f", "", NO "line 2: a NUL byte in the line\n", 2},
        {"printf 'gpio=1\\0junk\\n' >f; $T apply a.img f", "", NO "line 1: a NUL byte in the line\n", 2},
        {"head -c 65535 /dev/zero | tr '\\0' '#' >f; echo >>f; $T apply a.img f", "", "", 0},
        {"head -c 65537 /dev/zero | tr '\\0' '#' >f; $T apply a.img f", "",
         NO "the settings file is longer than 65536 bytes\n", 2},
        {"$T set a.img $(seq -f lldp=%g 257)", "", NO "more than 256 settings given at once\n", 2},
        {"$T set a.img $(seq -f lldp=%g 256) 2>&1 | uniq -c", "    255 " NO "lldp: given twice\n", "", 0},
        {"seq -f '#%g' 300 >f; seq -f lldp=%g 257 >>f; $T apply a.img f", "",
         NO "line 557: more than 256 settings given at once\n", 2},
        // What the user typed comes back with its control characters escaped.
        {"$T set a.img \"$(printf 'gpio=\\033[2J')\" \"$(printf '\\rx=1')\" \"$(printf 'a\\nb')\"", "",
         NO "gpio: '\\x1b[2J' is not a hexadecimal number\n" NO "\\x0dx: unknown setting\n"
         NO "'a\\nb' is not SETTING=VALUE\n", 2},
        // Any path gives valid UTF-8: one U+FFFD per ill-formed subpart.
        {"for b in '\\355\\240\\200' '\\364\\220\\200\\200' '\\340\\200\\257' '\\360\\237\\230' '\\342\\202\\254' "
         "'\\360\\200\\200\\257' '\\357\\277\\277'; do "
         "p=$(printf \"x${b}y\"); cp a.img \"$p\"; $T show \"$p\" --json | head -n 1 | cut -d, -f1; rm \"$p\"; done",
         "{\"image\": \"x\\ufffd\\ufffd\\ufffdy\"\n{\"image\": \"x\\ufffd\\ufffd\\ufffd\\ufffdy\"\n"
         "{\"image\": \"x\\ufffd\\ufffd\\ufffdy\"\n{\"image\": \"x\\ufffdy\"\n{\"image\": \"x\xe2\x82\xacy\"\n"
         "{\"image\": \"x\\ufffd\\ufffd\\ufffd\\ufffdy\"\n{\"image\": \"x\xef\xbf\xbfy\"\n", "", 0},
        // show: the text, and JSON that jq reads for any path and lists the settings offered on every class.
        {"$M --family 1 --phy fiber --word 0xff000=0x255aa --word 0xff010=1 --word 0xf1000=5 c.img && $T show c.img",
         "image                c.img\nfamily               1 (Mirolane)\nphy-class            I\nports                4\n"
         "enabled              4\nwol                  no\nncsi                 no\nled                  (erased)\n"
         "led-enable           yes\nsmbus-arp            (0x1)\nlldp                 5\nwarning              PHY is not set\n"
         "warning              smbus-arp: word 0xff010 holds 0x1, which no value of the setting gives\n0xff000 : 0x255aa\n"
         "0xff004 : 0xffffffff\n0xff008 : 0xffffffff\n0xff00c : 0xffffffff\n0xff010 : 0x1\n0xff014 : 0xffffffff\n"
         "0xff018 : 0xffffffff\n0xff01c : 0xffffffff\n0xff020 : 0xffffffff\n0xff024 : 0xffffffff\n0xf1000 : 0x5\n", "", 0},
        {"$M --word 0xff000=0x355aa --word 0xff004=0x1f --word 0xf1000=2 c.img && p=$(printf 'x \"q\"\\n\\tb\\001\\\\.img') && "
         "mv c.img \"$p\" && $T show \"$p\" --json | jq -r '.image, .family, .settings.gpio, .settings.led, .wol, .words.\"0xff000\"'",
         "x \"q\"\n\tb\x01\\.img\n0\n1f\nnull\nfalse\n0x355aa\n", "", 0},
        {"for a in '0 inner' '0 yt' '0 mv' '0 mv-copper' '0 other' '1 copper' '1 fiber'; do set -- $a; $M --family $1 --phy $2 c.img; "
         "$T show c.img --json | jq -r '.settings | keys_unsorted | join(\" \")'; done",
         "led led-enable gpio gpio-enable " ENABLES "\nyt-led0 yt-led1 yt-led2 yt-blink led-enable gpio gpio-enable " ENABLES
         "\nled led-enable gpio gpio-enable phy-mode " ENABLES "\nled led-enable gpio gpio-enable " ENABLES
         "\nled-enable gpio gpio-enable " ENABLES "\nled-enable smbus-arp lldp\nled led-enable smbus-arp lldp\n", "", 0},
        // The board's own warnings, as the dialogue gives them.
        {"$M --ports 5 --phy inner c.img && $T show c.img | grep warning",
         "warning              sid port num 5 unsupport\nwarning              The Image has not been modified!\n", "", 0},
        {"$M c.img && $T show c.img --json | grep warnings",
         " \"warnings\": [\"sub sys id unsupport !\", \"The Image has not been modified!\"],\n", "", 0},
        // What save cannot carry, one # line per word.
        {"$M --pattern --phy inner --port-mask 3 --word 0xff000=0x010255aa --word 0xff008=0xab1234 --word 0xff004=0x1f "
         "--word 0xff014=0xf --word 0xff018=0xffff0001 --word 0xf1000=5 c.img && $T save c.img",
         HEAD0 "led=ab1234\nled-enable=yes\ngpio=1f\ngpio-enable=no\nsmbus-arp=on\n"
         "# wake-io: word 0xff018 holds 0xffff0001, which no value of the setting gives; left out\n"
         "lldp=5\nenabled-ports=2\nport-disable-enable=yes\n# 0xff000 bit 21 is clear, which the settings above set\n"
         "# 0x0-0x3ff: the header block is not the template for 2 enabled ports, which enabled-ports copies over it\n", "", 0},
        {"printf -- '-2\\n0\\n' | $T -f a.img >/dev/null; $T save a.img", HEAD0 "lldp=f\n" SIGNED("0xffffffff"), "", 0,
         false},
        {"$M --phy mv --word 0xff000=0x1 --word 0xff004=5 --word 0xff01c=3 c.img && $T save c.img",
         HEAD_M "gpio=5\ngpio-enable=no\n" SIGNED("0x1") "# 0xff01c holds 0x3, a word no setting of this board writes; "
                                                         "left out\n", "", 0},
        {"$M --phy inner --word 0xff000=0x004e55aa --word 0xff010=7 --word 0xff014=0xf c.img && $T save c.img",
         HEAD0 "smbus-arp=on\nenabled-ports=4\nport-disable-enable=no\n"
         "# 0xff000 bit 17 is set, which no setting saved here sets; left out\n"
         "# 0xff000 bit 18 is set, which no setting saved here sets; left out\n"
         "# 0xff000 bit 19 is set, which no setting saved here sets; left out\n"
         "# 0xff000 bit 21 is clear, which the settings above set\n"
         "# 0xff000 bit 22 is set, which no setting saved here sets; left out\n"
         "# 0xff010 holds 0x7, a word no setting of this board writes; left out\n", "", 0},
        // Output that cannot be written is status 1 for every verb, never 3; -v keeps 255.
        {"$T show a.img >/dev/full", "", NO "standard output cannot be written\n", 1},
        {"$T --help >/dev/full", "", NO "standard output cannot be written\n", 1},
        {"$T -v >/dev/full", "", NO "standard output cannot be written\n", 255},
        {"$T set a.img gpio=1 --dry-run >&-", "", NO "standard output is closed\n", 1},
        {"$T set a.img lldp=3 >/dev/full && $T show a.img | grep lldp", "lldp                 3\n", "", 0, false},
        // Every refusal to open says why.
        {"$T show none.img", "", OPEN_FAIL NO "none.img: No such file or directory\n", 3},
        {"$T set . gpio=1", "", OPEN_FAIL NO ".: Is a directory\n", 3},
        {"$T save .", "", OPEN_FAIL NO ".: not a regular file or block device\n", 3},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.cmd);
        ASSERT_EQ(0, sh(dir, "$M " + std::string(row.mk) + " a.img").status);
        const bytes_t before = read_file(std::string(dir) + "/a.img");
        shell_t r = sh(dir, row.cmd);
        EXPECT_EQ(row.out, r.out);
        EXPECT_EQ(row.err, r.err);
        EXPECT_EQ(row.status, r.status);
        EXPECT_EQ(row.same, (bool)same_image(before, read_file(std::string(dir) + "/a.img")));
    }
    sh(dir, "cd / && rm -rf " + std::string(dir));
}

// show and save need only read permission, and run beside each other, and beside a writer that the
// shared lock keeps out. As an unprivileged user (CI runs as root), in a directory of its own.
TEST(Edges, ReadersOnAnImageTheyMayOnlyRead) {
    ASSERT_EQ(0u, geteuid()) << "run as root, to drop to an unprivileged user";
    char dir[] = "/tmp/norvask-ro-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    shell_t r = sh(dir, "chmod 755 . && cp $T $M . && ./norvask_mkimage --phy inner --word 0xff004=0x1f --word 0xff000=0x155aa a.img && "
                        "chmod 444 a.img && chown -R nobody . && setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c '"
                        "for i in $(seq 40); do ./norvask_oem_tool show a.img --json >/dev/null & p=\"$p $!\"; done; "
                        "./norvask_oem_tool save a.img; s=$?; for i in $p; do wait $i || s=9; done; "
                        "./norvask_oem_tool set a.img gpio=1; echo $s $?'");
    EXPECT_EQ(HEAD0 "gpio=1f\ngpio-enable=yes\nenabled-ports=4\nport-disable-enable=no\n0 3\n", r.out);
    EXPECT_EQ(OPEN_FAIL NO "a.img: Permission denied\n", r.err);
    // Readers beside a writer that holds the image: each is refused, never shown a half-written image.
    ASSERT_EQ(0, sh(dir, "chmod 644 a.img").status);
    child_t writer = start_tool({"-f", std::string(dir) + "/a.img"});
    read_output(writer, vn_menu(std::string(dir) + "/a.img").size() + strlen(P));
    r = sh(dir, "./norvask_oem_tool show a.img; echo $?");
    EXPECT_EQ("3\n", r.out);
    EXPECT_EQ(OPEN_FAIL "[Error] The image is in use by another process.\n" NO "a.img: locked by another process\n",
              r.err);
    EXPECT_EQ(0, finish_tool(writer, "0\n").status);
    sh(dir, "cd / && rm -rf " + std::string(dir));
}

// An undo that cannot put the bytes back: status 4 for the verbs, and for the dialogue at option 0. A
// header copy that reads back other than written (the magic word one greater): its sums, then the undo.
TEST(Edges, UndoThatFailsIsStatusFourAndAChecksumMismatchIsUndone) {
    fixture_t fx = make_fixture(board(0, 0x10));
    // The torn write is the first to reach the image, after those of the journal.
    auto torn = [&](const std::vector<std::string> &args, const std::string &in) {
        for (unsigned long n = 1; n < 64; n++) {
            put_back(fx);
            unlink((fx.path + ".norvask-journal").c_str());
            if (here_t r = run_here(fx.path, args, in, n, IMG_FAULT_TORN); r.status == 4)
                return r;
        }
        return here_t{};
    };
    here_t set = torn({"set", "@", "gpio=1"}, "");
    EXPECT_EQ(WRITE_FAIL "[Warn]The image could not be restored!\n", set.err);
    here_t d = torn({"-f", "@"}, "5\n1\n-1\n0\n");
    EXPECT_NE(std::string::npos, d.out.find(G WRITE_FAIL "[Warn]The image could not be restored!\n\n" P)) << d.out;
    // The journal left behind puts the image back at the next start.
    here_t next = run_here(fx.path, {"show", "@"});
    EXPECT_TRUE(next.err.ends_with(": an interrupted command is shown undone; the next writing run undoes it\n"));
    here_t undo = run_here(fx.path, {"-f", "@"}, "0\n");
    EXPECT_TRUE(undo.out.starts_with("[Warn]" + fx.path + ".norvask-journal: an interrupted command was undone from "
                                     "this journal\n")) << undo.out;
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    uint32_t sum = 0;
    for (uint32_t i = 0; i < IMG_HEADER_WORDS; i++)
        sum += word_at(fx.bytes, ENABLE_TWO_PORTS + IMG_WORD_SIZE * i);
    // The first read of the command that flips a bit of the template's magic word is the read-back's.
    here_t bad;
    for (unsigned long n = 1; n < 80 && bad.out.find("checksum") == std::string::npos; n++) {
        put_back(fx);
        bad = run_here(fx.path, {"-f", "@"}, "12\n2\ny\n0\n", n, IMG_FAULT_CORRUPT);
    }
    EXPECT_EQ(vn_menu(fx.path) + P "current port num : 4, max port num : 4\nPlease input the number of disabled network "
              "ports:\nConfiguration checksum error, please try again, " + std::to_string((int)(sum + 1)) + ", " +
              std::to_string((int)sum) + "\n" UNDONE "\n" P "Illegal input!!!\n" P, bad.out);
    EXPECT_EQ(1, bad.status);
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
}
