// Dialogue sessions, one per kind of text.
#include "harness.h"

static const std::string PROMPT = "\nInput your number:",
                         INPUT_ENDED =
                             "\n[Error] Input ended, the unfinished command was undone!\n",
                         VN_REFUSED = "Illegal input, please input 0--8\n",
                         SID_ERASED = "sub sys id unsupport !",
                         OUT_OF_RANGE = "ERROR, Input Value out of 32-bit range\n",
                         DONE = "\nConfiguration completed successfully", FIELDS = DONE + " :\n",
                         ASK = "Please input config val of ",
                         GPIO_ASK = ASK + "GPIO :", INNER_ASK = ASK + "Inner LED :",
                         ARP_ASK = ASK + "SMBUS ARP, 1 : enable arp  0 : disable arp :",
                         LLDP_ASK = ASK + "LLDP TX :",
                         PORTS = "current port num : 4, max port num : 4\n",
                         PORTS_ASK = "Please input the number of disabled network ports:",
                         PHY_MODE = "Marvell 88e1512 phy mode", WAKE_IO = "WOL Wake IO";

// What comes first, then what follows each prompt (a finished command: its text and a newline).
static std::string after_prompts(const std::string &menu, std::initializer_list<std::string> texts)
{
    std::string out = menu;
    for (const std::string &text : texts)
        out += PROMPT + text;
    return out;
}

static std::string question(const std::string &what)
{
    return "\nEnable " + what + " configuration or not 'Y' or 'N' : ";
}

static std::string switched(const std::string &what, bool on)
{
    return question(what) + what + " configuration is : " + (on ? "ON.\n" : "OFF.\n");
}

static std::string gate(char phy_class, const std::string &phy)
{
    return "Current phy type " + std::string(1, phy_class) + ", not " + phy + "\n";
}

static std::string negative(int value)
{
    return "ERROR, Input Value (" + std::to_string(value) + ") < (0) invalid\n";
}

static std::string usage(const std::string &pad)
{
    return "Support options:\n    -f/-F       " + pad +
           "          To select an Image File\n    -v/--version" + pad +
           "          To check the version of tool\n";
}

TEST(Dialogue, StartUpBoardAndGates)
{
    image_plan_t least = board(0, 0x10, 0), too_short = least, erased = image_plan_default();
    least.size = IMG_MIN_SIZE, too_short.size = IMG_MIN_SIZE - 1;
    const std::string ports_5 = "sid port num 5 unsupport\n";
    run_rows({
        {.out = usage("  "), .status = 255, .args = {}},
        // Standard error's hint first: standard output is written at the end.
        {.out =
             "norvask_oem_tool: unknown option '-V' (see 'norvask_oem_tool --help')\n" + usage(""),
         .status = 255,
         .args = {"-V"}},
        {.out = "norvask_oem_tool: option '-f' needs an image path\n"
                "    -f/-F                 To select an Image File\n",
         .status = 255,
         .args = {"-f"}},
        {.out = "norvask_oem_tool  version : 1.1.3\n",
         .status = 255,
         .args = {"--version", "-f", "@"}},
        // The least size taken; no ports: warned after each menu number.
        {.plan = least,
         .in = "0\n",
         .out = after_prompts("@V", {"sid port num 0 unsupport\n"}),
         .args = {"-F", "@", "-v"}},
        {.plan = too_short,
         .out = "norvask_oem_tool: %P: too short\n"
                "[Error] Image too short: 1048543 bytes found, at least 1048544 (0xFFFE0) bytes "
                "needed!\n",
         .status = 255},
        // Family 1 by its second device id, stored high byte first; no warning about its ports.
        {.plan = erased,
         .pre = {{SUB_SYS_ID_ADDR, 0x0120F300}},
         .in = "7\n4\n2\n0\n",
         .out = after_prompts("@Rphy id unknown\n", {"Illegal input, please input 0--4\n", "@R\n",
                                                     gate('E', "INNER Phy"), ""})},
        // An erased id: family 0, the inner PHY, its warning after each menu number.
        {.plan = erased,
         .in = "3\n6\n4\n",
         .out = after_prompts("@V", {SID_ERASED + gate('I', "MV Phy"),
                                     SID_ERASED + gate('I', "MV Phy(0x52)"),
                                     SID_ERASED + INNER_ASK + INPUT_ENDED}),
         .status = 255},
        {.plan = board(0, 0x10, 5),
         .in = "12\n0\n",
         .out = after_prompts(
             "@V",
             {ports_5 + "[Warn]Network port disable unsupported, sid port num 5\n\n", ports_5})},
    });
}

