// Whole dialogue sessions, one per kind of text: start-up, detection and the PHY gates, console input,
// switches, editors, listing and reset, port disable, the reports (stored words by value: verbs_test).
#include "harness.h"
#include "norvask-oem-cfg.h"

#define USAGE(pad) "Support options:\n    -f/-F       " pad "          To select an Image File\n" \
                   "    -v/--version" pad "          To check the version of tool\n"
#define R(n) "Illegal input, please input 0--" #n "\n"
#define R8 R(8)
#define GATE(c, what) "Current phy type " #c ", not " what "\n"
#define INNER_Q "Please input config val of Inner LED :"
#define SID_ERASED "sub sys id unsupport !"
#define NEG(v) "ERROR, Input Value (" #v ") < (0) invalid\n"
#define RANGE "ERROR, Input Value out of 32-bit range\n"
#define GPIO_DONE(v) "\nConfiguration completed successfully\n    GPIO : 0x" #v "\n"
#define Q "\nEnable GPIO configuration or not 'Y' or 'N' : "
#define ON "GPIO configuration is : ON.\n\n"
#define OFF "GPIO configuration is : OFF.\n\n"
#define YT_PROMPT(led) "Please input config val of YT Phy " led " :"

// The menu, then per finished command the prompt, its text and the loop's newline; then the prompt.
static std::string ops(std::initializer_list<std::string> texts, std::string s = "@V") {
    for (const std::string &t : texts)
        s += P + t + "\n";
    return s + P;
}

static std::string sw(const std::string &what, bool yes) {  // a switch's question and answer
    return "\nEnable " + what + " configuration or not 'Y' or 'N' : " + what + " configuration is : " + (yes ? "ON.\n" : "OFF.\n");
}

static const image_plan_t B = board(0, 0x10), MR_FIBER = board(1, 0x30);
static const std::string DONE = "\nConfiguration completed successfully", FIELDS = DONE + " :\n",
                         PHY_MODE = "Marvell 88e1512 phy mode", WAKE = "WOL Wake IO",
                         INNER_LINE = "\nINNER PHY config val : 0xab1234 --> Polarity : 0xab  LED : 0x1234\n",
                         ARP_Q = "Please input config val of SMBUS ARP, 1 : enable arp  0 : disable arp :",
                         LLDP_Q = "Please input config val of LLDP TX :";

TEST(Session, StartUpAndDetectionWithPhyGates) {
    image_plan_t short_image = B, least = B, raw = image_plan_default();  // one byte short, the least size accepted
    short_image.size = IMG_MIN_SIZE - 1, least.size = IMG_MIN_SIZE;
    run_rows({
        {B, {}, "0\n", USAGE("  "), {}, 255, {}},
        {B, {}, "0\n", "norvask_oem_tool  version : 1.1.3\n", {}, 255, {"--version", "-f", "@"}},
        // Standard error's hint comes first: standard output is written at the end.
        {B, {}, "0\n", "norvask_oem_tool: unknown option '-V' (see 'norvask_oem_tool --help')\n" USAGE(""), {}, 255, {"-V"}},
        {B, {}, "0\n", "norvask_oem_tool: option '-f' needs an image path\n    -f/-F                 To select an Image File\n",
         {}, 255, {"-f"}},
        {B, {}, "0\n", WHY("%P.missing", "No such file or directory") OPEN_FAIL, {}, 255, {"-f", "@.missing"}},
        {least, {}, "0\n", "@V" P, {}, 0, {"-F", "@", "-v"}},
        {short_image, {}, "0\n", WHY("%P", "too short") "[Error] Image too short: 1048543 bytes found, at least "
                                 "1048544 (0xFFFE0) bytes needed!\n", {}, 255},
        // Family 1 by either device id, stored high byte first; its classes by the code's high nibble.
        {raw, {{SUB_SYS_ID_ADDR, 0x01105201}}, "2\n0\n", "@R" P GATE(E, "INNER Phy") P},
        {raw, {{SUB_SYS_ID_ADDR, 0x01206004}}, "2\n", "@R" P INNER_Q END, {}, 255},
        {board(1, 0xF3), {}, "2\n0\n", "@R" "phy id unknown\n" P GATE(E, "INNER Phy") P},
        // An erased id: family 0, the inner PHY.
        {raw, {}, "3\n6\n4\n", "@V" P SID_ERASED GATE(I, "MV Phy") P SID_ERASED GATE(I, "MV Phy(0x52)") P SID_ERASED INNER_Q END,
         {}, 255},
        {board(0, 0x80), {}, "2\n3\n4\n6\n0\n",
         "@V" P GATE(O, "YT Phy") P GATE(O, "MV Phy") P GATE(O, "INNER Phy") P GATE(O, "MV Phy(0x52)") P},
    });
}

