// Feature switches, value editors, raw listing and reset, configuration reports and network
// port disable, as whole sessions (rows of the harness runner).
#include "harness.h"

// The menu, then each finished command: the menu prompt, its text and the
// loop's newline; then the prompt that the exit answers.
static std::string ops(std::initializer_list<std::string> texts, std::string s = "@V")
{
    for (const std::string &t : texts)
        s += P + t + "\n";
    return s + P;
}

// A switch's question and the message for the answer.
static std::string sw(const std::string &what, bool yes)
{
    return "\nEnable " + what + " configuration or not 'Y' or 'N' : " + what + " configuration is : " +
           (yes ? "ON." : "OFF.") + "\n";
}

static const image_plan_t INNER = board(0, 0x10), YT = board(0, 0x60), MR_FIBER = board(1, 0x30);
static const std::string DONE = "\nConfiguration completed successfully\n", WAKE = "WOL Wake IO",
                         FIELDS = "\nConfiguration completed successfully :\n",
                         PHY_MODE = "Marvell 88e1512 phy mode",
                         INNER_LINE = "\nINNER PHY config val : 0xab1234 --> Polarity : 0xab  LED : 0x1234\n",
                         NOT_MODIFIED = "\n[Warn]The Image has not been modified!\n";
#define YT_PROMPT(led) "Please input config val of YT Phy " led " :"
#define ARP_PROMPT "Please input config val of SMBUS ARP, 1 : enable arp  0 : disable arp :"
#define WOL_PROMPT "Please input config val of WOL Wake IO(ms):"
#define LLDP_PROMPT "Please input config val of LLDP TX :"

TEST(Switches, EnableBitsMergeIntoTheStampedWord)
{
    run_rows({
        {INNER, {{OEM, 0x000255AA}, {GPIO, 0x1234}}, "1\nN\n0\n", ops({sw("GPIO", false)})},
        // All four in order; each changes only its own bit, bits 25-31 stay.
        {INNER, {{OEM, 0xFE1055AA}, {LED, 1}, {GPIO, 2}, {MODE, 3}, {WOL, 4}}, "1\ny\nY\nn\ny\n0\n",
         ops({sw("LED", true) + sw("GPIO", true) + sw(PHY_MODE, false) + sw(WAKE, true)}),
         {{OEM, 0xFE4355AA}}},
        // Erased GPIO and PHY mode words: their switches stay silent.
        {INNER, {{LED, 1}, {WOL, 4}}, "1\nmaybe\nnot\ny\n0\n",
         ops({"\nEnable LED configuration or not 'Y' or 'N' : Illegal input, Please input 'Y' or 'N'\n" +
              sw("LED", false) + sw(WAKE, true)}),
         {{OEM, 0x004055AA}}},
    });
}

