// Whole sessions of the tool: start-up, family and PHY detection, the console
// dialogues, menu dispatch with its PHY gates and the board record diagnostics.
#include "harness.h"
#include "norvask-oem-cfg.h"

#define VERSION "norvask_oem_tool  version : 1.1.3\n"
#define USAGE "Support options:\n    -f/-F                 To select an Image File\n" \
              "    -v/--version          To check the version of tool\n"
#define R8 "Illegal input, please input 0--8\n"
#define R4 "Illegal input, please input 0--4\n"
#define GATE(c, what) "Current phy type " #c ", not " what "\n"
#define INNER "Please input config val of Inner LED :"
#define SID_ERASED "sub sys id unsupport !"
#define NEG(v) "ERROR, Input Value (" #v ") < (0) invalid\n"
#define RANGE "ERROR, Input Value out of 32-bit range\n"
#define DONE(v) "\nConfiguration completed successfully\n    GPIO : 0x" #v "\n"
#define Q "\nEnable GPIO configuration or not 'Y' or 'N' : "
#define ON "GPIO configuration is : ON.\n\n"
#define OFF "GPIO configuration is : OFF.\n\n"

static const image_plan_t B = board(0, 0x10);

TEST(Session, StartUp)
{
    image_plan_t short_image = B, least = B;
    short_image.size = IMG_MIN_SIZE - 1;
    least.size = IMG_MIN_SIZE;
    run_rows({
        {B, {}, "0\n", "Support options:\n    -f/-F                   To select an Image File\n"
                       "    -v/--version            To check the version of tool\n", {}, 255, {}},
        {B, {}, "0\n", VERSION, {}, 255, {"--version", "-f", "@"}},
        {B, {}, "0\n", USAGE, {}, 255, {"-V"}},
        {B, {}, "0\n", "    -f/-F                 To select an Image File\n", {}, 255, {"-f"}},
        {B, {}, "0\n", WHY("%P.missing", "No such file or directory") OPEN_FAIL, {}, 255, {"-f", "@.missing"}},
        {B, {}, "0\n", "@V" P, {}, 0, {"-F", "@", "-v"}},
        {short_image, {}, "0\n", WHY("%P", "too short") "[Error] Image too short: 1048543 bytes found, at least "
                                 "1048544 (0xFFFE0) bytes needed!\n", {}, 255},
        {least, {}, "0\n", "@V" P},
    });
}

TEST(Session, DetectionAndPhyGates)
{
    const image_plan_t raw = image_plan_default();
    run_rows({
        // Family 1 by either device id, stored high byte first; its classes by the code's high nibble.
        {raw, {{SUB_SYS_ID_ADDR, 0x01105201}}, "2\n0\n", "@R" P GATE(E, "INNER Phy") P},
        {raw, {{SUB_SYS_ID_ADDR, 0x01206004}}, "2\n", "@R" P INNER END, {}, 255},
        {raw, {{SUB_SYS_ID_ADDR, 0x10015204}}, "4\n0\n", "@V" P GATE(M, "INNER Phy") P},
        {board(1, 0xF3), {}, "2\n0\n", "@R" "phy id unknown\n" P GATE(E, "INNER Phy") P},
        // An erased id, or a code in no row: family 0, the inner PHY.
        {raw, {}, "2\n0\n", "@V" P SID_ERASED GATE(I, "YT Phy") P SID_ERASED},
        {board(0, 0x63), {}, "3\n6\n4\n", "@V" P GATE(I, "MV Phy") P GATE(I, "MV Phy(0x52)") P INNER END, {}, 255},
        {board(0, 0x80), {}, "2\n3\n4\n6\n0\n",
         "@V" P GATE(O, "YT Phy") P GATE(O, "MV Phy") P GATE(O, "INNER Phy") P GATE(O, "MV Phy(0x52)") P},
    });
}

TEST(Session, ConsoleInputAndDispatch)
{
    std::string many_in, many_out = "@V";  // a thousand refused numbers in a row
    for (int i = 0; i < 1000; i++, many_in += "13\n2\n")
        many_out += P R8 P GATE(I, "YT Phy");
    run_rows({
        {B, {}, "5\n0X1f\nN\n5\n1231F rest of line\nY\n0\n", "@V" P G DONE(1f) Q OFF P G DONE(231f) Q ON P,
         {{GPIO, 0x231F}, {OEM, 0x155AA}}},
        {B, {}, "5\nxyz\nfffffffe\nno number\n100000000\n-ffffffff\nffffffff\n\n\n  1f\nn\n0\n",
         "@V" P G NEG(-1) G NEG(-2) G NEG(-2) G RANGE G RANGE G NEG(-1) G DONE(1f) Q OFF P, {{GPIO, 0x1F}, {OEM, 0x55AA}}},
        // The empty answer's discard swallows "n" too, so "yes" answers.
        {B, {}, "5\n1f\n\nn\nyes\n0\n", "@V" P G DONE(1f) Q "Illegal input, Please input 'Y' or 'N'\n" Q ON P,
         {{GPIO, 0x1F}, {OEM, 0x155AA}}},
        {B, {}, "abc 5\n\n\n 4294967301\n-2147483649\n0\n", "@V" P "Illegal input!!!\n" P R8 P R8 P},
        {B, {}, "", "@V" P MENU_END, {}, 255},
        {B, {}, "5\nxyz", "@V" P G NEG(-1) G END, {}, 255},
        {B, {}, "5\n1f\n", "@V" P G DONE(1f) Q END, {}, 255},
        {B, {}, "13 8\n-3\n0\n", "@V" P R8 P "@V\n" P R8 P},
        {board(1, 0x30), {}, "7 12\n-3\n4\n2\n", "@R" P R4 P R4 P R4 P "@R\n" P INNER END, {}, 255},
        // The board record's diagnostics follow every family-0 menu number; family 1 keeps none.
        {image_plan_default(), {}, "x\n13\n8\n0\n", "@V" P "Illegal input!!!\n" P SID_ERASED R8
         P SID_ERASED "@V\n" P SID_ERASED},
        {board(0, 0x10, 0), {}, "13\n0\n", "@V" P "sid port num 0 unsupport\n" R8 P "sid port num 0 unsupport\n"},
        {board(1, 0x10, 0), {}, "4\n0\n", "@R" P "@R\n" P},
        // Few enough descriptors that a stream left open per cycle runs out.
        {B, {}, many_in + "0\n", many_out + P, {}, 0, {"-f", "@"}, 0, [] { set_limit(RLIMIT_NOFILE, 128); }},
    });
}
