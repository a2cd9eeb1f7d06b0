// The fault seam, the power-cut simulator and the call log: test code in place of the image layer's
// system calls (g_img_sys), linked into the test programs and the fuzzer, never into the tool.
#ifndef NORVASK_SYS_FAULT_H
#define NORVASK_SYS_FAULT_H

#include "norvask-oem-cfg.h"

// Every call is counted; the n-th from now goes wrong. ERROR: that call fails; PARTIAL: a write
// stores half its bytes, then fails; STUCK: that call and every later one fail (a device gone, a
// process dead); CORRUPT: a read returns the lowest bit of its first byte flipped; TORN: from that
// call on, the first write stores half its bytes and every write fails, so that no undo can finish.
enum img_fault_mode_t {
    IMG_FAULT_ERROR,
    IMG_FAULT_PARTIAL,
    IMG_FAULT_STUCK,
    IMG_FAULT_CORRUPT,
    IMG_FAULT_TORN
};
void img_fault_after(unsigned long n, img_fault_mode_t mode);
void img_fault_clear(void);
unsigned long img_calls(void);
// While tracking, what the file system has not made durable (writes since their file's last sync, a
// journal created or removed since its directory's); a cut loses each as `fate` decides. The call log
// has two letters a call: O open, R read, W write, S sync, X close, U unlink, F fstat, T stat, K lock,
// A access, Z size; then i the image, j the journal, d its directory, p the held directory, r a journal
// read, ? none.
enum img_fate_t { FATE_KEEP, FATE_DROP, FATE_TEAR };
void img_track_durability(bool on);
int img_pending(void);
void img_power_cut(img_fate_t (*fate)(int i, void *ctx), void *ctx);
const char *img_call_log(void);

#endif
