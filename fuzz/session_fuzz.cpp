// Whole sessions in-process. Input: byte 0 bit 0 patterned, bits 1-2 sub-system id (erased,
// family 0, family 1 as either id), bits 3-4 preset words; byte 1 PHY code; byte 2 the id's low
// byte; bytes 3-4 the image call to fail (bits 0-1: error, half a write, death, death and power
// cut); per preset word a selector and a value; the rest typed. Status 0, or -1, or 1 after a
// failure the output tells; nothing outside the owned words changed; no descriptor left; no
// journal at a prompt; a failed command undone by the next prompt; after a death, or a power cut,
// one start gives the owned words of one of the last two prompts.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "image_gen.h"
#include "sys_fault.h"

// The image a file in a private directory (in memory where /dev/shm is), seen through a shared
// mapping; what a power cut keeps is the fault seam's to say. Removed at the end, or on a failure.
static std::string s_dir, s_path, s_journal;
static uint8_t *s_image;
static void clean(void)
{
    unlink(s_journal.c_str()), unlink(s_path.c_str()), rmdir(s_dir.c_str());
}

static char s_case[300];  // the replay's input and fault, said with a failed invariant
#define MUST(ok) ((ok) ? (void)0 : (fprintf(stderr, "%s: %s\n", s_case, #ok), clean(), abort()))

typedef std::vector<uint8_t> bytes_t;
static const size_t OWNED[][2] = {{IMG_HEADER_ADDR, IMG_HEADER_WORDS *IMG_WORD_SIZE},
                                  {LLDP_START_ADDR, LLDP_START_ADDR + IMG_WORD_SIZE},
                                  {OEM_CFG_ADDR, OEM_CFG_END_ADDR + IMG_WORD_SIZE}};
static std::string s_since;                // output since the last prompt
static unsigned long s_fail_at;            // the failing call (img_calls() numbering), 0: none
static bool s_checked, s_said;             // the undo after the failure checked; it was told
static bytes_t s_last, s_prev, s_flushed;  // owned bytes at the last two prompts and last output

static bool journal(void)
{
    return access(s_journal.c_str(), F_OK) == 0;
}

static bytes_t owned(void)
{
    bytes_t o;
    for (const auto &r : OWNED)
        o.insert(o.end(), s_image + r[0], s_image + r[1]);
    return o;
}

static bool fired(void)
{
    return s_fail_at != 0 && img_calls() >= s_fail_at;
}

static void check_undone(void)
{
    s_checked = true;
    MUST(s_since.find("could not be restored") != std::string::npos || owned() == s_last);
}

static ssize_t on_output(void *, const char *buf, size_t n)
{
    s_since.append(buf, n);
    s_said = s_said || (fired() && s_since.find("[Error] Fail to ") != std::string::npos);
    const bool prompt = s_since.ends_with("\nInput your number:");
    if (!fired() && (prompt || s_since.ends_with("\n")))  // a command's output ends with one
        s_flushed = owned();
    if (prompt) {
        MUST(fired() || !journal());
        if (!fired())
            s_prev = s_last, s_last = s_flushed;
        else if (!s_checked)
            check_undone();
        s_since.clear();
    }
    return (ssize_t)n;
}