TEST(Editors, StoreConfirmAndSwitch)
{
    run_rows({
        {board(0, 0x51), {}, "3\nffffff\nn\n0\n",
         ops({"Please input config val of MV Phy LED :" + FIELDS +
              "    Polarity : 0xf  LED : 0xff  Blink_freq : 0x3\n" + sw("LED", false)}),
         {{LED, 0x00CF00FF}, {OEM, 0x000055AA}}},
        {YT, {}, "2\n1\n2\n3\n4\ny\n0\n",
         ops({YT_PROMPT("LED0") YT_PROMPT("LED1") YT_PROMPT("LED2") YT_PROMPT("LED blink cfg") + FIELDS +
              "    LED0 : 0x1  LED1 : 0x2  LED2 : 0x3  LED blink : 0x4\n" + sw("LED", true)}),
         {{LED, 0x00020001}, {LED2, 0x00040003}, {OEM, 0x000255AA}}},
        // A refusal repeats only its own prompt; the first word ends up erased,
        // so the LED switch has nothing to ask.
        {YT, {{LED2, 0x77}}, "2\nffff\nffff\n-5\n0\n0\n0\n",
         ops({YT_PROMPT("LED0") YT_PROMPT("LED1") YT_PROMPT("LED2") "ERROR, Input Value (-5) < (0) invalid\n"
              YT_PROMPT("LED2") YT_PROMPT("LED blink cfg") + FIELDS +
              "    LED0 : 0xffff  LED1 : 0xffff  LED2 : 0x0  LED blink : 0x0\n"}),
         {{LED, ERASED}, {LED2, 0}}},
        {INNER, {}, "9\n2\n80\n101\n0\n",
         ops({ARP_PROMPT "ERROR, Input Value 2 invalid\n" ARP_PROMPT "ERROR, Input Value (-128) < (0) invalid\n"
              ARP_PROMPT "\nConfiguration completed successfully, Enable SMBUS ARP\n"}),
         {{ARP, 0xF}, {OEM, 0x002055AA}}},
        {INNER, {}, "10\n0\n65536\n65535\nn\n0\n",
         ops({WOL_PROMPT "ERROR, Input Value 0 invalid\n" WOL_PROMPT "ERROR, Input Value 65536 invalid\n"
              WOL_PROMPT "\nConfiguration completed successfully, WOL Wake Io pull down time : 65535 ms\n" +
              sw(WAKE, false)}),
         {{WOL, 0xFFFF}, {OEM, 0x000055AA}}},
        // LLDP stamps the signature and sets no enable bit.
        {INNER, {}, "11\n10\nf\n0\n",
         ops({LLDP_PROMPT "ERROR, Input Value 16 invalid\n" LLDP_PROMPT
              "\nConfiguration completed successfully, LLDP TX config : 0xf\n"}),
         {{LLDP, 0xF}, {OEM, 0x000055AA}}},
        {board(0, 0x52), {}, "6\nf0e0d0c\ny\n0\n",
         ops({"Please input config val of MV1512 phy mode :" + DONE +
              "PHY MODE : port0 : 0x4 port1 : 0x5\n           port2 : 0x6 port3 : 0x7\n" +
              sw(PHY_MODE, true)}),
         {{MODE, 0x0F0E0D0C}, {OEM, 0x001055AA}}},
        // Family 1: options 1, 2, 5 and 6.
        {MR_FIBER, {{LED, 0x00110022}}, "1\ny\n2\nabc\nn\n5\n0\n6\n3\n0\n",
         ops({sw("LED", true),
              "Please input config val of Inner LED :" + FIELDS + "    Polarity : 0x0  LED : 0xabc\n" +
                  sw("LED", false),
              ARP_PROMPT "\nConfiguration completed successfully, Disable SMBUS ARP\n",
              LLDP_PROMPT "\nConfiguration completed successfully, LLDP TX config : 0x3\n"}, "@R"),
         {{LED, 0xABC}, {MODE, 0xE}, {LLDP, 0x3}, {OEM, 0x002055AA}}},
    });
}

TEST(Listing, ErasedAreaAndReset)
{
    words_t full = {{LLDP, 3}}, reset_words = {{LLDP, 0xF}};
    for (uint32_t a = OEM; a <= 0xFF028; a += 4)
        full.push_back({a, a + 1}), reset_words.push_back({a, ERASED});
    const std::string reset = "erase region : [0xff000, 0xff028], lldp region : 0xf1000\n"
                              "IMG OEM region was successfully recovered to the default value.";
    run_rows({
        {INNER, {}, "-1\n0\n", ops({"%L"}), {}},  // all erased
        {INNER, full, "-2\n7\n0\n", ops({reset, NOT_MODIFIED}), reset_words},
        {MR_FIBER, full, "-2\n-1\n0\n", ops({reset, "%L"}, "@R"), reset_words},
    });
}

