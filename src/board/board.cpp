// Board identification: chip family and PHY class from the sub-system id
// word, and the board configuration record.
#include "norvask-oem-cfg.h"

#include <cstring>

#define MSG_PHY_UNKNOWN "phy id unknown"  // at the dialogue's start and in show's warnings

sys_ctrl_t g_cfg;

// Device ids of the family-1 controllers.
const uint16_t mr_type[2] = {MR_DEVICE_ID_A, MR_DEVICE_ID_B};

// Family 0: OEM PHY code to PHY class; any other code is the inner PHY.
const phy_code_row_t vn_phy_codes[] = {
    {0x03, PHY_MV_FIBER}, {0x10, PHY_INNER},    {0x20, PHY_INNER},     {0x30, PHY_INNER},
    {0x40, PHY_INNER},    {0x50, PHY_MV_FIBER}, {0x51, PHY_MV_COPPER}, {0x52, PHY_MV},
    {0x60, PHY_YT},       {0x61, PHY_YT},       {0x62, PHY_YT},        {0x64, PHY_YT},
    {0x70, PHY_YT},       {0x80, PHY_OTHER},
};
const size_t vn_phy_codes_len = sizeof vn_phy_codes / sizeof vn_phy_codes[0];

// Family 1 classifies by the high nibble of the code; a nibble outside this
// table is unknown and treated as copper.
const phy_nibble_row_t mr_phy_nibbles[] = {
    {0x00, FIBER_PHY_ID}, {0x10, COPPER_PHY_ID}, {0x20, COPPER_PHY_ID}, {0x30, FIBER_PHY_ID},
    {0x40, FIBER_PHY_ID}, {0x50, COPPER_PHY_ID}, {0x60, FIBER_PHY_ID},
};
const size_t mr_phy_nibbles_len = sizeof mr_phy_nibbles / sizeof mr_phy_nibbles[0];

#define NAME_OF(x) #x
static_assert(Vantrel == 0 && Mirolane == 1, "family names are indexed by family");

const char *family_name(int family)
{
    static const char *const NAMES[] = {NAME_OF(Vantrel), NAME_OF(Mirolane)};
    return NAMES[family == Mirolane ? 1 : 0];
}

static uint8_t sid_phy_code(uint32_t sid)
{
    return (uint8_t)((sid >> SID_PHY_CODE_SHIFT) & SID_PHY_CODE_FIELD);
}

// The device id is stored high byte first: bits 16-23 are its high byte,
// bits 24-31 its low byte.
uint32_t sid_device_id(uint32_t sid)
{
    return ((sid & SID_DEV_HI_FIELD) >> 8) | (sid >> 24);
}

// Family 1 by its device ids; every other id, an erased word included, is
// family 0.
int sid_family(uint32_t sid)
{
    uint32_t type = sid_device_id(sid);
    for (uint16_t id : mr_type)
        if (type == id)
            return Mirolane;
    return Vantrel;
}

// A sub-system id that cannot be read leaves the family unknown: nothing is
// printed and the caller ends the run.
void check_chip_type(img_t *fp, const char *argv2, int *chip, char *phy)
{
    uint32_t sid;
    if (!rd_img(fp, SUB_SYS_ID_ADDR, &sid))
        return;
    int chip_type = sid_family(sid);
    if (chip_type == Mirolane) {
        mr_option_display(argv2);
        *phy = mr_load_oem_phy(fp);
    } else {
        vn_option_display(argv2);
        *phy = vn_load_oem_phy(fp);
    }
    *chip = chip_type;
}

// A word that cannot be read gives the class of an erased one; the caller
// sees the failure on the image and does not use it.
static uint32_t sid_or_erased(img_t *img)
{
    uint32_t sid = INVALID_ID;
    rd_img(img, SUB_SYS_ID_ADDR, &sid);
    return sid;
}

char vn_phy_class(uint32_t sid)
{
    uint8_t code = sid_phy_code(sid);
    for (size_t i = 0; i < vn_phy_codes_len; i++)
        if (vn_phy_codes[i].code == code)
            return vn_phy_codes[i].phy;
    return PHY_INNER;
}

// *known is false for a nibble outside the table.
char mr_phy_class(uint32_t sid, bool *known)
{
    uint8_t nibble = sid_phy_code(sid) & PHY_CODE_FAMILY_MASK;
    *known = true;
    for (size_t i = 0; i < mr_phy_nibbles_len; i++)
        if (mr_phy_nibbles[i].nibble == nibble)
            return mr_phy_nibbles[i].phy;
    *known = false;
    return COPPER_PHY_ID;
}

char vn_load_oem_phy(img_t *fp)
{
    return vn_phy_class(sid_or_erased(fp));
}

