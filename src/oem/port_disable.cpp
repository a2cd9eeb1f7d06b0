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

// Only a template that starts with the image magic holds a header block;
// *first is its first word.
bool port_template_usable(img_t *fp, unsigned remaining, uint32_t *first)
{
    return rd_img(fp, PORT_TEMPLATES[remaining - 1], first) && *first == IMG_HEADER;
}

// Copies the template for the ports that remain over the header block and
// checks the copy by the sum of its words read back from the file. A
// template without the image magic is refused before anything is written; a
// copy that does not read back as written fails the command, which is then
// undone. Messages go to `msg`; NULL: none (the verbs say the failure in
// their own line).
bool port_template_copy(img_t *fp, unsigned remaining, FILE *msg)
{
    uint32_t tmpl[IMG_HEADER_WORDS], back[IMG_HEADER_WORDS];
    if (!port_template_usable(fp, remaining, &tmpl[0])) {
        if (img_failure(fp) == IMG_OK && msg != nullptr)
            fprintf(msg, "error, img not support, hdr 0x%x!", tmpl[0]);
        return false;
    }
    if (!rd_img_words(fp, PORT_TEMPLATES[remaining - 1], tmpl, IMG_HEADER_WORDS))
        return false;
    if (!wt_img_words(fp, IMG_HEADER_ADDR, tmpl, IMG_HEADER_WORDS) ||
        !img_reread_words(fp, IMG_HEADER_ADDR, back, IMG_HEADER_WORDS))
        return false;
    uint32_t checksum_before = word_sum(tmpl, IMG_HEADER_WORDS);
    uint32_t checksum_after = word_sum(back, IMG_HEADER_WORDS);
    if (checksum_after != checksum_before) {
        if (msg != nullptr)
            fprintf(msg, "\nConfiguration checksum error, please try again, %d, %d\n", (int)checksum_after,
                    (int)checksum_before);
        img_mark_failed(fp, IMG_VERIFY_FAIL);
        return false;
    }
    return true;
}

void network_port_disable(img_t *fp)
{
    int port_num = g_cfg.port_num;
    // Only one to four ports have templates; any other count would index
    // past them or leave no acceptable answer.
    if (!board_ports_supported((unsigned)port_num)) {
        printf("[Warn]Network port disable unsupported, sid port num %d\n", port_num);
        return;
    }
    printf("current port num : %d, max port num : %d\n", g_cfg.valid_port, port_num);
    int32_t user_input;
    if (!ask_number(FEATURES[F_PORTS].prompts[0], BASE_HEX, 0, port_num - 1,
                    "ERROR, Input Value %d invalid, range [0,%d]\n", port_num - 1, &user_input))
        return;
    int remaining = port_num - user_input;
    if (!port_template_copy(fp, (unsigned)remaining, stdout))
        return;
    g_cfg.valid_port = (uint8_t)remaining;
    printf("\nConfiguration completed successfully, current port num:0x%x\n", remaining);
    netport_disable_switch(fp);
}
