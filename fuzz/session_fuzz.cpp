// Whole sessions in-process. Input: byte 0 bit 0 patterned background, bits 1-2 sub-system id (erased,
// family 0, family 1 as 0x1001 or 0x2001), bits 3-4 preset words; byte 1 PHY code; byte 2 the id's low
// byte; bytes 3-4 the image call to fail (bits 0-1: an I/O error, half-written, or the process dies
// there: that call and every later one reach nothing); per preset word a 16-bit selector and a value;
// the rest is typed. The run ends with status 0, 1 (only after a failure) or -1, no byte outside the
// owned words changed, no fd left; the failed command is undone: the owned bytes at the next prompt (or
// the end) are those at the last before it, unless they could not be restored; no journal at a prompt.
// After a death, one start recovers from the journal: the owned bytes are those at one of the last two
// prompts, no journal left.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "image_gen.h"
#include "sys_fault.h"

#define MUST(ok) ((ok) ? (void)0 : abort())  // a failed run keeps its files for a look

typedef std::vector<uint8_t> bytes_t;
static const size_t owned[][2] = {{IMG_HEADER_ADDR, IMG_HEADER_WORDS *IMG_WORD_SIZE},
                                  {LLDP_START_ADDR, LLDP_START_ADDR + IMG_WORD_SIZE},
                                  {OEM_CFG_ADDR, OEM_CFG_END_ADDR + IMG_WORD_SIZE}};
static std::string s_img, s_since;  // the image; output since the last prompt
static unsigned long s_fail_at;     // the run's failing call (img_calls() numbering), 0: none
static bool s_checked;              // the first prompt after the failure has been seen
static bytes_t s_last, s_prev;      // owned bytes at the last two prompts before the failure
static bytes_t s_flushed;           // owned bytes at the last output before the failure

static bytes_t read_image(bool owned_only)
{  // on the side
    std::ifstream f(s_img, std::ios::binary | std::ios::ate);
    bytes_t b((size_t)f.tellg()), o;
    f.seekg(0).read((char *)b.data(), (std::streamsize)b.size());
    for (const auto &r : owned)
        o.insert(o.end(), b.begin() + (long)r[0], b.begin() + (long)r[1]);
    return owned_only ? o : b;
}

static bool fault_fired()
{
    return s_fail_at != 0 && img_calls() >= s_fail_at;
}

static void check_undone()
{
    // A command whose journal could not be removed after its output stays done.
    MUST(s_since.find("could not be restored") != std::string::npos || read_image(true) == s_last ||
         (s_since.ends_with("[Error] Fail to write file!\n") && read_image(true) == s_flushed));
}

// At every menu prompt the previous command is complete or undone.
static ssize_t on_output(void *, const char *buf, size_t n)
{
    s_since.append(buf, n);
    const bool prompt = s_since.ends_with("\nInput your number:");
    if (!fault_fired() &&
        (prompt || s_since.ends_with("\n")))  // a command's output ends with a newline
        s_flushed = read_image(true);
    if (prompt) {
        // No journal at a prompt: the command before it stays done whatever happens now.
        MUST(fault_fired() || access((s_img + ".norvask-journal").c_str(), F_OK) != 0);
        if (!fault_fired())
            s_prev = s_last, s_last = s_flushed;
        else if (!s_checked)
            check_undone(), s_checked = true;
        s_since.clear();
    }
    return (ssize_t)n;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    s_img = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/norvask-fuzz-") +
            std::to_string(getpid()) + ".img";
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
    image_plan_t plan = image_plan_default();
    uint32_t flags = take(1), sid = flags >> 1 & 3;
    plan.pattern = flags & 1, plan.has_sid = sid != 0, plan.phy_code = take(1);
    plan.device_id = sid < 2    ? image_device_id(Vantrel)
                     : sid == 2 ? MR_DEVICE_ID_A
                                : MR_DEVICE_ID_B;
    uint32_t low = take(1), fault = take(2);
    plan.ports = low & SID_PORT_NUM_FIELD, plan.wol = low & SID_WOL_BIT,
    plan.ncsi = low & SID_NCSI_BIT;
    bytes_t before = image_build(&plan);  // preset words: OEM area, LLDP, templates, port mask
    for (uint32_t n = flags >> 3 & 3; n > 0; n--) {
        static const uint32_t at[4] = {OEM_CFG_ADDR, LLDP_START_ADDR, ENABLE_FOUR_PORTS,
                                       PORT_MASK_ADDR};
        static const uint32_t words[4] = {11, 1, 4 * IMG_HEADER_WORDS, 1};
        uint32_t sel = take(2), val = take(4);  // in host order: any value will do
        memcpy(&before[at[sel % 4] + IMG_WORD_SIZE * (sel / 4 % words[sel % 4])], &val,
               IMG_WORD_SIZE);
    }
    pos = std::min(pos, size);
    std::ofstream(s_img, std::ios::binary)
        .write((const char *)before.data(), (std::streamsize)before.size());
    std::ofstream(s_img + ".in", std::ios::binary)
        .write((const char *)data + pos, (std::streamsize)(size - pos));
    MUST(freopen((s_img + ".in").c_str(), "rb", stdin) != nullptr);

    char arg0[] = "norvask_oem_tool", arg1[] = "-f", *argv[] = {arg0, arg1, s_img.data(), nullptr};
    s_checked = false, s_since.clear(), s_last = s_prev = read_image(true);
    s_fail_at = fault >> 2 == 0 ? 0 : img_calls() + (fault >> 2);
    const bool dies = (fault & 3) == 2;
    img_fault_after(fault >> 2, dies        ? IMG_FAULT_STUCK
                                : fault & 1 ? IMG_FAULT_PARTIAL
                                            : IMG_FAULT_ERROR);
    int status = oem_tool_main(3, argv);
    img_fault_clear();
    fflush(stdout);
    // One start after a death, or after a command whose journal could not be removed: it undoes the command.
    if ((dies && fault_fired()) || access((s_img + ".norvask-journal").c_str(), F_OK) == 0) {
        s_checked = true;
        std::ofstream(s_img + ".in", std::ios::binary) << "0\n";
        MUST(freopen((s_img + ".in").c_str(), "rb", stdin) != nullptr);
        MUST(oem_tool_main(3, argv) == 0);
        fflush(stdout);
        bytes_t now = read_image(true);
        MUST((now == s_last || now == s_prev) &&
             access((s_img + ".norvask-journal").c_str(), F_OK) != 0);
        status = -1;
    }
    if (fault_fired() && !s_checked)
        check_undone();
    // Status 1 only after a failure; the image with its owned bytes put back is the one before.
    MUST(status == -1 || status == (fault_fired() ? 1 : 0));
    bytes_t after = read_image(false);
    MUST(after.size() == before.size());
    for (const auto &o : owned)
        memcpy(after.data() + o[0], before.data() + o[0], o[1] - o[0]);
    MUST(after == before);
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd", ec))
        MUST(std::filesystem::read_symlink(e.path(), ec) !=
             s_img);  // a stream or the lock left open on it
    unlink(s_img.c_str()), unlink((s_img + ".in").c_str()),
        unlink((s_img + ".norvask-journal").c_str());
    return 0;
}