TEST(Dialogue, ConsoleInput)
{
    run_rows({
        // Blank lines skipped, the rest of a line dropped, a line without a number keeps the one
        // before; the last command undone at the end of input.
        {.in = "5\n\n\nfffffffe\nno number\n100000000\n-ffffffff\nffffffff\n  0X1f\n\nn\nN\n"
               "5\n1231F rest of line\nYes\n5\n7\n",
         .out = after_prompts(
             "@V", {GPIO_ASK + negative(-2) + GPIO_ASK + negative(-2) + GPIO_ASK + OUT_OF_RANGE +
                        GPIO_ASK + OUT_OF_RANGE + GPIO_ASK + negative(-1) + GPIO_ASK + DONE +
                        "\n    GPIO : 0x1f\n" + question("GPIO") +
                        "Illegal input, Please input 'Y' or 'N'\n" + switched("GPIO", false) + "\n",
                    GPIO_ASK + DONE + "\n    GPIO : 0x231f\n" + switched("GPIO", true) + "\n",
                    GPIO_ASK + DONE + "\n    GPIO : 0x7\n" + question("GPIO") + INPUT_ENDED}),
         .changed = {{GPIO, 0x231F}, {OEM, 0x155AA}},
         .status = 255},
        // Menu numbers; a CR without its LF parts two numbers like a blank.
        {.in = "abc 5\n\n\n 4294967301\n-2147483649\n13\r8\n-3\n0\n",
         .out = after_prompts("@V", {"Illegal input!!!\n", VN_REFUSED, VN_REFUSED, VN_REFUSED,
                                     "@V\n", VN_REFUSED, ""})},
    });
}

TEST(Dialogue, EditorsSwitchesAndPortDisable)
{
    words_t tail, reset = {{LLDP, 0xF}};  // words past the editors' that the reset erases too
    for (uint32_t at = 0xFF01C; at <= 0xFF028; at += 4)
        tail.push_back({at, at}), reset.push_back({at, ERASED});
    const std::string yt = ASK + "YT Phy LED";
    run_rows({
        // A refusal repeats only its own prompt.
        {.plan = board(0, 0x60),
         .in = "2\n1\n2\n-5\n3\n4\ny\n12\n0\ny\n0\n",
         .out =
             after_prompts("@V", {yt + "0 :" + yt + "1 :" + yt + "2 :" + negative(-5) + yt +
                                      "2 :" + yt + " blink cfg :" + FIELDS +
                                      "    LED0 : 0x1  LED1 : 0x2  LED2 : 0x3  LED blink : 0x4\n" +
                                      switched("LED", true) + "\n",
                                  PORTS + PORTS_ASK + DONE + ", current port num:0x4\n" +
                                      switched("netport disable", true) + "\n",
                                  ""}),
         .changed = {{LED, 0x00020001}, {LED2, 0x00040003}, {OEM, 0x010255AA}},
         .tmpl = ENABLE_FOUR_PORTS},
        // Option 1 skips the switch of an erased word; the reset erases the whole area.
        {.plan = board(0, 0x52),
         .pre = tail,
         .in = "3\nffffff\nn\n6\nf0e0d0c\ny\n9\n80\n101\n10\n65535\nn\n11\n10\n3\n"
               "1\ny\nn\ny\n-2\n-1\n7\n0\n",
         .out = after_prompts(
             "@V",
             {ASK + "MV Phy LED :" + FIELDS + "    Polarity : 0xf  LED : 0xff  Blink_freq : 0x3\n" +
                  switched("LED", false) + "\n",
              ASK + "MV1512 phy mode :" + DONE +
                  "\nPHY MODE : port0 : 0x4 port1 : 0x5\n           port2 : 0x6 port3 : 0x7\n" +
                  switched(PHY_MODE, true) + "\n",
              ARP_ASK + negative(-128) + ARP_ASK + DONE + ", Enable SMBUS ARP\n\n",
              ASK + "WOL Wake IO(ms):" + DONE + ", WOL Wake Io pull down time : 65535 ms\n" +
                  switched(WAKE_IO, false) + "\n",
              LLDP_ASK + "ERROR, Input Value 16 invalid\n" + LLDP_ASK + DONE +
                  ", LLDP TX config : 0x3\n\n",
              switched("LED", true) + switched(PHY_MODE, false) + switched(WAKE_IO, true) + "\n",
              "erase region : [0xff000, 0xff028], lldp region : 0xf1000\n"
              "IMG OEM region was successfully recovered to the default value.\n",
              "%L\n", "\n[Warn]The Image has not been modified!\n\n", ""}),
         .changed = reset},
        // Family 1: option 1 asks for the LED alone; the ARP word 0xE shows.
        {.plan = board(1, 0x30),
         .pre = {{LED, 0x00110022}},
         .in = "1\ny\n2\nab0abc\ny\n5\n0\n3\n0\n",
         .out = after_prompts(
             "@R", {switched("LED", true) + "\n",
                    INNER_ASK + FIELDS + "    Polarity : 0xab  LED : 0xabc\n" +
                        switched("LED", true) + "\n",
                    ARP_ASK + DONE + ", Disable SMBUS ARP\n\n",
                    "\nINNER PHY config val : 0xab0abc --> Polarity : 0xab  LED : 0xabc\n"
                    "\nSMBUS ARP Disable!\n%L\n",
                    ""}),
         .changed = {{LED, 0xAB0ABC}, {MODE, 0xE}, {OEM, 0x002255AA}}},
        {.pre = {{LED, 1}, {GPIO, 2}},
         .in = "1\n",
         .out = after_prompts("@V", {question("LED") + INPUT_ENDED}),
         .status = 255},
        // A template without the header magic is refused, before anything is written.
        {.pre = {{ENABLE_TWO_PORTS, ERASED}},
         .in = "12\n2\n12\n4\n3\nn\n7\n0\n",
         .out = after_prompts("@V",
                              {PORTS + PORTS_ASK + "error, img not support, hdr 0xffffffff!\n",
                               PORTS + PORTS_ASK + "ERROR, Input Value 4 invalid, range [0,3]\n" +
                                   PORTS_ASK + DONE + ", current port num:0x1\n" +
                                   switched("netport disable", false) + "\n",
                               "\nCurrent port number is : 1\n%L\n", ""}),
         .changed = {{OEM, 0x000055AA}},
         .tmpl = ENABLE_ONE_PORT},
    });
}