TEST(Session, ConsoleInputAndDispatch) {
    std::string many_in, many_out = "@V";  // a thousand refused numbers in a row
    for (int i = 0; i < 1000; i++, many_in += "13\n2\n")
        many_out += P R8 P GATE(I, "YT Phy");
    run_rows({
        // Blank lines are skipped while a number is awaited.
        {B, {}, "5\n\n\n  0X1f\nN\n5\n1231F rest of line\nY\n0\n", "@V" P G GPIO_DONE(1f) Q OFF P G GPIO_DONE(231f) Q ON P,
         {{GPIO, 0x231F}, {OEM, 0x155AA}}},
        {B, {}, "5\nxyz\nfffffffe\nno number\n100000000\n-ffffffff\nffffffff\n",
         "@V" P G NEG(-1) G NEG(-2) G NEG(-2) G RANGE G RANGE G NEG(-1) G END, {}, 255},
        // The empty answer's discard swallows "n" too, so "yes" answers.
        {B, {}, "5\n1f\n\nn\nyes\n0\n", "@V" P G GPIO_DONE(1f) Q "Illegal input, Please input 'Y' or 'N'\n" Q ON P,
         {{GPIO, 0x1F}, {OEM, 0x155AA}}},
        {B, {}, "abc 5\n\n\n 4294967301\n-2147483649\n13 8\n-3\n0\n", "@V" P "Illegal input!!!\n" P R8 P R8 P R8 P "@V\n" P R8 P},
        {B, {}, "5\n1f\n", "@V" P G GPIO_DONE(1f) Q END, {}, 255},
        {board(1, 0x30, 0), {}, "7 12\n-3\n4\n2\n", "@R" P R(4) P R(4) P R(4) P "@R\n" P INNER_Q END, {}, 255},
        // The board record's diagnostics follow every family-0 menu number; family 1 keeps none (above).
        {image_plan_default(), {}, "x\n13\n8\n0\n", "@V" P "Illegal input!!!\n" P SID_ERASED R8
         P SID_ERASED "@V\n" P SID_ERASED},
        {board(0, 0x10, 0), {}, "13\n0\n", "@V" P "sid port num 0 unsupport\n" R8 P "sid port num 0 unsupport\n"},
        // Few enough descriptors that a stream left open per cycle runs out.
        {B, {}, many_in + "0\n", many_out + P, {}, 0, {"-f", "@"}, 0, [] { set_limit(RLIMIT_NOFILE, 128); }},
    });
}

TEST(Dialogue, SwitchesEditorsAndPortDisable) {
    const std::string ask = "Please input the number of disabled network ports:";
    words_t tail, reset = {{LLDP, 0xF}};  // words past the editors' that the reset erases too
    for (uint32_t a = 0xFF01C; a <= 0xFF028; a += 4)
        tail.push_back({a, a}), reset.push_back({a, ERASED});
    run_rows({
        // A refusal repeats only its own prompt.
        {board(0, 0x60), {}, "2\n1\n2\n-5\n3\n4\ny\n12\n0\ny\n0\n",
         ops({YT_PROMPT("LED0") YT_PROMPT("LED1") YT_PROMPT("LED2") "ERROR, Input Value (-5) < (0) invalid\n"
              YT_PROMPT("LED2") YT_PROMPT("LED blink cfg") + FIELDS +
              "    LED0 : 0x1  LED1 : 0x2  LED2 : 0x3  LED blink : 0x4\n" + sw("LED", true),
              "current port num : 4, max port num : 4\n" + ask + DONE + ", current port num:0x4\n" + sw("netport disable", true)}),
         {{LED, 0x00020001}, {LED2, 0x00040003}, {OEM, 0x010255AA}}, 0, {"-f", "@"}, ENABLE_FOUR_PORTS},
        {board(0, 0x52), tail, "3\nffffff\nn\n6\nf0e0d0c\ny\n9\n2\n80\n101\n10\n0\n65535\nn\n11\n10\nf\n1\ny\nn\ny\n-2\n-1\n7\n0\n",
         ops({"Please input config val of MV Phy LED :" + FIELDS + "    Polarity : 0xf  LED : 0xff  Blink_freq : 0x3\n" +
                  sw("LED", false),
              "Please input config val of MV1512 phy mode :" + DONE +
                  "\nPHY MODE : port0 : 0x4 port1 : 0x5\n           port2 : 0x6 port3 : 0x7\n" + sw(PHY_MODE, true),
              ARP_Q + "ERROR, Input Value 2 invalid\n" + ARP_Q + "ERROR, Input Value (-128) < (0) invalid\n" + ARP_Q +
                  DONE + ", Enable SMBUS ARP\n",
              "Please input config val of WOL Wake IO(ms):ERROR, Input Value 0 invalid\n"
              "Please input config val of WOL Wake IO(ms):" + DONE + ", WOL Wake Io pull down time : 65535 ms\n" +
                  sw(WAKE, false),
              LLDP_Q + "ERROR, Input Value 16 invalid\n" + LLDP_Q + DONE + ", LLDP TX config : 0xf\n",
              sw("LED", true) + sw(PHY_MODE, false) + sw(WAKE, true),  // option 1: the GPIO word is erased
              "erase region : [0xff000, 0xff028], lldp region : 0xf1000\n"
              "IMG OEM region was successfully recovered to the default value.",
              "%L", "\n[Warn]The Image has not been modified!\n"}),
         reset},
        // Family 1, its report the last: the LED line ignores the PHY class, an ARP word 0xE shows.
        {MR_FIBER, {{LED, 0x00110022}}, "1\ny\n2\nabc\ny\n5\n0\n6\n3\n3\n0\n",
         ops({sw("LED", true), "Please input config val of Inner LED :" + FIELDS + "    Polarity : 0x0  LED : 0xabc\n" +
                                   sw("LED", true), ARP_Q + DONE + ", Disable SMBUS ARP\n", LLDP_Q + DONE + ", LLDP TX config : 0x3\n",
              "\nINNER PHY config val : 0xabc --> Polarity : 0x0  LED : 0xabc\n\nSMBUS ARP Disable!\n"
              "\nLLDP default configuration set to : 0x3 \n%L"}, "@R"),
         {{LED, 0xABC}, {MODE, 0xE}, {LLDP, 0x3}, {OEM, 0x002255AA}}},
        // A template without the header magic is refused.
        {B, {{ENABLE_TWO_PORTS, ERASED}}, "12\n2\n12\n4\n3\nn\n7\n0\n",
         ops({"current port num : 4, max port num : 4\n" + ask + "error, img not support, hdr 0xffffffff!",
              "current port num : 4, max port num : 4\n" + ask + "ERROR, Input Value 4 invalid, range [0,3]\n" + ask +
                  DONE + ", current port num:0x1\n" + sw("netport disable", false),
              "\nCurrent port number is : 1\n%L"}),
         {{OEM, 0x000055AA}}, 0, {"-f", "@"}, ENABLE_ONE_PORT},
        // The board's own warning comes in every cycle, the exit included.
        {board(0, 0x10, 5), {}, "12\n0\n",
         ops({"sid port num 5 unsupport\n[Warn]Network port disable unsupported, sid port num 5\n"}) +
             "sid port num 5 unsupport\n"},
    });
}

