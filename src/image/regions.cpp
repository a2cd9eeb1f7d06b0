// The parts of the image the tool reads or writes: each is read whole on
// first use, and kept whole by the undo record and the journal.
#include "norvask-oem-cfg.h"

static const struct {
    uint32_t start, len;
} REGIONS[] = {
    {IMG_HEADER_ADDR, IMG_HEADER_WORDS *IMG_WORD_SIZE},
    {ENABLE_FOUR_PORTS, MAX_PORT_NUM *IMG_HEADER_WORDS *IMG_WORD_SIZE},
    {LLDP_START_ADDR, IMG_WORD_SIZE},
    {OEM_CFG_ADDR, OEM_CFG_END_ADDR + IMG_WORD_SIZE - OEM_CFG_ADDR},
    {SUB_SYS_ID_ADDR, IMG_WORD_SIZE},
};
static_assert(sizeof REGIONS / sizeof REGIONS[0] == IMG_NREGIONS);

uint32_t img_region_start(int i)
{
    return REGIONS[i].start;
}

uint32_t img_region_len(int i)
{
    return REGIONS[i].len;
}

int img_region_index(uint32_t addr, uint32_t len)
{
    for (int i = 0; i < IMG_NREGIONS; i++)
        if (addr >= REGIONS[i].start && len <= REGIONS[i].len &&
            addr - REGIONS[i].start <= REGIONS[i].len - len)
            return i;
    return -1;
}
