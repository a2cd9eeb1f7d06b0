#include "image_gen.h"

typedef struct {
    int family;
    const char *name;
    uint32_t phy_code;
} phy_name_t;

static const phy_name_t PHY_NAMES[] = {
    {0, "inner", 0x10}, {0, "yt", 0x60},    {0, "mv-fiber", 0x50}, {0, "mv-copper", 0x51},
    {0, "mv", 0x52},    {0, "other", 0x80}, {1, "copper", 0x10},   {1, "fiber", 0x30},
};

uint32_t image_device_id(int family)
{
    return family == Mirolane ? MR_DEVICE_ID_A : VN_DEVICE_ID;
}

image_plan_t image_plan_default(void)
{
    image_plan_t plan{};
    plan.ports = MAX_PORT_NUM;
    plan.size = IMAGE_FULL_SIZE;
    return plan;
}

uint32_t image_sid(const image_plan_t *plan)
{
    if (!plan->has_sid)
        return INVALID_ID;
    uint32_t dev = plan->device_id & 0xFFFF;
    return ((dev >> 8) << 16) | ((dev & 0xFF) << 24) | ((plan->phy_code & 0xFF) << 8) |
           (plan->ncsi ? SID_NCSI_BIT : 0) | (plan->wol ? SID_WOL_BIT : 0) |
           (plan->ports & SID_PORT_NUM_FIELD);
}

// A pattern no erased or zeroed region can mimic, different in every byte
// of a word and in neighbouring words.
uint8_t image_pattern_byte(uint32_t offset)
{
    return (uint8_t)((offset * 37u) ^ (offset >> 8) ^ 0x5Au);
}

static void put_word(std::vector<uint8_t> &img, uint32_t addr, uint32_t val)
{
    if (addr + 4 > img.size())
        return;
    for (unsigned i = 0; i < 4; i++)
        img[addr + i] = (uint8_t)(val >> (8 * i));
}

// A port count outside 1 to 4 gets the mask of every port.
static uint32_t mask_of_ports(uint32_t ports)
{
    return ports >= 1 && ports <= MAX_PORT_NUM ? port_count_mask(ports)
                                               : port_count_mask(MAX_PORT_NUM);
}

std::vector<uint8_t> image_build(const image_plan_t *plan)
{
    std::vector<uint8_t> img(IMAGE_FULL_SIZE, 0xFF);
    if (plan->pattern)
        for (uint32_t i = 0; i < IMAGE_FULL_SIZE; i++)
            img[i] = image_pattern_byte(i);
    // Words the tool owns start erased: the OEM area and the LLDP word.
    for (uint32_t a = OEM_CFG_ADDR; a <= OEM_CFG_END_ADDR; a += 4)
        put_word(img, a, INVALID_ID);
    put_word(img, LLDP_START_ADDR, INVALID_ID);
    put_word(img, IMG_HEADER_ADDR, IMG_HEADER);
    put_word(img, PORT_MASK_ADDR, plan->port_mask ? plan->port_mask : mask_of_ports(plan->ports));
    for (uint32_t ports = 1; ports <= MAX_PORT_NUM; ports++) {
        put_word(img, PORT_TEMPLATES[ports - 1], IMG_HEADER);
        put_word(img, PORT_TEMPLATES[ports - 1] + PORT_MASK_ADDR, mask_of_ports(ports));
    }
    put_word(img, SUB_SYS_ID_ADDR, image_sid(plan));
    for (const auto &w : plan->words)
        put_word(img, w.first, w.second);
    img.resize(plan->size, 0xFF);
    return img;
}

bool image_phy_by_name(int family, const std::string &name, uint32_t *device_id, uint32_t *phy_code)
{
    for (const phy_name_t &p : PHY_NAMES) {
        if (p.family == family && name == p.name) {
            *device_id = image_device_id(family);
            *phy_code = p.phy_code;
            return true;
        }
    }
    return false;
}

std::string image_phy_names(int family)
{
    std::string names;
    for (const phy_name_t &p : PHY_NAMES)
        if (p.family == family)
            names += (names.empty() ? "" : ", ") + std::string(p.name);
    return names;
}
