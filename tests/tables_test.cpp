// The tables checked as data: the feature and switch rows and the PHY classification.
#include <cstring>
#include <set>
#include <span>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "norvask-oem-cfg.h"

// Masks, ranges, words and bits by value: a changed constant fails here.
TEST(Tables, FeatureRowsByValueAndPhyCodes) {
    static const struct { int id; uint32_t vn, mr, mask; int32_t min, max; uint32_t bit; } rows[] = {
        {F_YT_LED, 0xFF008, 0, 0xFFFF, 0, 0x7FFFFFFF, 0x20000}, {F_MV_LED, 0xFF008, 0, 0x01CF00FF, 0, 0x7FFFFFFF, 0x20000},
        {F_INNER_LED, 0xFF008, 0xFF008, 0x00FFFFFF, 0, 0x7FFFFFFF, 0x20000}, {F_GPIO, 0xFF004, 0, 0xFFFF, 0, 0x7FFFFFFF, 0x10000},
        {F_PHY_MODE, 0xFF010, 0, 0xFFFFFFFF, 0, 0x7FFFFFFF, 0x100000}, {F_SMBUS_ARP, 0xFF014, 0xFF010, 0xFFFFFFFF, 0, 1, 0x200000},
        {F_WAKE_IO, 0xFF018, 0, 0xFFFF, 1, 65535, 0x400000}, {F_LLDP, 0xF1000, 0xF1000, 0xF, 0, 15, 0},
        {F_PORTS, 0x16C, 0, 0xF, 1, 4, 0x1000000},
    };
    for (const auto &row : rows) {
        const feature_t &f = FEATURES[row.id];
        SCOPED_TRACE(f.names[0]);
        const uint32_t mr = (f.families & FAMILY_BIT(Mirolane)) ? feature_addr(&f, Mirolane) : 0;
        EXPECT_EQ(std::make_tuple(row.vn, row.mr, row.mask, row.min, row.max, row.bit),
                  std::make_tuple(feature_addr(&f, Vantrel), mr, feature_store_value(&f, -1), f.min, f.max, f.sw ? f.sw->bit : 0));
        // A gate's refusal is printed with the PHY class as its only argument.
        const char *pc = f.refusal ? strchr(f.refusal, '%') : nullptr;
        EXPECT_EQ(f.phys != nullptr, pc && pc[1] == 'c' && !strchr(pc + 1, '%'));
        EXPECT_TRUE(f.sw == nullptr || f.sw->value == &f || f.sw == &SWITCHES[S_LED]);
    }
    EXPECT_EQ(LED_CFG2_ADDR, yt_part_addr(LED_CFG_ADDR, YT_PARTS - 1));
    // One name per setting on any board: the two "led" rows are never offered together.
    for (const char *p = "OYFCMIE"; *p; p++)
        EXPECT_FALSE(feature_offered(&FEATURES[F_MV_LED], Vantrel, *p) && feature_offered(&FEATURES[F_INNER_LED], Vantrel, *p));
    setting_t all[MAX_SETTINGS];  // in menu order
    std::string names;
    for (int i = 0, n = settings_all(all); i < n; i++)
        names += (i ? " " : "") + std::string(setting_name(&all[i]));
    EXPECT_EQ("yt-led0 yt-led1 yt-led2 yt-blink led led led-enable gpio gpio-enable phy-mode phy-mode-enable "
              "smbus-arp wake-io wake-io-enable lldp enabled-ports port-disable-enable", names);
    // The PHY code rows are unique, family 1's by the code's high nibble alone (their classes: dialogue_test).
    std::set<unsigned> codes, nibbles;
    for (const phy_code_row_t &row : std::span(vn_phy_codes, vn_phy_codes_len))
        EXPECT_TRUE(codes.insert(row.code).second) << +row.code;
    for (const phy_nibble_row_t &row : std::span(mr_phy_nibbles, mr_phy_nibbles_len))
        EXPECT_TRUE(nibbles.insert(row.nibble).second && (row.nibble & ~PHY_CODE_FAMILY_MASK) == 0) << +row.nibble;
    // Family 0's class of every code: the table's and, for every other code, the inner PHY.
    std::string classes;
    for (uint32_t code : {0x03u, 0x10u, 0x20u, 0x30u, 0x40u, 0x50u, 0x51u, 0x52u, 0x60u, 0x61u, 0x62u, 0x64u, 0x70u, 0x80u, 0x63u,
                          0x24u, 0xFFu})
        classes += vn_phy_class(code << SID_PHY_CODE_SHIFT);
    EXPECT_EQ("FIIIIFCMYYYYYOIII", classes);
}