TEST(Dialogue, ReportsByFamilyAndPhyClass) {
    const words_t led_on = {{OEM, 0x255AA}, {LED, 0xAB1234}};
    const std::string remind = "\nPlease select option 1 to enable ";
    std::vector<row_t> rows;
    auto report = [&](const image_plan_t &plan, const words_t &pre, const std::string &text) {
        rows.push_back({plan, pre, plan.device_id == image_device_id(1) ? "3\n0\n" : "7\n0\n",
                        ops({text + "%L"}, plan.device_id == image_device_id(1) ? "@R" : "@V")});
    };
    report(B, led_on, INNER_LINE);
    report(board(0, 0x60), {{OEM, 0x255AA}, {LED, 0x20001}, {LED2, 0x40003}},
           "\nYT PHY config val : 0x20001 0x40003 --> LED0 : 0x1  LED1 : 0x2  LED2 : 0x3  LED blink : 0x4\n");
    for (uint32_t mv : {0x50u, 0x51u, 0x52u})
        report(board(0, mv), {{OEM, 0x255AA}, {LED, 0x1FF0FFF}},
               "\nMavell PHY config val: 0x1ff0fff --> Polarity : 0x3f  LED : 0xfff  Blink_freq : 0x7\n");
    report(board(0, 0x80), led_on, "\nphy type unknow : type is O\n");
    // Enabled but unset: only the first YT word counts, an erased ARP word reads as enabled.
    report(board(0, 0x60), {{OEM, 0x7355AA}, {LED2, 0x40003}}, "[Warn]PHY is not set!\n\n[Warn]GPIO is not set!\n\n"
           "[Warn]Marvell 88e1512 phy mode is not set!\n\nSMBUS ARP Enable!\n\n[Warn]WOL Wake IO pull down time is not set!\n");
    report(B, {{OEM, 0xFE0055AA}, {GPIO, 0x12}, {LED, 0x34}, {MODE, 0x56}, {ARP, 0xF}, {WOL, 0x78}},
           remind + "LED configuration\n" + remind + "Gpio configuration\n" + remind + "Marvell phy mode configuration\n" +
               remind + "SMBUS ARP configuration\n" + remind + "WOL Wake IO configuration\n");
    // ARP word 0xE with its bit set; LLDP shown without its enable bit.
    report(B, {{OEM, 0x7555AA}, {GPIO, 0x1234}, {MODE, 0x3020100}, {ARP, 0xE}, {WOL, 500}, {LLDP, 7}},
           "\nGPIO config val: 0x1234\n\nPHY MODE : port0 : 0x0 port1 : 0x1 port2 : 0x2 port3 : 0x3\n\nSMBUS ARP Disable!\n"
           "\nWOL Wake IO pull down time : 500 ms\n\nLLDP default configuration set to : 0x7 \n");
    // Family 1: ARP word 0x1 gives no line.
    report(MR_FIBER, {{OEM, 0x255AA}, {MODE, 0x1}, {LLDP, 5}}, "\n[Warn]PHY is not set\n\nLLDP default configuration set to : 0x5 \n");
    run_rows(rows);
}
