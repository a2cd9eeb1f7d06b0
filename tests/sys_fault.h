// The fault seam, the power-cut simulator and the call log, in place of the image layer's system
// calls (g_img_sys): test code, linked into the test programs and the fuzzer, never into the tool.
#ifndef NORVASK_SYS_FAULT_H
#define NORVASK_SYS_FAULT_H

#include <unistd.h>

#include "norvask-oem-cfg.h"

#define JOURNAL_SUFFIX ".norvask-journal"  // a journal's name: its image's path, then this

// The n-th image call from now goes wrong. PARTIAL: a write stores half, then fails; STUCK: every
// later call fails too (the process dead); CORRUPT: a read's first bit flipped; TORN: the first
// write from then stores half, every write fails; SIGNAL: raises img_fault_signal, goes through.
enum img_fault_mode_t {
    IMG_FAULT_ERROR,
    IMG_FAULT_PARTIAL,
    IMG_FAULT_STUCK,
    IMG_FAULT_CORRUPT,
    IMG_FAULT_TORN,
    IMG_FAULT_SIGNAL
};
extern int img_fault_signal;
void img_fault_after(unsigned long n, img_fault_mode_t mode);
void img_fault_clear(void);
// Before the n-th image call from now, act runs (once).
void img_act_at(unsigned long n, void (*act)(void *ctx), void *ctx);
unsigned long img_calls(void);
// While tracking: what is not durable yet (writes since their file's sync, journals created or
// removed since their directory's), which a power cut loses as `fate` says. The log: a letter a
// call, O open, R read, W write, S sync, U unlink, others.
enum img_fate_t { FATE_KEEP, FATE_DROP, FATE_TEAR };
void img_track_durability(bool on);
int img_pending(void);
void img_power_cut(img_fate_t (*fate)(int i, void *ctx), void *ctx);
const char *img_call_log(void);
// Descriptors the image layer opened and has not closed.
int img_open_fds(void);
// The image (a regular file, not a journal) reported `size` bytes long, read as zeros past its end;
// 0: its own size.
void img_report_size(off_t size);

#endif
