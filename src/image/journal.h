// The undo journal, for the image store alone: it keeps its state to
// itself, reports outcomes, and calls nothing of the store.
#ifndef NORVASK_JOURNAL_H
#define NORVASK_JOURNAL_H

#include "norvask-oem-cfg.h"

struct stat;

// One write the journal covers before it reaches the image: the bytes it
// puts at [at, at + n), and, on the cycle's first write into its region,
// the whole region as it was (before is NULL on later ones).
typedef struct {
    uint32_t start, len;  // the region
    const unsigned char *before;
    uint32_t at, n;
    const unsigned char *bytes;
} jrn_write_t;

// What the start found, for the store to hand to the front end.
typedef struct {
    img_journal_t found;
    const char *name;        // the journal's path, for messages; empty: none kept
    const char *no_journal;  // why none can be kept, or NULL
    const char *why;         // why a call failed, or NULL
    unsigned owner;          // the user a found journal belongs to
} jrn_report_t;

// At the start, the image locked: finds what lies beside it (a writer
// applies or removes it). False when a call failed: the run does not start.
bool jrn_start(int image_fd, const char *path, const struct stat *st, uint64_t size,
               img_mode_t mode, jrn_report_t *report);
// A reader's view: the found journal's bytes from before its command, over
// bytes [at, at + n) of the image.
void jrn_overlay(uint64_t at, unsigned char *bytes, size_t n);
// Makes the writes durable in the journal before they reach the image.
img_fail_t jrn_cover(const jrn_write_t *writes, int n);
// The store wrote bytes now over old at [at, at + n) (whole: all of them
// reached the file); keeps the image's digest up to date.
void jrn_note_write(uint64_t at, const unsigned char *old, const unsigned char *now, size_t n,
                    bool whole);
// The image's bytes changed in a way not noted: the digest is read again.
void jrn_forget_digest(void);
// The cycle's records are synced and the image too: the descriptor goes.
bool jrn_close(void);
// The cycle's journal stays for the next start (its undo failed).
void jrn_keep(void);
// The cycle's journal goes, if it is still the one it made; one whose
// removal failed stays pending.
bool jrn_remove(void);
// The cycle's journal is (or may be) on disk.
bool jrn_pending(void);
// Why the last call that returned a failure failed.
const char *jrn_why(void);
// The run ends: the directory's descriptors go.
bool jrn_end(void);

#endif