static int run(const std::string &typed)
{
    char arg0[] = "norvask_oem_tool", arg1[] = "-f", *argv[] = {arg0, arg1, s_path.data(), nullptr};
    int fd = memfd_create("typed", 0);
    MUST(pwrite(fd, typed.data(), typed.size(), 0) == (ssize_t)typed.size());
    MUST(dup2(fd, STDIN_FILENO) == 0 && close(fd) == 0);
    int status = oem_tool_main(3, argv);
    fflush(stdout);
    return status;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
    s_dir = std::string(tmp ? tmp : "/tmp") + "/norvask_fuzz.XXXXXX";
    MUST(mkdtemp(s_dir.data()) != nullptr);
    s_path = s_dir + "/image", s_journal = s_path + JOURNAL_SUFFIX;
    int fd = open(s_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    MUST(fd >= 0 && ftruncate(fd, IMAGE_FULL_SIZE) == 0);
    s_image = (uint8_t *)mmap(nullptr, IMAGE_FULL_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    MUST(s_image != MAP_FAILED && close(fd) == 0);
    atexit(clean);
    static char buf[1 << 16];
    stdout = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, on_output, nullptr, nullptr});
    MUST(stdout != nullptr && setvbuf(stdout, buf, _IOFBF, sizeof buf) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t pos = 0;
    auto take = [&](int n) {  // n bytes little-endian, zeros past the end
        uint32_t v = 0;
        for (int i = 0; i < n; i++, pos++)
            v |= (uint32_t)(pos < size ? data[pos] : 0) << (8 * i);
        return v;
    };
    const uint32_t flags = take(1), phy = take(1), low = take(1), fault = take(2),
                   sid = flags >> 1 & 3;
    // Each board's image built once; the cache emptied now and then, to stay within memory.
    static std::map<uint32_t, bytes_t> s_boards;
    static bytes_t before;
    if (s_boards.size() >= 64)
        s_boards.clear();
    auto [board, fresh] = s_boards.try_emplace((flags & 7) | phy << 3 | low << 11);
    if (fresh) {
        image_plan_t plan = image_plan_default();
        plan.pattern = flags & 1, plan.has_sid = sid != 0, plan.phy_code = phy;
        plan.device_id = sid < 2    ? image_device_id(Vantrel)
                         : sid == 2 ? MR_DEVICE_ID_A
                                    : MR_DEVICE_ID_B;
        plan.ports = low & SID_PORT_NUM_FIELD, plan.wol = low & SID_WOL_BIT,
        plan.ncsi = low & SID_NCSI_BIT;
        board->second = image_build(&plan);
    }
    before = board->second;
    // Preset words: OEM area, LLDP, templates, port mask.
    for (uint32_t n = flags >> 3 & 3; n > 0; n--) {
        static const uint32_t at[4] = {OEM_CFG_ADDR, LLDP_START_ADDR, ENABLE_FOUR_PORTS,
                                       PORT_MASK_ADDR};
        static const uint32_t words[4] = {11, 1, 4 * IMG_HEADER_WORDS, 1};
        uint32_t sel = take(2), val = take(4);  // in host order: any value will do
        memcpy(&before[at[sel % 4] + IMG_WORD_SIZE * (sel / 4 % words[sel % 4])], &val,
               IMG_WORD_SIZE);
    }
    pos = std::min(pos, size);
    memcpy(s_image, before.data(), IMAGE_FULL_SIZE);  // of this size: the last run checked
    unlink(s_journal.c_str());
    img_track_durability(true);
    s_checked = s_said = false, s_since.clear(), s_last = s_prev = owned();
    s_fail_at = fault >> 2 == 0 ? 0 : img_calls() + (fault >> 2);
    const bool dies = (fault & 3) >= 2;
    img_fault_after(fault >> 2, dies        ? IMG_FAULT_STUCK
                                : fault & 1 ? IMG_FAULT_PARTIAL
                                            : IMG_FAULT_ERROR);
    int status = run(std::string((const char *)data + pos, size - pos));
    img_fault_clear();
    if (dies && fired() && (fault & 3) == 3)
        img_power_cut([](int, void *) { return FATE_DROP; }, nullptr);
    // One start after a death, or after a command whose journal could not be removed, undoes it;
    // a death once the journal's entry went keeps the command whole.
    if (const bool left = journal(); (dies && fired()) || left) {
        s_checked = true;
        const std::string said = s_since;
        MUST(run("0\n") == 0);
        s_since = said;
        MUST(owned() == s_last || owned() == s_prev || (dies && !left && owned() == s_flushed));
        MUST(!journal());
        status = -1;
    }
    if (fired() && !s_checked)
        check_undone();
    MUST(status == -1 || status == (fired() ? 1 : 0));
    MUST(s_said || !fired() || status == -1);
    // The image with its owned bytes put back is the one before.
    struct stat st;
    MUST(stat(s_path.c_str(), &st) == 0 && st.st_size == IMAGE_FULL_SIZE);
    for (const auto &o : OWNED)
        memcpy(s_image + o[0], before.data() + o[0], o[1] - o[0]);
    MUST(memcmp(s_image, before.data(), IMAGE_FULL_SIZE) == 0);
    MUST(img_open_fds() == 0);
    return 0;
}

#ifdef NORVASK_REPLAY
#include <fstream>

// Without libFuzzer (ctest): each input as it is; one without a fault then with each image call of
// its run failing, half written, the process dying there, and dying in a power cut.
int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; i++) {
        std::ifstream f(argv[i], std::ios::binary);
        std::string in{std::istreambuf_iterator<char>(f), {}};
        snprintf(s_case, sizeof s_case, "%s", argv[i]);
        LLVMFuzzerTestOneInput((const uint8_t *)in.data(), in.size());
        if (in.size() > 4 && (in[3] || in[4]))
            continue;                               // a fault of its own: a hard case, as it is
        in.resize(std::max(in.size(), (size_t)5));  // as read: zeros past the end
        in[3] = in[4] = 0;
        const unsigned long before = img_calls();
        LLVMFuzzerTestOneInput((const uint8_t *)in.data(), in.size());
        for (unsigned long n = 1, calls = img_calls() - before; n <= calls; n++)
            for (char mode = 0; mode < 4; mode++) {
                in[3] = (char)(n << 2 | (unsigned long)mode), in[4] = (char)(n >> 6);
                snprintf(s_case, sizeof s_case, "%s, call %lu failing in mode %d", argv[i], n,
                         mode);
                LLVMFuzzerTestOneInput((const uint8_t *)in.data(), in.size());
            }
    }
    return 0;
}
#endif
