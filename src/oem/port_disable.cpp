// Network port disable: asks how many ports to disable, then the
// port-count template for the ports that remain replaces the header block.
#include "norvask-oem-cfg.h"

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
    const feature_t *f = &FEATURES[F_PORTS];
    int32_t user_input, most = port_num - f->min;
    if (!ask_number(f->prompts[0], f->disabled.base, 0, most, f->disabled.refusal, most,
                    &user_input))
        return;
    int remaining = port_num - user_input;
    if (!port_template_copy(fp, (unsigned)remaining, stdout))
        return;
    g_cfg.valid_port = (uint8_t)remaining;
    printf("\nConfiguration completed successfully, current port num:0x%x\n", remaining);
    netport_disable_switch(fp);
}
