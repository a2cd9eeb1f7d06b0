// Consistency of the dispatch and PHY classification tables.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <set>
#include <span>

#include <gtest/gtest.h>

#include "norvask-oem-cfg.h"

TEST(Tables, MenuRowsAreConsistent)
{
    for (const menu_table_t *menu : {&vn_menu_table, &mr_menu_table}) {
        std::set<int> nums;
        int exits = 0;
        for (const menu_row_t &row : std::span(menu->rows, menu->len)) {
            SCOPED_TRACE(row.num);
            EXPECT_TRUE(nums.insert(row.num).second) << "number listed twice";
            exits += row.op == nullptr;
            EXPECT_TRUE(row.op != nullptr || row.num == 0) << "exit row not numbered 0";
            EXPECT_TRUE(row.addr % IMG_WORD_SIZE == 0 && img_region_of(row.addr, IMG_WORD_SIZE)) << row.addr;
            // A gate's refusal is printed with the PHY class as its only argument.
            const char *pc = row.refusal ? strchr(row.refusal, '%') : nullptr;
            EXPECT_EQ(row.phy_allowed != nullptr, pc && pc[1] == 'c' && !strchr(pc + 1, '%')) << row.refusal;
        }
        EXPECT_EQ(1, exits);
    }
}

TEST(Tables, PhyCodeKeysAreUnique)
{
    std::set<unsigned> codes, nibbles;
    for (const phy_code_row_t &row : std::span(vn_phy_codes, vn_phy_codes_len))
        EXPECT_TRUE(codes.insert(row.code).second) << +row.code;
    for (const phy_nibble_row_t &row : std::span(mr_phy_nibbles, mr_phy_nibbles_len))
        EXPECT_TRUE(nibbles.insert(row.nibble).second && (row.nibble & ~PHY_CODE_FAMILY_MASK) == 0)
            << +row.nibble;
}

// Every PHY name the image maker takes gives an image of that family and
// class, as the tool detects them.
TEST(Tables, ImageMakerNamesGiveTheirFamilyAndClass)
{
    static const struct { int family; const char *name; char phy; } rows[] = {
        {0, "inner", 'I'}, {0, "yt", 'Y'},     {0, "mv-fiber", 'F'}, {0, "mv-copper", 'C'},
        {0, "mv", 'M'},    {0, "other", 'O'}, {1, "copper", 'E'},   {1, "fiber", 'I'},
    };
    const std::string path = testing::TempDir() + "norvask-mkimage.img";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::string cmd = std::string(MKIMAGE_PATH) + " --family " + std::to_string(row.family) +
                          " --phy " + row.name + " " + path;
        ASSERT_EQ(0, system(cmd.c_str()));
        static img_t img;
        long size;
        ASSERT_EQ(IMG_STARTED, img_start(&img, path.c_str(), &size));
        uint32_t sid = 0;
        ASSERT_TRUE(rd_img(&img, SUB_SYS_ID_ADDR, &sid));
        uint32_t id = sid_device_id(sid);
        bool mr = id == mr_type[0] || id == mr_type[1];
        EXPECT_EQ(row.family == 1, mr);
        EXPECT_EQ(row.phy, mr ? mr_load_oem_phy(&img) : vn_load_oem_phy(&img));
        EXPECT_TRUE(img_end(&img));
    }
    remove(path.c_str());
}
