// Whole sessions in-process. Input: byte 0 bit 0 patterned, bits 1-2 sub-system id (erased, family
// 0, family 1 as either id), bits 3-4 preset words; byte 1 PHY code; byte 2 the id's low byte;
// bytes
// 3-4 the image call to fail (bits 0-1: error, half a write, death); per preset word a selector and
// a value; the rest typed. Status 0, or 1 after a failure; nothing outside the owned words changed;
// no fd left; no journal at a prompt; a failed command undone by the next prompt; after a death one
// start gives the owned words of one of the last two prompts.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "image_gen.h"
#include "sys_fault.h"

#define MUST(ok) ((ok) ? (void)0 : abort())  // the files kept for a look

typedef std::vector<uint8_t> bytes_t;
static const size_t OWNED[][2] = {{IMG_HEADER_ADDR, IMG_HEADER_WORDS *IMG_WORD_SIZE},
                                  {LLDP_START_ADDR, LLDP_START_ADDR + IMG_WORD_SIZE},
                                  {OEM_CFG_ADDR, OEM_CFG_END_ADDR + IMG_WORD_SIZE}};
static std::string s_img, s_journal, s_since;  // s_since: output since the last prompt
static unsigned long s_fail_at;                // the failing call (img_calls() numbering), 0: none
static bool s_checked;                         // the undo after the failure has been checked
static bytes_t s_last, s_prev, s_flushed;  // owned bytes at the last two prompts and last output

static bytes_t owned(void)
{
    std::ifstream f(s_img, std::ios::binary);
    bytes_t o;
    for (const auto &r : OWNED) {
        o.resize(o.size() + r[1] - r[0]);
        f.seekg((long)r[0]).read((char *)o.data() + o.size() - (r[1] - r[0]), long(r[1] - r[0]));
    }
    return o;
}

static bool fired(void)
{
    return s_fail_at != 0 && img_calls() >= s_fail_at;
}

// A command whose output was complete when its journal could not be removed may stay done.
static bool done_kept(void)
{
    return s_since.ends_with("[Error] Fail to write file!\n") && owned() == s_flushed;
}

static void check_undone(void)
{
    s_checked = true;
    MUST(s_since.find("could not be restored") != std::string::npos || owned() == s_last ||
         done_kept());
}

static ssize_t on_output(void *, const char *buf, size_t n)
{
    s_since.append(buf, n);
    const bool prompt = s_since.ends_with("\nInput your number:");
    if (!fired() && (prompt || s_since.ends_with("\n")))  // a command's output ends with one
        s_flushed = owned();
    if (prompt) {
        MUST(fired() || access(s_journal.c_str(), F_OK) != 0);
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
    char arg0[] = "norvask_oem_tool", arg1[] = "-f", *argv[] = {arg0, arg1, s_img.data(), nullptr};
    std::ofstream(s_img + ".in", std::ios::binary) << typed;
    MUST(freopen((s_img + ".in").c_str(), "rb", stdin) != nullptr);
    int status = oem_tool_main(3, argv);
    fflush(stdout);
    return status;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    s_img = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/norvask-fuzz-") +
            std::to_string(getpid()) + ".img";
    s_journal = s_img + ".norvask-journal";
    static char buf[1 << 16];
    stdout = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, on_output, nullptr, nullptr});
    MUST(stdout != nullptr);
    MUST(setvbuf(stdout, buf, _IOFBF, sizeof buf) == 0);
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
    static uint32_t s_key = ~0u;  // the base image built once for each board in a row
    static bytes_t s_base;
    if (uint32_t key = (flags & 7) | phy << 3 | low << 11; key != s_key) {
        image_plan_t plan = image_plan_default();
        plan.pattern = flags & 1, plan.has_sid = sid != 0, plan.phy_code = phy;
        plan.device_id = sid < 2    ? image_device_id(Vantrel)
                         : sid == 2 ? MR_DEVICE_ID_A
                                    : MR_DEVICE_ID_B;
        plan.ports = low & SID_PORT_NUM_FIELD, plan.wol = low & SID_WOL_BIT,
        plan.ncsi = low & SID_NCSI_BIT;
        s_base = image_build(&plan), s_key = key;
    }
    bytes_t before = s_base;  // preset words: OEM area, LLDP, templates, port mask
    for (uint32_t n = flags >> 3 & 3; n > 0; n--) {
        static const uint32_t at[4] = {OEM_CFG_ADDR, LLDP_START_ADDR, ENABLE_FOUR_PORTS,
                                       PORT_MASK_ADDR};
        static const uint32_t words[4] = {11, 1, 4 * IMG_HEADER_WORDS, 1};
        uint32_t sel = take(2), val = take(4);  // in host order: any value will do
        memcpy(&before[at[sel % 4] + IMG_WORD_SIZE * (sel / 4 % words[sel % 4])], &val,
               IMG_WORD_SIZE);
    }
    pos = std::min(pos, size);
    std::ofstream(s_img, std::ios::binary).write((const char *)before.data(), (long)before.size());
    s_checked = false, s_since.clear(), s_last = s_prev = owned();
    s_fail_at = fault >> 2 == 0 ? 0 : img_calls() + (fault >> 2);
    const bool dies = (fault & 3) == 2;
    img_fault_after(fault >> 2, dies        ? IMG_FAULT_STUCK
                                : fault & 1 ? IMG_FAULT_PARTIAL
                                            : IMG_FAULT_ERROR);
    int status = run(std::string((const char *)data + pos, size - pos));
    img_fault_clear();
    // One start after a death, or after a command whose journal could not be removed, undoes it.
    if ((dies && fired()) || access(s_journal.c_str(), F_OK) == 0) {
        s_checked = true;
        const std::string said = s_since;
        MUST(run("0\n") == 0);
        s_since = said;
        MUST(owned() == s_last || owned() == s_prev || done_kept());
        MUST(access(s_journal.c_str(), F_OK) != 0);
        status = -1;
    }
    if (fired() && !s_checked)
        check_undone();
    MUST(status == -1 || status == (fired() ? 1 : 0));
    // The image with its owned bytes put back is the one before.
    std::ifstream f(s_img, std::ios::binary | std::ios::ate);
    bytes_t after((size_t)f.tellg());
    f.seekg(0).read((char *)after.data(), (long)after.size());
    f.close();
    MUST(after.size() == before.size());
    for (const auto &o : OWNED)
        memcpy(after.data() + o[0], before.data() + o[0], o[1] - o[0]);
    MUST(after == before);
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd", ec))
        MUST(std::filesystem::read_symlink(e.path(), ec) != s_img);  // a stream or the lock left
    unlink(s_img.c_str()), unlink((s_img + ".in").c_str()), unlink(s_journal.c_str());
    return 0;
}
