// Network port disable: the header block is replaced by the port-count
// template for the number of ports that remain.
#include "norvask-oem-cfg.h"

static uint32_t word_sum(const uint32_t *words, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < n; i++)
        sum += words[i];
    return sum;
}

#define MSG_NOT_RESTORED "[Warn]The original header block could not be restored!\n"

static void put_back_header(FILE *fp, const uint32_t *orig)
{
    if (restore_img_words(fp, IMG_HEADER_ADDR, orig, IMG_HEADER_WORDS))
        printf("[Warn]The original header block was restored.\n");
    else
        printf(MSG_NOT_RESTORED);
}

// Copies the template over the header block and checks the copy by the sum
// of its words read back. On any failure the original block goes back.
static bool copy_header(FILE *fp, uint32_t temp_addr, const uint32_t *orig)
{
    uint32_t tmpl[IMG_HEADER_WORDS], back[IMG_HEADER_WORDS];
    rd_img_words(fp, temp_addr, tmpl, IMG_HEADER_WORDS);
    if (tmpl[0] != IMG_HEADER) {
        printf("error, img not support, hdr 0x%x!", tmpl[0]);
        return false;
    }
    if (!wt_img_words(fp, IMG_HEADER_ADDR, tmpl, IMG_HEADER_WORDS)) {
        printf(MSG_WRITE_FAIL);
        put_back_header(fp, orig);
        return false;
    }
    rd_img_words(fp, IMG_HEADER_ADDR, back, IMG_HEADER_WORDS);
    uint32_t checksum_before = word_sum(tmpl, IMG_HEADER_WORDS);
    uint32_t checksum_after = word_sum(back, IMG_HEADER_WORDS);
    if (checksum_after != checksum_before) {
        printf("\nConfiguration checksum error, please try again, %d, %d\n", (int)checksum_after,
               (int)checksum_before);
        put_back_header(fp, orig);
        return false;
    }
    return true;
}

void network_port_disable(FILE *fp)
{
    int port_num = g_cfg.port_num;
    // Only one to four ports have templates; any other count would index
    // past them or leave no acceptable answer.
    if (port_num < 1 || port_num > MAX_PORT_NUM) {
        printf("[Warn]Network port disable unsupported, sid port num %d\n", port_num);
        return;
    }
    printf("current port num : %d, max port num : %d\n", g_cfg.valid_port, port_num);
    int32_t user_input;
    if (!ask_number("Please input the number of disabled network ports:", BASE_HEX, 0, port_num - 1,
                    "ERROR, Input Value %d invalid, range [0,%d]\n", port_num - 1, &user_input))
        return;
    int remaining = port_num - user_input;
    uint32_t orig[IMG_HEADER_WORDS];
    rd_img_words(fp, IMG_HEADER_ADDR, orig, IMG_HEADER_WORDS);
    if (!copy_header(fp, PORT_TEMPLATES[remaining - 1], orig))
        return;
    g_cfg.valid_port = (uint8_t)remaining;
    printf("\nConfiguration completed successfully, current port num:0x%x\n", remaining);
    switch_result_t r = netport_disable_switch(fp);
    if (r == SWITCH_FAILED)
        put_back_header(fp, orig);
    else if (r == SWITCH_INPUT_ENDED && !restore_img_words(fp, IMG_HEADER_ADDR, orig, IMG_HEADER_WORDS))
        printf("\n" MSG_NOT_RESTORED);
}