TEST(Reports, DecodedByFamilyAndPhyClass)
{
    const words_t led_on = {{OEM, 0x255AA}, {LED, 0xAB1234}}, mv_on = {{OEM, 0x255AA}, {LED, 0x1FF0FFF}};
    const std::string mv = "\nMavell PHY config val: 0x1ff0fff --> Polarity : 0x3f  LED : 0xfff  "
                           "Blink_freq : 0x7\n",
                      remind = "\nPlease select option 1 to enable ";
    run_rows({
        {INNER, {}, "7\n0\n", ops({NOT_MODIFIED})},
        {MR_FIBER, {{OEM, 0x00025AA5}, {LED, 1}}, "3\n0\n", ops({NOT_MODIFIED}, "@R")},
        {INNER, led_on, "7\n0\n", ops({INNER_LINE + "%L"})},
        {board(0, 0x50), mv_on, "7\n0\n", ops({mv + "%L"})},
        {board(0, 0x51), mv_on, "7\n0\n", ops({mv + "%L"})},
        {board(0, 0x52), mv_on, "7\n0\n", ops({mv + "%L"})},
        {YT, {{OEM, 0x000255AA}, {LED, 0x00020001}, {LED2, 0x00040003}}, "7\n0\n",
         ops({"\nYT PHY config val : 0x20001 0x40003 --> LED0 : 0x1  LED1 : 0x2  LED2 : 0x3  "
              "LED blink : 0x4\n%L"})},
        {board(0, 0x80), led_on, "7\n0\n", ops({"\nphy type unknow : type is O\n%L"})},
        // Enabled but unset: only the first YT word counts, an erased ARP word reads as enabled.
        {YT, {{OEM, 0x007355AA}, {LED2, 0x00040003}}, "7\n0\n",
         ops({"[Warn]PHY is not set!\n\n[Warn]GPIO is not set!\n"
              "\n[Warn]Marvell 88e1512 phy mode is not set!\n"
              "\nSMBUS ARP Enable!\n\n[Warn]WOL Wake IO pull down time is not set!\n%L"})},
        {INNER, {{OEM, 0xFE0055AA}, {GPIO, 0x12}, {LED, 0x34}, {MODE, 0x56}, {ARP, 0xF}, {WOL, 0x78}},
         "7\n0\n",
         ops({remind + "LED configuration\n" + remind + "Gpio configuration\n" + remind +
              "Marvell phy mode configuration\n" + remind + "SMBUS ARP configuration\n" + remind +
              "WOL Wake IO configuration\n%L"})},
        {INNER, {{OEM, 0x000055AA}, {LED, 0x00AB1234}}, "1\ny\n7\n0\n",
         ops({sw("LED", true), INNER_LINE + "%L"}), {{OEM, 0x000255AA}}},
        // ARP word 0xE with its bit set; LLDP shown without its enable bit.
        {INNER, {{OEM, 0x007555AA}, {GPIO, 0x1234}, {MODE, 0x03020100}, {ARP, 0xE}, {WOL, 500}, {LLDP, 7}},
         "7\n0\n",
         ops({"\nGPIO config val: 0x1234\n\nPHY MODE : port0 : 0x0 port1 : 0x1 port2 : 0x2 port3 : 0x3\n"
              "\nSMBUS ARP Disable!\n\nWOL Wake IO pull down time : 500 ms\n"
              "\nLLDP default configuration set to : 0x7 \n%L"})},
        // Family 1: ARP word 0x1 gives no line; the LED line ignores the PHY class.
        {MR_FIBER, {{OEM, 0x000255AA}, {MODE, 0x1}, {LLDP, 5}}, "3\n0\n",
         ops({"\n[Warn]PHY is not set\n\nLLDP default configuration set to : 0x5 \n%L"}, "@R")},
        {board(1, 0x10), {{OEM, 0x000255AA}, {LED, 0x00AB1234}, {MODE, 0xE}}, "3\n0\n",
         ops({INNER_LINE + "\nSMBUS ARP Disable!\n%L"}, "@R")},
    });
}

TEST(PortDisable, TemplateReplacesHeaderBlock)
{
    image_plan_t two_of_four = INNER;
    two_of_four.port_mask = 0x3;
    const std::string ask = "Please input the number of disabled network ports:",
                      done = "\nConfiguration completed successfully, current port num:0x",
                      four = "current port num : 4, max port num : 4\n" + ask,
                      unsup = "[Warn]Network port disable unsupported, sid port num ";
    run_rows({
        {two_of_four, {}, "12\n0\ny\n0\n",
         ops({"current port num : 2, max port num : 4\n" + ask + done + "4\n" + sw("netport disable", true)}),
         {{OEM, 0x010055AA}}, 0, {"-f", "@"}, 0xFD000},
        {INNER, {}, "12\n4\n3\nn\n7\n0\n",
         ops({four + "ERROR, Input Value 4 invalid, range [0,3]\n" + ask +
                  done + "1\n" + sw("netport disable", false),
              "\nCurrent port number is : 1\n%L"}),
         {{OEM, 0x000055AA}}, 0, {"-f", "@"}, 0xFDC00},
        {INNER, {{0xFD000, ERASED}}, "12\n0\n0\n", ops({four + "error, img not support, hdr 0xffffffff!"})},
        // The board's own warning comes in every cycle, the exit included.
        {board(0, 0x10, 0), {}, "12\n0\n", ops({"sid port num 0 unsupport\n" + unsup + "0\n"}) +
                                            "sid port num 0 unsupport\n", {}},
        {board(0, 0x10, 5), {}, "12\n0\n", ops({"sid port num 5 unsupport\n" + unsup + "5\n"}) +
                                            "sid port num 5 unsupport\n", {}},
    });
}
