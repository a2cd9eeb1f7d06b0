// Synthetic flash images for demos and tests.
#ifndef NORVASK_IMAGE_GEN_H
#define NORVASK_IMAGE_GEN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

typedef struct {
    bool has_sid;           // false: the sub-system id word stays erased
    uint32_t device_id;     // 16 bits
    uint32_t phy_code;      // 8 bits
    uint32_t ports;         // 3 bits
    bool wol;
    bool ncsi;
    uint32_t port_mask;     // header port mask; 0: the mask of `ports`
    bool pattern;           // paint unowned bytes instead of leaving them erased
    size_t size;            // file size in bytes
    std::vector<std::pair<uint32_t, uint32_t>> words;  // stored last
} image_plan_t;

#define IMAGE_FULL_SIZE 0x100000u  // a 1 MiB flash

image_plan_t image_plan_default(void);
uint32_t image_device_id(int family);
uint32_t image_sid(const image_plan_t *plan);
uint8_t image_pattern_byte(uint32_t offset);
std::vector<uint8_t> image_build(const image_plan_t *plan);
bool image_phy_by_name(int family, const std::string &name, uint32_t *device_id, uint32_t *phy_code);

#endif
