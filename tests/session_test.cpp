// Whole sessions of the tool: start-up, family and PHY detection, the console
// dialogues, menu dispatch with its PHY gates and the board record diagnostics.
#include "harness.h"
#include "norvask-oem-cfg.h"

#define VERSION "norvask_oem_tool  version : 1.1.3\n"
#define NO_PATH "    -f/-F                 To select an Image File\n"
#define USAGE "Support options:\n" NO_PATH "    -v/--version          To check the version of tool\n"
#define SHORT(n) WHY("%P", "too short") "[Error] Image too short: " #n " bytes found, at least 1048544 (0xFFFE0) bytes needed!\n"
#define R8 "Illegal input, please input 0--8\n"
#define R4 "Illegal input, please input 0--4\n"
#define GATE(c, what) "Current phy type " #c ", not " what "\n"
#define INNER "Please input config val of Inner LED :"
#define MV_LED "Please input config val of MV Phy LED :"
#define SID_ERASED "sub sys id unsupport !"
#define PORTS(n) "sid port num " #n " unsupport\n"
#define NEG(v) "ERROR, Input Value (" #v ") < (0) invalid\n"
#define RANGE "ERROR, Input Value out of 32-bit range\n"
#define DONE(v) "\nConfiguration completed successfully\n    GPIO : 0x" #v "\n"
#define Q "\nEnable GPIO configuration or not 'Y' or 'N' : "
#define ON "GPIO configuration is : ON.\n\n"
#define OFF "GPIO configuration is : OFF.\n\n"

static const image_plan_t B = board(0, 0x10);
static const words_t GPIO_1F_OFF = {{GPIO_CFG_ADDR, 0x1F}, {OEM_CFG_ADDR, 0x55AA}};
static const words_t GPIO_1F_ON = {{GPIO_CFG_ADDR, 0x1F}, {OEM_CFG_ADDR, 0x155AA}};

TEST(Session, StartUp)
{
    auto sized = [](size_t n) { image_plan_t s = B; s.size = n; return s; };
    run_rows({
        {B, {}, "0\n", "Support options:\n    -f/-F                   To select an Image File\n"
                       "    -v/--version            To check the version of tool\n", {}, 255, {}},
        {B, {}, "0\n", VERSION, {}, 255, {"-v"}},
        {B, {}, "0\n", VERSION, {}, 255, {"--version", "-f", "@"}},
        {B, {}, "0\n", USAGE, {}, 255, {"-V"}},
        {B, {}, "0\n", USAGE, {}, 255, {"@", "-f", "@"}},
        {B, {}, "0\n", NO_PATH, {}, 255, {"-f"}},
        {B, {}, "0\n", WHY("%P.missing", "No such file or directory") OPEN_FAIL, {}, 255, {"-f", "@.missing"}},
        {B, {}, "0\n", WHY("/tmp", "Is a directory") OPEN_FAIL, {}, 255, {"-f", "/tmp"}},  // not read-write, even for root
        {B, {}, "0\n", "@V" P, {}, 0, {"-F", "@", "-v"}},
        {sized(0), {}, "0\n", SHORT(0), {}, 255},
        {sized(0xFFFDF), {}, "0\n", SHORT(1048543), {}, 255},
        {sized(0xFFFE0), {}, "0\n", "@V" P},
    });
}

