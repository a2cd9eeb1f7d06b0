// Whole sessions in-process. Input: byte 0 bit 0 patterned background, bits 1-2 sub-system id
// (erased, family 0, family 1 as 0x1001 or 0x2001), bits 3-4 number of preset words; byte 1 the
// OEM PHY code; byte 2 the id's low byte (ports, WOL, NCSI); per preset word a 16-bit selector and
// a 32-bit value; the rest is typed. A run must end with status 0 or -1, keep the image's size and
// every byte outside the header block, the LLDP word and the OEM area, and leave no fd on it.
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
static std::string s_img, s_in;  // the image and the typed input

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    s_img = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/norvask-fuzz-") +
            std::to_string(getpid()) + ".img";
    s_in = s_img + ".in";
    if (freopen("/dev/null", "w", stdout) == nullptr)
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
    uint32_t flags = take(1), code = take(1), low = take(1), sid = flags >> 1 & 3;
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
    int status = oem_tool_main(3, argv);
    std::streamsize got =  // the stream is closed again at the end of the statement
        std::ifstream(s_img, std::ios::binary)
            .read((char *)after.data(), (std::streamsize)after.size())
            .gcount();
    if ((status != 0 && status != -1) || got != (std::streamsize)IMAGE_BYTES)
        abort();  // a crash-free run that still failed, or the image changed size
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