// The report of family 0 (option 7) or 1 (option 3) of `words`, then the listing.
static row_t report(const image_plan_t &plan, const words_t &words, const std::string &text)
{
    const bool family_1 = plan.device_id == image_device_id(1);
    return {.plan = plan,
            .pre = words,
            .in = family_1 ? "3\n0\n" : "7\n0\n",
            .out = after_prompts(family_1 ? "@R" : "@V", {text + "%L\n", ""})};
}

TEST(Dialogue, ReportsOfEachFamilyAndPhyClass)
{
    const std::string remind = "\nPlease select option 1 to enable ";
    const words_t led_on = {{OEM, 0x255AA}, {LED, 0x1FF0FFF}};
    run_rows({
        // Enabled: the values; LLDP without its enable bit.
        report(board(0, 0x60),
               {{OEM, 0x7755AA},
                {LED, 0x20001},
                {LED2, 0x40003},
                {GPIO, 0x51234},
                {MODE, 0x3020100},
                {ARP, 0xE},
                {WOL, 0x101F4},
                {LLDP, 7}},
               "\nYT PHY config val : 0x20001 0x40003 --> LED0 : 0x1  LED1 : 0x2  LED2 : 0x3  "
               "LED blink : 0x4\n"
               "\nGPIO config val: 0x1234\n"
               "\nPHY MODE : port0 : 0x0 port1 : 0x1 port2 : 0x2 port3 : 0x3\n"
               "\nSMBUS ARP Disable!\n"
               "\nWOL Wake IO pull down time : 500 ms\n"
               "\nLLDP default configuration set to : 0x7 \n"),
        report(board(0, 0x52), led_on,
               "\nMavell PHY config val: 0x1ff0fff --> Polarity : 0x3f  LED : 0xfff  Blink_freq : "
               "0x7\n"),
        report(board(0, 0x80), led_on, "\nphy type unknow : type is O\n"),
        report(board(0, 0x10), {{OEM, 0x255AA}, {LED, 0xAB0ABC}},
               "\nINNER PHY config val : 0xab0abc --> Polarity : 0xab  LED : 0xabc\n"),
        // Enabled but unset: only the first YT word counts, an erased ARP word reads as enabled.
        report(board(0, 0x60), {{OEM, 0x7355AA}, {LED2, 0x40003}},
               "[Warn]PHY is not set!\n"
               "\n[Warn]GPIO is not set!\n"
               "\n[Warn]Marvell 88e1512 phy mode is not set!\n"
               "\nSMBUS ARP Enable!\n"
               "\n[Warn]WOL Wake IO pull down time is not set!\n"),
        // Set but not enabled.
        report(
            board(0, 0x10),
            {{OEM, 0xFE0055AA}, {GPIO, 0x12}, {LED, 0x34}, {MODE, 0x56}, {ARP, 0xF}, {WOL, 0x78}},
            remind + "LED configuration\n" + remind + "Gpio configuration\n" + remind +
                "Marvell phy mode configuration\n" + remind + "SMBUS ARP configuration\n" + remind +
                "WOL Wake IO configuration\n"),
        // Family 1: an ARP word of 0x1 gives no line.
        report(board(1, 0x30), {{OEM, 0x255AA}, {MODE, 0x1}, {LLDP, 5}},
               "\n[Warn]PHY is not set\n\nLLDP default configuration set to : 0x5 \n"),
    });
}

TEST(Board, PhyClassOfEveryCode)
{
    std::string vn, mr;
    for (uint32_t code : {0x03u, 0x10u, 0x20u, 0x30u, 0x40u, 0x50u, 0x51u, 0x52u, 0x60u, 0x61u,
                          0x62u, 0x64u, 0x70u, 0x80u, 0x63u, 0x24u, 0xFFu})
        vn += vn_phy_class(code << SID_PHY_CODE_SHIFT);
    for (uint32_t code = 0; code <= 0xF0; code += 0x10) {
        bool known;
        mr += mr_phy_class(code << SID_PHY_CODE_SHIFT | 0xF00, &known);
    }
    EXPECT_EQ("FIIIIFCMYYYYYOIII", vn) << "family 0, the codes in the order above";
    EXPECT_EQ("IEEIIEIEEEEEEEEE", mr) << "family 1, high nibbles 0 to f";
}