char mr_load_oem_phy(img_t *fp)
{
    bool known;
    char phy = mr_phy_class(sid_or_erased(fp), &known);
    if (!known)
        puts(MSG_PHY_UNKNOWN);
    return phy;
}

uint32_t fw_get_sub_sys_id(img_t *fp)
{
    uint32_t id = 0;
    rd_img(fp, SUB_SYS_ID_ADDR, &id);
    return id;
}

uint32_t fw_get_port_mask(img_t *fp)
{
    uint32_t mask = INVALID_ID;
    rd_img(fp, PORT_MASK_ADDR, &mask);
    return mask & PORT_MASK_FIELD;
}

uint32_t fw_get_valid_port(uint32_t mask)
{
    for (uint32_t i = 0; i < MAX_PORT_NUM; i++)
        if (port_count_mask(i + 1) == mask)
            return i + 1;
    return 0;
}

bool board_ports_supported(unsigned ports)
{
    return ports >= 1 && ports <= MAX_PORT_NUM;
}

// The board record from the sub-system id and the header's port mask (0:
// the sub-system id's port count), silently; board_load_cycle prints what it
// finds wrong.
void fw_decode_config(sys_ctrl_t *cfg, uint32_t id, uint32_t port_mask)
{
    memset((void *)cfg, 0, sizeof *cfg);
    if (id == INVALID_ID) {
        cfg->port_num = MAX_PORT_NUM;
        cfg->valid_port = MAX_PORT_NUM;
        cfg->phy_type = PHY_INNER;
        return;
    }
    cfg->ncsi = (id & SID_NCSI_BIT) != 0;
    cfg->wol = (id & SID_WOL_BIT) != 0;
    cfg->gpio = cfg->ncsi || cfg->wol;
    cfg->port_num = (uint8_t)(id & SID_PORT_NUM_FIELD);
    uint32_t valid = fw_get_valid_port(port_mask);
    if (valid >= cfg->port_num || valid == 0)
        valid = cfg->port_num;
    cfg->valid_port = (uint8_t)valid;
    cfg->phy_type = (uint8_t)vn_phy_class(id);
}

// A dialogue cycle's board: the sub-system id and, with_mask, the header's
// port mask (without it, one read fewer, and the valid port count is the
// id's). Family and PHY class stay as the start found them. Prints the
// family-0 warnings; a word that cannot be read leaves the record zero for
// the command loop to report.
void board_load_cycle(img_t *img, board_t *b, bool with_mask)
{
    memset((void *)&b->cfg, 0, sizeof b->cfg);
    b->sid = fw_get_sub_sys_id(img);
    b->port_mask = with_mask ? fw_get_port_mask(img) : 0;
    if (img_failure(img) != IMG_OK)
        return;
    fw_decode_config(&b->cfg, b->sid, b->port_mask);
    char texts[2][BOARD_WARNING_LEN];
    int n = board_warnings(b, texts, 2);
    // The erased id's warning has no line end of its own.
    for (int i = 0; i < n; i++)
        printf(b->sid == INVALID_ID ? "%s" : "%s\n", texts[i]);
}

void fw_load_config(sys_ctrl_t *cfg, img_t *fp)
{
    board_t b = {};
    b.family = Vantrel;
    b.phy_known = true;
    board_load_cycle(fp, &b, true);
    *cfg = b.cfg;
}

// The sub-system id and the header's port mask, read once for a verb. After
// a failed read the image fails every later access at once, without a call.
bool board_read(img_t *img, board_t *b)
{
    b->sid = INVALID_ID;
    rd_img(img, SUB_SYS_ID_ADDR, &b->sid);
    b->port_mask = fw_get_port_mask(img);
    fw_decode_config(&b->cfg, b->sid, b->port_mask);
    b->family = sid_family(b->sid);
    b->phy_known = true;
    b->phy = b->family == Mirolane ? mr_phy_class(b->sid, &b->phy_known) : vn_phy_class(b->sid);
    return img_failure(img) == IMG_OK;
}

// What the dialogue says of this board: an unknown family-1 PHY code at
// start-up, and in family 0 an erased sub-system id or an unsupported port
// count at every command.
int board_warnings(const board_t *b, char texts[][BOARD_WARNING_LEN], int max)
{
    int n = 0;
    if (n < max && !b->phy_known)
        snprintf(texts[n++], BOARD_WARNING_LEN, MSG_PHY_UNKNOWN);
    if (b->family == Mirolane)
        return n;
    if (n < max && b->sid == INVALID_ID)
        snprintf(texts[n++], BOARD_WARNING_LEN, "sub sys id unsupport !");
    else if (n < max && !board_ports_supported(b->cfg.port_num))
        snprintf(texts[n++], BOARD_WARNING_LEN, "sid port num %d unsupport", b->cfg.port_num);
    return n;
}