TEST(Session, DetectionAndPhyGates)
{
    const image_plan_t raw = image_plan_default();
    run_rows({
        {raw, {{SUB_SYS_ID_ADDR, 0x01105201}}, "2\n0\n", "@R" P GATE(E, "INNER Phy") P},
        {raw, {{SUB_SYS_ID_ADDR, 0x01206004}}, "2\n", "@R" P INNER END, {}, 255},
        {raw, {{SUB_SYS_ID_ADDR, 0x10015204}}, "4\n0\n", "@V" P GATE(M, "INNER Phy") P},
        {board(0, 0x63), {}, "2\n0\n", "@V" P GATE(I, "YT Phy") P},
        {board(1, 0xF3), {}, "2\n0\n", "@R" "phy id unknown\n" P GATE(E, "INNER Phy") P},
        {board(1, 0x45), {}, "2\n", "@R" P INNER END, {}, 255},
        {raw, {}, "2\n0\n", "@V" P SID_ERASED GATE(I, "YT Phy") P SID_ERASED},
        // Each family-0 gate passes its classes and refuses the others.
        {board(0, 0x80), {}, "2\n3\n4\n6\n0\n", "@V" P GATE(O, "YT Phy") P GATE(O, "MV Phy")
         P GATE(O, "INNER Phy") P GATE(O, "MV Phy(0x52)") P},
        {board(0, 0x60), {}, "3\n4\n6\n2\n", "@V" P GATE(Y, "MV Phy") P GATE(Y, "INNER Phy")
         P GATE(Y, "MV Phy(0x52)") P "Please input config val of YT Phy LED0 :" END, {}, 255},
        {board(0, 0x50), {}, "2\n4\n6\n3\n", "@V" P GATE(F, "YT Phy") P GATE(F, "INNER Phy")
         P GATE(F, "MV Phy(0x52)") P MV_LED END, {}, 255},
        {board(0, 0x51), {}, "2\n4\n6\n3\n", "@V" P GATE(C, "YT Phy") P GATE(C, "INNER Phy")
         P GATE(C, "MV Phy(0x52)") P MV_LED END, {}, 255},
        {board(0, 0x52), {}, "2\n4\n3\n", "@V" P GATE(M, "YT Phy") P GATE(M, "INNER Phy") P MV_LED END,
         {}, 255},
        {B, {}, "2\n3\n6\n4\n", "@V" P GATE(I, "YT Phy") P GATE(I, "MV Phy") P GATE(I, "MV Phy(0x52)")
         P INNER END, {}, 255},
    });
}

TEST(Session, ConsoleInputAndDispatch)
{
    std::string many_in, many_out = "@V";  // a thousand refused numbers in a row
    for (int i = 0; i < 1000; i++, many_in += "13\n2\n")
        many_out += P R8 P GATE(I, "YT Phy");
    run_rows({
        {B, {}, "5\n0X1f\nN\n0\n", "@V" P G DONE(1f) Q OFF P, GPIO_1F_OFF},
        {B, {}, "5\n1231F rest of line\nY\n0\n", "@V" P G DONE(231f) Q ON P,
         {{GPIO_CFG_ADDR, 0x231F}, {OEM_CFG_ADDR, 0x155AA}}},
        {B, {}, "5\nxyz\nfffffffe\nno number\n100000000\n-ffffffff\nffffffff\n\n\n  1f\nn\n0\n",
         "@V" P G NEG(-1) G NEG(-2) G NEG(-2) G RANGE G RANGE G NEG(-1) G DONE(1f) Q OFF P, GPIO_1F_OFF},
        // The empty answer's discard swallows "n" too, so "yes" answers.
        {B, {}, "5\n1f\n\nn\nyes\n0\n",
         "@V" P G DONE(1f) Q "Illegal input, Please input 'Y' or 'N'\n" Q ON P, GPIO_1F_ON},
        {B, {}, "abc 5\n\n\n 0\n", "@V" P "Illegal input!!!\n" P},
        {B, {}, "4294967301\n-2147483649\n0\n", "@V" P R8 P R8 P},
        {B, {}, "", "@V" P MENU_END, {}, 255},
        {B, {}, "5\nxyz", "@V" P G NEG(-1) G END, {}, 255},
        {B, {}, "5\n1f\n", "@V" P G DONE(1f) Q END, {}, 255},
        {board(1, 0x10), {}, "7 8\n0\n", "@R" P R4 P R4 P},
        {B, {}, "13 8\n-3\n0\n", "@V" P R8 P "@V\n" P R8 P},
        {board(1, 0x30), {}, "7\n12\n-3\n4\n2\n", "@R" P R4 P R4 P R4 P "@R\n" P INNER END, {}, 255},
        // The board record's diagnostics follow every family-0 menu number.
        {image_plan_default(), {}, "x\n13\n8\n2\n0\n", "@V" P "Illegal input!!!\n" P SID_ERASED R8
         P SID_ERASED "@V\n" P SID_ERASED GATE(I, "YT Phy") P SID_ERASED},
        {board(0, 0x10, 5), {}, "4\n", "@V" P PORTS(5) INNER END, {}, 255},
        {board(0, 0x10, 0), {}, "13\n0\n", "@V" P PORTS(0) R8 P PORTS(0)},
        {board(1, 0x10, 0), {}, "4\n0\n", "@R" P "@R\n" P},  // family 1 keeps no record
        // Few enough descriptors that a stream left open per cycle runs out.
        {B, {}, many_in + "0\n", many_out + P, {}, 0, {"-f", "@"}, 0, {RLIMIT_NOFILE, 128}},
    });
}
