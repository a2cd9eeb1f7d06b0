// Synthetic flash images for demos and tests. Header-only use of the tool's
// layout constants: nothing here links the tool's operations.
#ifndef NORVASK_IMAGE_GEN_H
#define NORVASK_IMAGE_GEN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "norvask-oem-cfg.h"

typedef struct {
    bool has_sid;        // false: the sub-system id word stays erased
    uint32_t device_id;  // 16 bits
    uint32_t phy_code;   // 8 bits
    uint32_t ports;      // 3 bits
    bool wol;
    bool ncsi;
    uint32_t port_mask;  // header port mask; 0: the mask of `ports`
    bool pattern;        // paint unowned bytes instead of leaving them erased
    size_t size;         // file size in bytes
    std::vector<std::pair<uint32_t, uint32_t>> words;  // stored last
} image_plan_t;

#define IMAGE_FULL_SIZE IMG_FLASH_SIZE  // a 1 MiB flash

image_plan_t image_plan_default(void);
// A device id of the family: VN_DEVICE_ID for family 0, MR_DEVICE_ID_A for 1.
uint32_t image_device_id(int family);
uint32_t image_sid(const image_plan_t *plan);
uint8_t image_pattern_byte(uint32_t offset);
std::vector<uint8_t> image_build(const image_plan_t *plan);
bool image_phy_by_name(int family, const std::string &name, uint32_t *device_id,
                       uint32_t *phy_code);
// The PHY names of a family, comma-separated, for help texts.
std::string image_phy_names(int family);

#endif
