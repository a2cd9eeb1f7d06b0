// Whole sessions in-process. Input: byte 0 bit 0 patterned background, bits 1-2 sub-system id
// (erased, family 0, family 1 as 0x1001 or 0x2001), bits 3-4 number of preset words; byte 1 the
// OEM PHY code; byte 2 the id's low byte (ports, WOL, NCSI); bytes 3-4 the image call to fail
// (bit 0 a half-written block instead of an I/O error, the rest the call's number in the run, 0
// none); per preset word a 16-bit selector and a 32-bit value; the rest is typed.
// A run must end with status 0, 1 (only after a failure) or -1, keep the image's size and every
// byte outside the header block, the LLDP word and the OEM area, and leave no fd on it. The
// failed call's command is undone: the owned bytes at the first menu prompt after the failure
// (or at the end of the run) are those at the last prompt before it, unless the run said the
// image could not be restored.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "image_gen.h"
#include "norvask-oem-cfg.h"

static const size_t IMAGE_BYTES = IMAGE_FULL_SIZE;
static const size_t kept[][2] = {{IMG_HEADER_WORDS * IMG_WORD_SIZE, LLDP_START_ADDR},
                                 {LLDP_START_ADDR + IMG_WORD_SIZE, OEM_CFG_ADDR},
                                 {OEM_CFG_END_ADDR + IMG_WORD_SIZE, IMAGE_BYTES}};
static const size_t owned[][2] = {{IMG_HEADER_ADDR, IMG_HEADER_WORDS * IMG_WORD_SIZE},
                                  {LLDP_START_ADDR, LLDP_START_ADDR + IMG_WORD_SIZE},
                                  {OEM_CFG_ADDR, OEM_CFG_END_ADDR + IMG_WORD_SIZE}};
static std::string s_img, s_in;  // the image and the typed input

// The run's view from standard output: at every menu prompt the previous command is complete or
// undone, so the owned bytes are read there.
static struct {
    int fd;                    // the image, read on the side
    unsigned long fail_at;     // the absolute number of the failing call, 0: none
    bool checked;              // the first prompt after the failure has been seen
    std::string since;         // output since the last prompt
    std::vector<uint8_t> last; // owned bytes at the last prompt before the failure
} s_run;

static std::vector<uint8_t> owned_bytes(void)
{
    std::vector<uint8_t> b;
    for (const auto &o : owned) {
        size_t at = b.size();
        b.resize(at + o[1] - o[0]);
        if (pread(s_run.fd, b.data() + at, o[1] - o[0], (off_t)o[0]) != (ssize_t)(o[1] - o[0]))
            abort();
    }
    return b;
}

static bool fault_fired(void)
{
    return s_run.fail_at != 0 && img_calls() >= s_run.fail_at;
}

// The owned bytes must be as before the failed command, unless the run said otherwise.
static void check_undone(void)
{
    if (s_run.since.find("could not be restored") == std::string::npos && owned_bytes() != s_run.last)
        abort();
    s_run.checked = true;
}

static ssize_t on_output(void *, const char *buf, size_t n)
{
    static const std::string prompt = "\nInput your number:";
    s_run.since.append(buf, n);
    if (s_run.since.ends_with(prompt)) {
        if (!fault_fired())
            s_run.last = owned_bytes();
        else if (!s_run.checked)
            check_undone();
        s_run.since.clear();
    }
    return (ssize_t)n;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    s_img = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/norvask-fuzz-") +
            std::to_string(getpid()) + ".img";
    s_in = s_img + ".in";
    static char buf[1 << 16];
    stdout = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, on_output, nullptr, nullptr});
    if (stdout == nullptr || setvbuf(stdout, buf, _IOFBF, sizeof buf) != 0)
        abort();
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
    uint32_t flags = take(1), code = take(1), low = take(1), sid = flags >> 1 & 3, fault = take(2);
    // Building a megabyte costs more than most sessions: backgrounds are kept.
    static std::map<uint32_t, std::vector<uint8_t>> s_base;
    if (s_base.size() >= 32)
        s_base.clear();
    static std::vector<uint8_t> before, after(IMAGE_BYTES + 1);
    std::vector<uint8_t> &base = s_base[(flags & 7) << 16 | code << 8 | low];
    if (base.empty()) {
        image_plan_t plan = image_plan_default();
        plan.pattern = flags & 1;
        plan.has_sid = sid != 0;
        plan.device_id = sid < 2 ? image_device_id(Vantrel) : sid == 2 ? MR_DEVICE_ID_A : MR_DEVICE_ID_B;
        plan.phy_code = code;
        plan.ports = low & SID_PORT_NUM_FIELD;
        plan.wol = low & SID_WOL_BIT;
        plan.ncsi = low & SID_NCSI_BIT;
        base = image_build(&plan);
    }
    // Preset words go where the tool looks: the OEM area, the LLDP word, the
    // port-count templates and the header's port mask.
    before = base;
    for (uint32_t n = flags >> 3 & 3; n > 0; n--) {
        static const uint32_t at[4] = {OEM_CFG_ADDR, LLDP_START_ADDR, ENABLE_FOUR_PORTS, PORT_MASK_ADDR};
        static const uint32_t words[4] = {11, 1, 4 * IMG_HEADER_WORDS, 1};
        uint32_t sel = take(2), val = take(4);  // in host order: any value will do
        memcpy(&before[at[sel % 4] + IMG_WORD_SIZE * (sel / 4 % words[sel % 4])], &val, IMG_WORD_SIZE);
    }
    pos = std::min(pos, size);
    std::ofstream(s_img, std::ios::binary).write((const char *)before.data(), (std::streamsize)before.size());
    std::ofstream(s_in, std::ios::binary).write((const char *)data + pos, (std::streamsize)(size - pos));
    if (freopen(s_in.c_str(), "rb", stdin) == nullptr)
        abort();

    char arg0[] = "norvask_oem_tool", arg1[] = "-f";
    char *argv[] = {arg0, arg1, s_img.data(), nullptr};
    s_run.fd = open(s_img.c_str(), O_RDONLY | O_CLOEXEC);
    s_run.checked = false;
    s_run.since.clear();
    s_run.last = owned_bytes();
    s_run.fail_at = fault >> 1 == 0 ? 0 : img_calls() + (fault >> 1);
    img_fault_after(fault >> 1, fault & 1 ? IMG_FAULT_PARTIAL : IMG_FAULT_ERROR);
    int status = oem_tool_main(3, argv);
    img_fault_clear();
    fflush(stdout);
    if (fault_fired() && !s_run.checked)
        check_undone();
    close(s_run.fd);
    std::streamsize got =  // the stream is closed again at the end of the statement
        std::ifstream(s_img, std::ios::binary)
            .read((char *)after.data(), (std::streamsize)after.size())
            .gcount();
    // A failure is always told; status 1 only after one.
    if (status != -1 && status != (fault_fired() ? 1 : 0))
        abort();
    if (got != (std::streamsize)IMAGE_BYTES)
        abort();  // the image changed size
    for (const auto &k : kept)
        if (memcmp(after.data() + k[0], before.data() + k[0], k[1] - k[0]) != 0)
            abort();
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd", ec))
        if (std::filesystem::read_symlink(e.path(), ec) == s_img)
            abort();  // a stream or the lock left open on the image
    unlink(s_img.c_str());  // a failed run keeps its files for a look
    unlink(s_in.c_str());
    return 0;
}
